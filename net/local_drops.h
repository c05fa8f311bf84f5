// Datagrams this host dropped itself: a receive socket whose buffer was full
// when they arrived, because the beacon read too slowly.  The kernel counts
// them per socket; the count comes with each datagram read.
#pragma once

#include <cstdint>

// Once the drops start, and then at most once per this period while they go
// on, the log says how many.
constexpr uint64_t LOCAL_DROPS_LOG_PERIOD_MS = 600000;

class LocalDropLog {
public:
    // `dropped` new drops seen at `now` on a socket whose granted receive
    // buffer is `buffer_bytes`.  Logs at any verbosity.
    void note(uint32_t dropped, uint64_t now, int buffer_bytes);
    uint64_t total() const { return total_; }

private:
    uint64_t total_ = 0;
    uint64_t unlogged_ = 0;
    uint64_t last_log_ms_ = 0;
    bool logged_ = false;
};

extern LocalDropLog local_drop_log;
