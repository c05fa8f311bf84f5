#include "view/pairs.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <unordered_map>

namespace view {

namespace {
uint64_t key(int receiver, int sender, Channel channel) {
    return (uint64_t(uint32_t(receiver)) << 33) | (uint64_t(uint32_t(sender)) << 1) | (channel == Channel::Ssm ? 1 : 0);
}
uint64_t peer_key(int x, int y) { return (uint64_t(uint32_t(std::min(x, y))) << 32) | uint32_t(std::max(x, y)); }

// The dump gives delays in whole microseconds, so sums and halves of them
// are exact to a tenth of one; rounding there drops the binary fractions
// (0.22499999999999998) that the arithmetic adds.
double at_dump_precision(double ms) { return std::round(ms * 10000) / 10000; }
}  // namespace

std::vector<Pair> find_pairs(const Model& model) {
    // The model holds one line per receiver, sender and channel.
    std::unordered_map<uint64_t, const Measurement*> delays;
    delays.reserve(model.measurements.size());
    for (const Measurement& m : model.measurements)
        if (m.delay && m.receiver != m.sender) delays.emplace(key(m.receiver, m.sender, m.channel), &m);

    std::vector<Pair> pairs;
    for (const auto& entry : delays) {
        const Measurement& forward = *entry.second;  // a -> b, measured by b
        if (forward.sender > forward.receiver) continue;
        auto back = delays.find(key(forward.sender, forward.receiver, forward.channel));
        if (back == delays.end()) continue;
        const Measurement& backward = *back->second;  // b -> a, measured by a
        Pair pair;
        pair.a = forward.sender;
        pair.b = forward.receiver;
        pair.channel = forward.channel;
        pair.stale = model.stale(forward) || model.stale(backward);
        pair.age_s = std::max(forward.age_s.value_or(0), backward.age_s.value_or(0));
        if (!pair.stale) {
            pair.round_trip_ms = at_dump_precision(*forward.delay + *backward.delay);
            pair.clock_offset_ms = at_dump_precision((*forward.delay - *backward.delay) / 2);
        }
        pairs.push_back(pair);
    }
    std::sort(pairs.begin(), pairs.end(), [](const Pair& x, const Pair& y) {
        if (x.a != y.a) return x.a < y.a;
        if (x.b != y.b) return x.b < y.b;
        return x.channel < y.channel;
    });
    return pairs;
}

std::vector<int> clock_suspects(const Model& model, const std::vector<Pair>& pairs, double threshold_ms) {
    // The estimated offset of every two beacons with fresh figures.
    struct Estimate {
        double offset_ms = 0;
        bool from_pair = false;
    };
    std::unordered_map<uint64_t, Estimate> estimates;
    // Pairs come sorted with ASM before SSM: an SSM pair counts only when
    // the same two beacons have no fresh ASM one.
    for (const Pair& pair : pairs) {
        if (pair.stale || !pair.clock_offset_ms) continue;
        Estimate& e = estimates[peer_key(pair.a, pair.b)];
        if (e.from_pair) continue;
        e.offset_ms = std::fabs(*pair.clock_offset_ms);
        e.from_pair = true;
    }
    for (const Measurement& m : model.measurements) {
        if (!m.delay || m.receiver == m.sender || model.stale(m)) continue;
        Estimate& e = estimates[peer_key(m.receiver, m.sender)];
        if (*m.delay < 0) e.offset_ms = std::max(e.offset_ms, -*m.delay);
    }

    const size_t n = model.beacons.size();
    std::vector<int> peers(n, 0), far(n, 0);
    for (const auto& entry : estimates) {
        bool off = entry.second.offset_ms > threshold_ms;
        for (uint64_t beacon : {entry.first >> 32, entry.first & 0xFFFFFFFFu}) {
            ++peers[beacon];
            if (off) ++far[beacon];
        }
    }
    std::vector<int> out;
    for (size_t i = 0; i < n; ++i)
        if (2 * far[i] > peers[i]) out.push_back(static_cast<int>(i));
    return out;
}

}  // namespace view
