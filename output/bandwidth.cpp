#include "output/bandwidth.h"

#include <cmath>

#include "control/log.h"
#include "control/settings.h"

uint32_t bytes_received = 0;
uint32_t bytes_sent = 0;
uint64_t total_bytes_received = 0;
uint64_t total_bytes_sent = 0;
uint64_t bw_window_start = 0;
uint64_t dump_bytes_received = 0;
uint64_t dump_bytes_sent = 0;
uint32_t dump_mark_received = 0;
uint32_t dump_mark_sent = 0;

namespace {
constexpr double WINDOW_MS = 10000.0;
constexpr double LONG_WINDOW_MS = 600000.0;
constexpr unsigned LONG_WINDOW_SECS = 600;
const char* const USAGE_FORMAT = "BW Usage for %u secs: RX %llu bytes (%.2f Kb/s) TX %llu bytes (%.2f Kb/s)";
}  // namespace

double compute_beacon_interval(double received_kbps) {
    return std::log(std::fmax(4.0, received_kbps)) / 1.38 * 4.0;
}

void bandwidth_stats() {
    uint32_t rx = bytes_received;
    uint32_t tx = bytes_sent;
    double rx_rate = static_cast<uint32_t>(rx * 8u) / WINDOW_MS;
    if (settings.dump_bandwidth) {
        double tx_rate = static_cast<uint32_t>(tx * 8u) / WINDOW_MS;
        log_message(LOG_DEBUG, "BW: Received %u bytes (%.2f Kb/s) Sent %u bytes (%.2f Kb/s)", rx, rx_rate, tx,
                    tx_rate);
    }
    total_bytes_received += rx;
    total_bytes_sent += tx;
    // What a dump already took of this window is not counted twice.
    dump_bytes_received += static_cast<uint32_t>(rx - dump_mark_received);
    dump_bytes_sent += static_cast<uint32_t>(tx - dump_mark_sent);
    dump_mark_received = dump_mark_sent = 0;
    bytes_received = 0;
    bytes_sent = 0;
    beacon_interval = compute_beacon_interval(rx_rate);
}

void bandwidth_stats_long(uint64_t now) {
    log_info(USAGE_FORMAT, LONG_WINDOW_SECS, static_cast<unsigned long long>(total_bytes_received),
             (total_bytes_received * 8) / LONG_WINDOW_MS, static_cast<unsigned long long>(total_bytes_sent),
             (total_bytes_sent * 8) / LONG_WINDOW_MS);
    total_bytes_received = 0;
    total_bytes_sent = 0;
    bw_window_start = now;
}

void bandwidth_report_on_demand(uint64_t now) {
    uint64_t secs = (now - bw_window_start) / 1000;
    // Under one whole second the divisor would be zero: report a rate of 0
    // rather than an infinite or undefined figure.
    double divisor = static_cast<double>(secs) * 1000.0;
    double rx_rate = secs ? (total_bytes_received * 8) / divisor : 0.0;
    double tx_rate = secs ? (total_bytes_sent * 8) / divisor : 0.0;
    log_info(USAGE_FORMAT, static_cast<unsigned>(secs), static_cast<unsigned long long>(total_bytes_received),
             rx_rate, static_cast<unsigned long long>(total_bytes_sent), tx_rate);
}

DumpTraffic take_dump_traffic() {
    DumpTraffic traffic{dump_bytes_received + static_cast<uint32_t>(bytes_received - dump_mark_received),
                        dump_bytes_sent + static_cast<uint32_t>(bytes_sent - dump_mark_sent)};
    dump_bytes_received = dump_bytes_sent = 0;
    dump_mark_received = bytes_received;
    dump_mark_sent = bytes_sent;
    return traffic;
}

void reset_bandwidth_counters() {
    bytes_received = bytes_sent = 0;
    total_bytes_received = total_bytes_sent = 0;
    bw_window_start = 0;
    dump_bytes_received = dump_bytes_sent = 0;
    dump_mark_received = dump_mark_sent = 0;
    beacon_interval = BEACON_INTERVAL_START;
}
