// What the one-way delays of a pair of beacons give together: the round
// trip, which no clock error touches, and an estimate of the offset between
// the two clocks.
#pragma once

#include <optional>
#include <vector>

#include "view/model.h"

namespace view {

struct Pair {
    int a = 0;  // a < b
    int b = 0;
    Channel channel = Channel::Asm;
    // Empty when a direction is stale: old figures give no round trip or
    // offset.
    std::optional<double> round_trip_ms;    // delay(a->b) + delay(b->a)
    std::optional<double> clock_offset_ms;  // (delay(a->b) - delay(b->a)) / 2: b's clock ahead of a's when positive
    bool stale = false;                     // one of the two delays is stale
    long age_s = 0;                         // rptage of the older direction
};

// Every unordered pair once per channel where both delays are in the dump;
// delay(x->y) is what receiver y measured of sender x.  Ordered by a, b,
// channel.  Figures are rounded to the dump's precision (a microsecond).
std::vector<Pair> find_pairs(const Model& model);

// Beacons whose clock looks wrong.  Against each peer it has fresh figures
// with, a beacon's clock offset is estimated from the pair (ASM where there
// is both), and a delay "from the future" between the two, in either
// direction, is an offset of at least its magnitude.  A beacon is suspect
// when that estimate exceeds threshold_ms against a majority of those
// peers: a lagging receiver is suspect, not the senders whose probes it
// sees from the future.  Ascending indexes.
std::vector<int> clock_suspects(const Model& model, const std::vector<Pair>& pairs, double threshold_ms);

}  // namespace view
