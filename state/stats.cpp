#include "state/stats.h"

#include <cmath>

#include "scheduler/beacon_interval.h"

uint32_t source_timeout_ms() {
    double ms = beacon_interval * 6.0 * 1000.0;
    // The interval is a logarithm of a bounded rate, so this never fires in
    // practice; it keeps the conversion defined should it ever be NaN or huge.
    if (std::isnan(ms)) return 0;
    if (ms >= 9.0e18) ms = 9.0e18;
    if (ms <= -9.0e18) ms = -9.0e18;
    return static_cast<uint32_t>(static_cast<int64_t>(ms));
}

bool is_stale(uint64_t t, uint64_t now) { return now - t > source_timeout_ms(); }

void PublishedStats::expire(uint64_t now) {
    if (is_stale(updated_ms, now)) valid = 0;
}

void ReceptionStats::clear_window() {
    expected = 0;
    received = 0;
    seen_count = 0;
    delay_sum = 0;
    lost_count = 0;
    dup_count = 0;
    ooo_count = 0;
}

void ReceptionStats::reset(uint32_t start, uint64_t now) {
    last_seq = start;
    figures.timestamp = 0;
    figures.updated_ms = now;
    clear_window();
    last_delay = 0;
    figures.delay = 0;
    figures.jitter = 0;
    figures.loss = 0;
    figures.dup = 0;
    figures.ooo = 0;
    figures.valid = 0;
}

namespace {

bool already_seen(const uint32_t* seen, uint32_t count, uint32_t seq) {
    // Never trust the count beyond the array, whatever the record holds.
    if (count > SEEN_CAPACITY) count = SEEN_CAPACITY;
    for (uint32_t i = 0; i < count; ++i) {
        if (seen[i] == seq) return true;
    }
    return false;
}

}  // namespace

void ReceptionStats::update(uint8_t ttl, uint32_t seq, uint32_t ts, uint64_t now, uint64_t receive_ms,
                            uint32_t local_drops) {
    // A sender that restarts picks a new random first number: far from where
    // we are, start a fresh window just before this probe.
    uint32_t distance = last_seq >= seq ? last_seq - seq : seq - last_seq;
    if (distance > SEQ_RESET_DISTANCE) {
        reset(seq - 1, now);
        drops_mark = local_drops;
    }

    // At or before the start of the window (or already published): ignore.
    bool late = seq <= last_seq;
    if (late && last_seq - seq >= expected) return;

    figures.timestamp = ts;
    figures.updated_ms = now;
    figures.ttl = ttl;

    // The seen list holds distinct numbers of the window's span, which is at
    // most 39 wide before this probe (a window of 40 is published and emptied
    // at once), so it cannot be full here.  The sequence number comes from
    // the network, so the bound is still checked rather than assumed: a full
    // list would mean a broken invariant, and the probe is then not counted
    // (received stays equal to seen_count) instead of writing past the array.
    bool duplicate = late && already_seen(seen, seen_count, seq);
    if (duplicate) {
        dup_count += 1;
    } else if (seen_count < SEEN_CAPACITY) {
        received += 1;
        seen[seen_count++] = seq;

        int64_t d = static_cast<int64_t>(receive_ms & 0xffffffffu) - static_cast<int64_t>(ts);
        uint32_t a = static_cast<uint32_t>(d < 0 ? -d : d);
        delay_sum = static_cast<int32_t>(static_cast<uint32_t>(delay_sum) + static_cast<uint32_t>(d));
        int32_t e = static_cast<int32_t>(a - last_delay);
        uint32_t abs_e = e < 0 ? static_cast<uint32_t>(-static_cast<int64_t>(e)) : static_cast<uint32_t>(e);
        last_delay = a;
        figures.jitter = static_cast<float>(static_cast<double>(figures.jitter) * (1.0 - JITTER_WEIGHT) +
                                            static_cast<double>(abs_e) * JITTER_WEIGHT);

        if (!late) {
            // seq > last_seq here, so last_seq + 1 does not wrap.
            if (seq == last_seq + 1) {
                expected += 1;
            } else {
                expected += seq - last_seq;
                lost_count += static_cast<int32_t>(seq - last_seq - 1);
            }
            last_seq = seq;
        } else {
            lost_count -= 1;
            ooo_count += 1;
        }
    }

    if (expected >= STATS_WINDOW) {
        float fexpected = static_cast<float>(expected);
        figures.delay = received ? static_cast<float>(delay_sum) / static_cast<float>(received) : 0.0f;
        // The count is the kernel's, cumulative and 32 bits wide: the
        // difference is right across a wrap.
        uint32_t dropped_here = local_drops - drops_mark;
        int64_t network_lost = static_cast<int64_t>(lost_count) - static_cast<int64_t>(dropped_here);
        if (network_lost < 0) network_lost = 0;
        drops_mark = local_drops;
        figures.loss = static_cast<float>(network_lost) / fexpected;
        figures.dup = static_cast<float>(dup_count) / fexpected;
        figures.ooo = static_cast<float>(ooo_count) / fexpected;
        figures.valid = 1;
        clear_window();
    }
}
