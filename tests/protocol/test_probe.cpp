#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "control/runtime.h"
#include "control/settings.h"
#include "net/address.h"
#include "net/datagram.h"
#include "output/bandwidth.h"
#include "protocol/probe.h"
#include "tests/protocol/support.h"

namespace {

uint32_t be32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings = Settings{};
        runtime = Runtime{};
        reset_bandwidth_counters();
        probe_sequence = ProbeCounter{};
        ssm_probe_sequence = ProbeCounter{};
        runtime.beacon_socket = sender.fd;
    }
    void TearDown() override {
        runtime = Runtime{};
        reset_bandwidth_counters();
    }
    // A probe that is due is waited for up to 2 s.
    static constexpr timeval WAIT{2, 0};
    LoopbackSocket sender{WAIT};
    LoopbackSocket receiver{WAIT};
};

TEST(BuildProbe, WritesHeaderSequenceAndTimestampBigEndian) {
    uint8_t buffer[16];
    memset(buffer, 0x5A, sizeof buffer);
    ASSERT_EQ(build_probe(buffer, sizeof buffer, 0x01020304, 0x0A0B0C0D), 12);
    const uint8_t expected[16] = {0xBE, 0xAC, 0x01, 0x00, 0x01, 0x02, 0x03, 0x04,
                                  0x0A, 0x0B, 0x0C, 0x0D, 0x5A, 0x5A, 0x5A, 0x5A};
    EXPECT_EQ(0, memcmp(buffer, expected, sizeof expected));
}

TEST(BuildProbe, CapacityBelowTwelveWritesNothing) {
    for (int32_t capacity : {11, 0, -1, -12}) {
        uint8_t buffer[12];
        memset(buffer, 0x5A, sizeof buffer);
        EXPECT_EQ(build_probe(buffer, capacity, 1, 2), -1) << capacity;
        for (uint8_t b : buffer) EXPECT_EQ(b, 0x5A) << capacity;
    }
    uint8_t exact[12];
    EXPECT_EQ(build_probe(exact, 12, 1, 2), 12);
}

TEST_F(ProbeTest, SendsCounterValueAndWallClockThenAdvances) {
    probe_sequence = ProbeCounter{0xFFFFFFFFu, true};
    int64_t before = wallclock_ms();
    send_probe(receiver.address, probe_sequence);
    int64_t after = wallclock_ms();

    std::vector<uint8_t> probe = receiver.receive();
    ASSERT_EQ(probe.size(), 12u);
    EXPECT_EQ(std::vector<uint8_t>(probe.begin(), probe.begin() + 4), (std::vector<uint8_t>{0xBE, 0xAC, 1, 0}));
    EXPECT_EQ(be32(probe, 4), 0xFFFFFFFFu);
    uint32_t stamp = be32(probe, 8);
    // Only the low 32 bits of the clock travel.
    EXPECT_LE(stamp - static_cast<uint32_t>(before), static_cast<uint32_t>(after - before));
    EXPECT_EQ(probe_sequence.value, 0u);
    EXPECT_EQ(bytes_sent, 12u);
}

TEST_F(ProbeTest, FirstProbeDrawsTheCounterFromRand) {
    srand(4242);
    uint32_t drawn = static_cast<uint32_t>(rand());
    srand(4242);
    send_probe(receiver.address, probe_sequence);
    std::vector<uint8_t> probe = receiver.receive();
    ASSERT_EQ(probe.size(), 12u);
    EXPECT_EQ(be32(probe, 4), drawn);
    EXPECT_TRUE(probe_sequence.started);
    EXPECT_EQ(probe_sequence.value, drawn + 1);

    // Later probes are consecutive, never drawn again.
    send_probe(receiver.address, probe_sequence);
    EXPECT_EQ(be32(receiver.receive(), 4), drawn + 1);
}

TEST_F(ProbeTest, FailedSendUsesUpItsNumberAndCountsNothing) {
    probe_sequence = ProbeCounter{41, true};
    runtime.beacon_socket = -1;
    send_probe(receiver.address, probe_sequence);
    EXPECT_EQ(probe_sequence.value, 42u);
    EXPECT_EQ(bytes_sent, 0u);

    runtime.beacon_socket = sender.fd;
    send_probe(receiver.address, probe_sequence);
    std::vector<uint8_t> probe = receiver.receive();
    ASSERT_EQ(probe.size(), 12u);
    EXPECT_EQ(be32(probe, 4), 42u);
    EXPECT_EQ(bytes_sent, 12u);
}

TEST_F(ProbeTest, ChannelsKeepIndependentCounters) {
    probe_sequence = ProbeCounter{100, true};
    ssm_probe_sequence = ProbeCounter{7000, true};
    for (int i = 0; i < 3; ++i) send_probe(receiver.address, ssm_probe_sequence);
    send_probe(receiver.address, probe_sequence);
    std::vector<uint32_t> seen;
    for (int i = 0; i < 4; ++i) seen.push_back(be32(receiver.receive(), 4));
    EXPECT_EQ(seen, (std::vector<uint32_t>{7000, 7001, 7002, 100}));
    EXPECT_EQ(probe_sequence.value, 101u);
    EXPECT_EQ(ssm_probe_sequence.value, 7003u);
    EXPECT_EQ(bytes_sent, 48u);
}

}  // namespace
