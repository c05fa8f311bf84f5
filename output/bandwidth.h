// Beacon traffic counters, the bandwidth reports and the adaptive
// beacon_interval that every period of the beacon derives from.
#pragma once

#include <cstdint>
#include <string>

#include "scheduler/beacon_interval.h"

extern uint32_t bytes_received;  // current 10-second window, wrapping
extern uint32_t bytes_sent;
extern uint64_t total_bytes_received;  // closed windows since bw_window_start
extern uint64_t total_bytes_sent;
extern uint64_t bw_window_start;
extern uint64_t dump_bytes_received;  // closed windows since the last dump
extern uint64_t dump_bytes_sent;
// The part of the open window already handed to a dump.
extern uint32_t dump_mark_received;
extern uint32_t dump_mark_sent;

struct DumpTraffic {
    uint64_t received;
    uint64_t sent;
};
// Bytes received and sent since the last call, the open 10-second window
// included, and the count restarted: the dump's rates are these over the
// time since the last dump written.
DumpTraffic take_dump_traffic();

// ln(max(4, rate)) / 1.38 * 4, the base period for a received rate in Kb/s.
double compute_beacon_interval(double received_kbps);

// Body of BANDWIDTH_STATS (every 10 s).
void bandwidth_stats();
// Body of BANDWIDTH_STATS_2 (every 10 min).
void bandwidth_stats_long(uint64_t now);
// The report asked for with SIGUSR1, written by the main loop.
void bandwidth_report_on_demand(uint64_t now);

// Back to the start values (for tests).
void reset_bandwidth_counters();
