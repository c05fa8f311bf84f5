// The base period of the beacon, in seconds: every report period, the mean
// probe pause and the time-out of the beacon state derive from it.  Bandwidth
// accounting recomputes it from the received rate; everything else reads it.
#pragma once

constexpr double BEACON_INTERVAL_START = 5.0;

extern double beacon_interval;
