#include "state/expiry.h"

#include <iterator>

#include "control/log.h"
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
    // Figures that go while their beacon stays (others still list it) would
    // vanish from the matrix without a word: they are counted and said.
    uint32_t expired = 0;
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
        const bool had_asm = source.asm_stats.figures.valid, had_ssm = source.ssm_stats.figures.valid;
        source.asm_stats.figures.expire(now);
        source.ssm_stats.figures.expire(now);
        if ((had_asm && !source.asm_stats.figures.valid) || (had_ssm && !source.ssm_stats.figures.valid)) ++expired;
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
    if (expired > 0)
        log_message(LOG_NOTICE, "Figures of %u beacons expired: no probe from them for %u s",
                    static_cast<unsigned>(expired), static_cast<unsigned>(source_timeout_ms() / 1000));
}
