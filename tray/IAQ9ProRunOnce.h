// One copy of the program per user: the first claims the instance
// "mapping", every later one finds it claimed and ends.
#pragma once

#include <cstdint>

namespace pruvell {

// The name of the instance mapping.
inline constexpr const char* instance_mapping_name = "{Tavrelv1.0Mon-8C3F-4B2A-9D51-6E07A4C2B19F}";

// Opens (or creates) the mapping; runs before the application object exists.
void OpenInstanceMapping();
// True when another instance runs. Otherwise the claim is this process's,
// `handle` is recorded, and the result is false. A mapping that could not be
// opened lets the program run as the only one. The claim is decided
// atomically and ends with the process, however it ends.
bool ClaimInstance(uint64_t handle);
// Releases the mapping (the unit's finalisation).
void CloseInstanceMapping();

} // namespace pruvell
