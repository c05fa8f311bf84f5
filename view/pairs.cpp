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
}  // namespace

std::vector<Pair> find_pairs(const Model& model) {
    // The first line of a receiver, sender and channel counts, as elsewhere.
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
        pair.round_trip_ms = *forward.delay + *backward.delay;
        pair.clock_offset_ms = (*forward.delay - *backward.delay) / 2;
        pair.stale = model.stale(forward) || model.stale(backward);
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
    const size_t n = model.beacons.size();
    std::vector<int> peers(n, 0), far(n, 0);
    std::vector<bool> suspect(n, false);
    // Pairs come sorted with ASM before SSM: an SSM pair counts only when
    // the same two beacons have no fresh ASM one.
    const Pair* previous = nullptr;
    for (const Pair& pair : pairs) {
        if (pair.stale) continue;
        if (previous && previous->a == pair.a && previous->b == pair.b) continue;
        previous = &pair;
        bool off = std::fabs(pair.clock_offset_ms) > threshold_ms;
        for (int beacon : {pair.a, pair.b}) {
            ++peers[static_cast<size_t>(beacon)];
            if (off) ++far[static_cast<size_t>(beacon)];
        }
    }
    for (size_t i = 0; i < n; ++i) suspect[i] = peers[i] > 0 && 2 * far[i] > peers[i];
    for (const Measurement& m : model.measurements)
        if (m.future && !model.stale(m)) suspect[static_cast<size_t>(m.sender)] = true;
    std::vector<int> out;
    for (size_t i = 0; i < n; ++i)
        if (suspect[i]) out.push_back(static_cast<int>(i));
    return out;
}

}  // namespace view
