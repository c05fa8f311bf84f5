#include "state/expiry.h"

#include <iterator>

#include "scheduler/clock.h"
#include "state/source_table.h"
#include "state/stats.h"

void expire_sources() {
    if (source_table.sources.empty()) {
        source_table.new_expiry_period();
        return;
    }
    expire_sources_at(source_table, now_ms());
}

void expire_sources_at(SourceTable& table, uint64_t now) {
    // A refused entry may be logged again in the next period.
    table.new_expiry_period();
    if (table.sources.empty()) return;

    // The time-out is recomputed at every test: beacon_interval may change.
    auto it = table.sources.begin();
    while (it != table.sources.end()) {
        Source& source = it->second;
        if (is_stale(source.last_update_ms, now)) {
            // Nothing refreshed it: no datagram from it, nobody lists it.
            auto next = std::next(it);
            Address key = it->first;
            table.remove_source(key, true);
            it = next;
            continue;
        }
        source.asm_stats.figures.expire(now);
        source.ssm_stats.figures.expire(now);
        auto ext = source.external_sources.begin();
        while (ext != source.external_sources.end()) {
            if (is_stale(ext->second.last_update_ms, now)) {
                // Its reporter has stopped listing it.
                ext = table.erase_external(source, ext);
            } else {
                ext->second.asm_stats.expire(now);
                ext->second.ssm_stats.expire(now);
                ++ext;
            }
        }
        ++it;
    }
}
