// Bandwidth accounting: the 10-second windows, the reports and the
// beacon_interval the received rate gives.
#include <gtest/gtest.h>

#include <string>

#include "control/settings.h"
#include "output/bandwidth.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class BandwidthTest : public testing::Test {
protected:
    void SetUp() override {
        settings = Settings{};
        reset_bandwidth_counters();
    }
    void TearDown() override {
        settings = Settings{};
        reset_bandwidth_counters();
    }
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(BandwidthTest, IntervalFromReceivedRate) {
    // ln(max(4, r)) / 1.38 * 4, worked out by hand.
    struct Case {
        double rate, interval;
    } cases[] = {{0, 4.018}, {1, 4.018}, {4, 4.018}, {10, 6.674}, {100, 13.348}, {1000, 20.022}, {10000, 26.697}};
    for (const Case& c : cases) EXPECT_NEAR(compute_beacon_interval(c.rate), c.interval, 0.0005) << c.rate;
}

// A beacon receiving 1 Kb/s and sending 2 Kb/s, one second at a time, with
// the 10-second windows closing on their own grid: every dump, at any
// dump interval, counts the bytes since the one before, the open window
// included, and none twice.
TEST_F(BandwidthTest, DumpTrafficIsSteadyAtEveryDumpInterval) {
    for (unsigned dump_every : {1u, 5u, 7u, 10u, 60u}) {
        reset_bandwidth_counters();
        uint64_t counted = 0;
        for (unsigned second = 1; second <= 180; ++second) {
            bytes_received += 125;
            bytes_sent += 250;
            if (second % 10 == 0) bandwidth_stats();
            if (second % dump_every == 0) {
                DumpTraffic traffic = take_dump_traffic();
                EXPECT_EQ(traffic.received, 125u * dump_every) << dump_every << " s, at " << second;
                EXPECT_EQ(traffic.sent, 250u * dump_every) << dump_every << " s, at " << second;
                counted += traffic.received;
            }
        }
        EXPECT_EQ(counted + take_dump_traffic().received, 125u * 180) << dump_every;
        EXPECT_EQ(total_bytes_received, 125u * 180) << "the windows' totals are untouched";
    }
}

TEST_F(BandwidthTest, WindowMovesIntoTheTotalsAndSetsTheInterval) {
    EXPECT_DOUBLE_EQ(beacon_interval, 5.0);
    bytes_received = 12500;  // 100000 bits in 10 s: 10 Kb/s
    bytes_sent = 700;
    CaptureStderr();
    bandwidth_stats();
    std::string log = GetCapturedStderr();
    EXPECT_FALSE(has(log, "BW:")) << log;
    EXPECT_NEAR(beacon_interval, 6.674, 0.0005);
    EXPECT_EQ(bytes_received, 0u);
    EXPECT_EQ(bytes_sent, 0u);
    EXPECT_EQ(total_bytes_received, 12500u);
    EXPECT_EQ(total_bytes_sent, 700u);
    EXPECT_EQ(dump_bytes_received, 12500u);
    EXPECT_EQ(dump_bytes_sent, 700u);

    bytes_received = 500;
    bytes_sent = 300;
    bandwidth_stats();
    EXPECT_EQ(total_bytes_received, 13000u);
    EXPECT_EQ(total_bytes_sent, 1000u);
    EXPECT_EQ(dump_bytes_received, 13000u);
    EXPECT_EQ(dump_bytes_sent, 1000u);
    EXPECT_NEAR(beacon_interval, 4.018, 0.0005);  // 0.4 Kb/s: the floor
}

TEST_F(BandwidthTest, NoTrafficGivesTheFloor) {
    for (int i = 0; i < 3; ++i) {
        bandwidth_stats();
        EXPECT_NEAR(beacon_interval, 4.018, 0.0005);
    }
}

TEST_F(BandwidthTest, OnlyTheReceivedRateDrivesTheInterval) {
    bytes_sent = 1250000;
    bandwidth_stats();
    EXPECT_NEAR(beacon_interval, 4.018, 0.0005);
}

TEST_F(BandwidthTest, WindowLineWithDumpBandwidth) {
    settings.dump_bandwidth = true;
    bytes_received = 12500;
    bytes_sent = 2500;
    CaptureStderr();
    bandwidth_stats();
    std::string log = GetCapturedStderr();
    EXPECT_TRUE(has(log, " BW: Received 12500 bytes (10.00 Kb/s) Sent 2500 bytes (2.00 Kb/s)\n")) << log;
}

