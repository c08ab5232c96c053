// Wide characters: 32-bit, strings end with a character of value 0.
#pragma once

#include <cstdint>

typedef uint32_t L_CHAR;
