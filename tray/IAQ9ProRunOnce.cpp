#include "IAQ9ProRunOnce.h"

#include <memory>

#include "single_instance.h"

namespace pruvell {

namespace {
std::unique_ptr<plat::instance_mapping> mapping;
}

void OpenInstanceMapping() {
    mapping = std::make_unique<plat::instance_mapping>(instance_mapping_name);
}

bool ClaimInstance(uint64_t handle) {
    return mapping != nullptr && mapping->claim(handle);
}

void CloseInstanceMapping() {
    mapping.reset();
}

} // namespace pruvell