TEST_F(BandwidthTest, WindowProductWrapsAt32Bits) {
    settings.dump_bandwidth = true;
    // 536883412 * 8 = 2^32 + 100000: the rate is that of 12500 bytes.
    bytes_received = 536883412u;
    CaptureStderr();
    bandwidth_stats();
    std::string log = GetCapturedStderr();
    EXPECT_TRUE(has(log, "BW: Received 536883412 bytes (10.00 Kb/s) Sent 0 bytes (0.00 Kb/s)")) << log;
    EXPECT_NEAR(beacon_interval, 6.674, 0.0005);
    EXPECT_EQ(total_bytes_received, 536883412u);
}

TEST_F(BandwidthTest, LongReportSaysSixHundredSecondsAndRestarts) {
    total_bytes_received = 750000;  // 6000000 bits / 600000 ms = 10 Kb/s
    total_bytes_sent = 75000;
    bw_window_start = 5000;
    CaptureStderr();
    bandwidth_stats_long(700000);  // whatever time passed, it says 600
    std::string log = GetCapturedStderr();
    EXPECT_TRUE(has(log, " BW Usage for 600 secs: RX 750000 bytes (10.00 Kb/s) TX 75000 bytes (1.00 Kb/s)\n"))
        << log;
    EXPECT_EQ(total_bytes_received, 0u);
    EXPECT_EQ(total_bytes_sent, 0u);
    EXPECT_EQ(bw_window_start, 700000u);

    // The next on-demand report counts from the long report.
    total_bytes_received = 3000;  // 24000 bits / 30000 ms
    CaptureStderr();
    bandwidth_report_on_demand(730500);
    log = GetCapturedStderr();
    EXPECT_TRUE(has(log, "BW Usage for 30 secs: RX 3000 bytes (0.80 Kb/s) TX 0 bytes (0.00 Kb/s)")) << log;
}

TEST_F(BandwidthTest, OnDemandDividesByWholeSecondsAndResetsNothing) {
    total_bytes_received = 90000;  // 720000 bits / 90000 ms = 8 Kb/s (7.92 over 90.9 s)
    total_bytes_sent = 45000;
    bw_window_start = 1000;
    CaptureStderr();
    bandwidth_report_on_demand(1000 + 90900);
    std::string log = GetCapturedStderr();
    EXPECT_TRUE(has(log, " BW Usage for 90 secs: RX 90000 bytes (8.00 Kb/s) TX 45000 bytes (4.00 Kb/s)\n")) << log;
    EXPECT_EQ(total_bytes_received, 90000u);
    EXPECT_EQ(total_bytes_sent, 45000u);
    EXPECT_EQ(bw_window_start, 1000u);
}

TEST_F(BandwidthTest, OnDemandUnderOneSecondPrintsAFiniteRate) {
    total_bytes_received = 100;
    bw_window_start = 1000;
    CaptureStderr();
    bandwidth_report_on_demand(1999);
    std::string log = GetCapturedStderr();
    EXPECT_TRUE(has(log, "BW Usage for 0 secs: RX 100 bytes (0.00 Kb/s) TX 0 bytes (0.00 Kb/s)")) << log;
}

TEST_F(BandwidthTest, ReportsLeaveOutTheOpenWindow) {
    bytes_received = 1000;
    bytes_sent = 200;
    bandwidth_stats();
    bytes_received = 5000;  // still open
    bytes_sent = 900;
    bw_window_start = 0;
    CaptureStderr();
    bandwidth_report_on_demand(10000);
    bandwidth_stats_long(20000);
    std::string log = GetCapturedStderr();
    EXPECT_TRUE(has(log, "BW Usage for 10 secs: RX 1000 bytes (0.80 Kb/s) TX 200 bytes (0.16 Kb/s)")) << log;
    EXPECT_TRUE(has(log, "BW Usage for 600 secs: RX 1000 bytes (0.01 Kb/s) TX 200 bytes (0.00 Kb/s)")) << log;
    EXPECT_EQ(dump_bytes_received, 1000u);
    EXPECT_EQ(dump_bytes_sent, 200u);
    EXPECT_EQ(bytes_received, 5000u);  // the open window is kept for its own close
}

}  // namespace
