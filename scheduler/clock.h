#pragma once
#include <cstdint>

// Monotonic milliseconds from an arbitrary origin; never follows the wall clock.
uint64_t now_ms();
