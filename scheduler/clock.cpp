#include "scheduler/clock.h"

#include <time.h>

uint64_t now_ms() {
    // CLOCK_MONOTONIC cannot step backwards and is 64 bits wide on every
    // platform we build for, so no wrap handling is needed.  Should the call
    // ever fail, the last reading is repeated so that time never decreases.
    static uint64_t last = 0;
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) == 0) {
        uint64_t reading = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
        if (reading > last) last = reading;
    }
    return last;
}
