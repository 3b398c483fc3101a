#include "module_loader.h"

#include <dirent.h>
#include <dlfcn.h>

#include <cstdint>

bool loaded_module::load(const char* path, std::string* error) {
    handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        if (error != nullptr) *error = dlerror();
        return false;
    }
    auto get_list = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
    auto get_ext = reinterpret_cast<M_GetExtFunctionList_FN>(dlsym(handle, "M_GetExtFunctionList"));
    if (get_list == nullptr || get_ext == nullptr || get_list(&f) != CKR_OK ||
        get_ext(&m) != CKR_OK) {
        if (error != nullptr) *error = std::string("no function lists in ") + path;
        return false;
    }
    return true;
}

void* loaded_module::symbol(const char* name) const {
    return dlsym(handle, name);
}

void loaded_module::unload() {
    if (handle != nullptr) dlclose(handle);
    handle = nullptr;
    f = nullptr;
    m = nullptr;
}

loaded_module& module() {
    static loaded_module* instance = [] {
        auto* mod = new loaded_module;
        mod->load(nullptr);
        return mod;
    }();
    return *instance;
}

int thread_count() {
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    int n = 0;
    while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.') ++n;
    closedir(dir);
    return n;
}

bool set_module_timing(const loaded_module& mod, unsigned enumeration_interval_ms,
                       unsigned settle_pause_ms) {
    auto hook =
        reinterpret_cast<void (*)(uint32_t, uint32_t)>(mod.symbol("tessvik_testing_set_timing"));
    if (hook == nullptr) return false;
    hook(enumeration_interval_ms, settle_pause_ms);
    return true;
}

int slot_event_waiters(const loaded_module& mod) {
    auto hook = reinterpret_cast<int (*)()>(mod.symbol("tessvik_testing_slot_event_waiters"));
    return hook == nullptr ? -1 : hook();
}

bool hold_reader_listing(const loaded_module& mod) {
    auto hook = reinterpret_cast<void (*)()>(mod.symbol("tessvik_testing_hold_reader_listing"));
    if (hook == nullptr) return false;
    hook();
    return true;
}

int reader_listing_held(const loaded_module& mod) {
    auto hook = reinterpret_cast<int (*)()>(mod.symbol("tessvik_testing_reader_listing_held"));
    return hook == nullptr ? -1 : hook();
}
