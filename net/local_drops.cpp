#include "net/local_drops.h"

#include "control/log.h"

LocalDropLog local_drop_log;

void LocalDropLog::note(uint32_t dropped, uint64_t now, int buffer_bytes) {
    if (dropped == 0) return;
    total_ += dropped;
    const bool period_over = now - last_log_ms_ >= LOCAL_DROPS_LOG_PERIOD_MS;
    if (!logged_ || (unlogged_ == 0 && period_over)) {
        // The first drops, or the first after a whole quiet period.
        log_message(LOG_WARNING,
                    "Receive buffer full: %u datagrams dropped by this host, not counted as network loss "
                    "(buffer %d bytes; raise net.core.rmem_max for more)",
                    static_cast<unsigned>(dropped), buffer_bytes);
        logged_ = true;
        last_log_ms_ = now;
        unlogged_ = 0;
        return;
    }
    unlogged_ += dropped;
    if (!period_over) return;
    log_message(LOG_WARNING,
                "Receive buffer full: %llu more datagrams dropped by this host in %llu s (%llu in all; buffer %d "
                "bytes; raise net.core.rmem_max for more)",
                static_cast<unsigned long long>(unlogged_), static_cast<unsigned long long>((now - last_log_ms_) / 1000),
                static_cast<unsigned long long>(total_), buffer_bytes);
    last_log_ms_ = now;
    unlogged_ = 0;
}
