// What the one-way delays of a pair of beacons give together: the round
// trip, which no clock error touches, and an estimate of the offset between
// the two clocks.
#pragma once

#include <vector>

#include "view/model.h"

namespace view {

struct Pair {
    int a = 0;  // a < b
    int b = 0;
    Channel channel = Channel::Asm;
    double round_trip_ms = 0;    // delay(a->b) + delay(b->a)
    double clock_offset_ms = 0;  // (delay(a->b) - delay(b->a)) / 2: b's clock ahead of a's when positive
    bool stale = false;          // one of the two delays is stale
};

// Every unordered pair once per channel where both delays are in the dump;
// delay(x->y) is what receiver y measured of sender x.  Ordered by a, b,
// channel.
std::vector<Pair> find_pairs(const Model& model);

// Beacons whose clock looks wrong: the offset to most of their peers (from
// fresh figures, ASM where there is both) is above threshold_ms, or their
// probes arrive "from the future" somewhere.  Ascending indexes.
std::vector<int> clock_suspects(const Model& model, const std::vector<Pair>& pairs, double threshold_ms);

}  // namespace view
