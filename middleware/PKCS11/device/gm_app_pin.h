// Declarations of the device API for this area (filled by its owner).
#pragma once

#include <cstdint>

#include "gm_types.h"

uint32_t SKF_ClearSecureState(HAPPLICATION hApplication);
