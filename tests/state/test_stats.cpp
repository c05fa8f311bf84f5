// Reception statistics: windows of 40 sequence numbers, loss, duplicates,
// reordering, delay and jitter, and the staleness of published figures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "output/bandwidth.h"
#include "state/stats.h"

namespace {

constexpr uint64_t NOW = 1000000;
constexpr uint32_t TS = 50000000;  // the sender's timestamp of the first probe

class StatsTest : public testing::Test {
protected:
    void SetUp() override { beacon_interval = 5.0; }
    void TearDown() override { beacon_interval = 5.0; }

    // A probe sent at TS + offset and received `delay` ms later.
    void feed(uint32_t seq, int64_t delay, uint32_t offset = 0, uint64_t now = NOW, uint8_t ttl = 60) {
        uint32_t ts = TS + offset;
        r.update(ttl, seq, ts, now, static_cast<uint64_t>(static_cast<int64_t>(ts) + delay));
    }

    ReceptionStats r;
};

// Every field that the update may touch, for "nothing changed" checks.
void expect_same(const ReceptionStats& a, const ReceptionStats& b) {
    EXPECT_EQ(a.last_seq, b.last_seq);
    EXPECT_EQ(a.expected, b.expected);
    EXPECT_EQ(a.received, b.received);
    EXPECT_EQ(a.seen_count, b.seen_count);
    EXPECT_EQ(a.delay_sum, b.delay_sum);
    EXPECT_EQ(a.last_delay, b.last_delay);
    EXPECT_EQ(a.lost_count, b.lost_count);
    EXPECT_EQ(a.dup_count, b.dup_count);
    EXPECT_EQ(a.ooo_count, b.ooo_count);
    EXPECT_EQ(a.figures.timestamp, b.figures.timestamp);
    EXPECT_EQ(a.figures.updated_ms, b.figures.updated_ms);
    EXPECT_EQ(a.figures.delay, b.figures.delay);
    EXPECT_EQ(a.figures.jitter, b.figures.jitter);
    EXPECT_EQ(a.figures.loss, b.figures.loss);
    EXPECT_EQ(a.figures.dup, b.figures.dup);
    EXPECT_EQ(a.figures.ooo, b.figures.ooo);
    EXPECT_EQ(a.figures.valid, b.figures.valid);
    EXPECT_EQ(a.figures.ttl, b.figures.ttl);
    for (uint32_t i = 0; i < a.seen_count && i < SEEN_CAPACITY; ++i) EXPECT_EQ(a.seen[i], b.seen[i]);
}

TEST(SourceTimeout, FollowsBeaconIntervalWithTruncationAndLow32Bits) {
    struct Case {
        double interval;
        uint32_t expected;
    } cases[] = {
        {5.0, 30000},
        {10.0, 60000},
        {0.3, 1799},  // 0.3 * 6.0 * 1000.0 is 1799.9999999999998: truncated, not rounded
        {800000.0, 505032704},  // 4 800 000 000 ms keeps its low 32 bits
        {0.0, 0},
    };
    for (const Case& c : cases) {
        beacon_interval = c.interval;
        EXPECT_EQ(source_timeout_ms(), c.expected) << c.interval;
    }
    beacon_interval = 5.0;
}

TEST(SourceTimeout, StalenessIsStrict) {
    beacon_interval = 5.0;
    EXPECT_FALSE(is_stale(1000, 31000));
    EXPECT_TRUE(is_stale(1000, 31001));
    EXPECT_FALSE(is_stale(1000, 1000));
    // A time in the future is a huge unsigned difference.
    EXPECT_TRUE(is_stale(2000, 1000));
    beacon_interval = 10.0;
    EXPECT_FALSE(is_stale(1000, 61000));
    EXPECT_TRUE(is_stale(1000, 61001));
    beacon_interval = 5.0;
}

TEST(PublishedStatsExpire, ClearsValidOnlyAfterTheTimeout) {
    beacon_interval = 5.0;
    PublishedStats p;
    p.updated_ms = 100000;
    p.valid = 1;
    p.delay = 12.5f;
    p.jitter = 1.5f;
    p.ttl = 7;
    p.timestamp = 99;

    p.expire(100000 + 30000);
    EXPECT_EQ(p.valid, 1);
    p.expire(100000 + 30001);
    EXPECT_EQ(p.valid, 0);
    EXPECT_EQ(p.updated_ms, 100000u);
    EXPECT_EQ(p.delay, 12.5f);
    EXPECT_EQ(p.jitter, 1.5f);
    EXPECT_EQ(p.ttl, 7);
    EXPECT_EQ(p.timestamp, 99u);
}

TEST_F(StatsTest, ConstructedRecordIsZero) {
    EXPECT_EQ(r.last_seq, 0u);
    EXPECT_EQ(r.expected, 0u);
    EXPECT_EQ(r.received, 0u);
    EXPECT_EQ(r.seen_count, 0u);
    EXPECT_EQ(r.figures.valid, 0);
    EXPECT_EQ(r.figures.ttl, 0);
    EXPECT_EQ(r.figures.jitter, 0.0f);
}

TEST_F(StatsTest, FirstProbeResetsJustBelowItself) {
    feed(1000, 10, 0, NOW, 61);
    EXPECT_EQ(r.last_seq, 1000u);
    EXPECT_EQ(r.expected, 1u);
    EXPECT_EQ(r.received, 1u);
    EXPECT_EQ(r.seen_count, 1u);
    EXPECT_EQ(r.seen[0], 1000u);
    EXPECT_EQ(r.lost_count, 0);
    EXPECT_EQ(r.delay_sum, 10);
    EXPECT_EQ(r.last_delay, 10u);
    EXPECT_EQ(r.figures.valid, 0);
    EXPECT_EQ(r.figures.timestamp, TS);
    EXPECT_EQ(r.figures.updated_ms, NOW);
    EXPECT_EQ(r.figures.ttl, 61);
}

TEST_F(StatsTest, FortyInOrderProbesPublishOneWindow) {
    // Jitter: 10 * 0.0625 after the first probe (its delay differs by 10 from
    // the 0 of the reset), then the float is multiplied by 15/16 in double
    // and rounded back to float at every later probe.
    float jitter = 0.625f;
    for (uint32_t i = 0; i < 40; ++i) {
        feed(1000 + i, 10, i * 100, NOW + i);
        if (i > 0) jitter = static_cast<float>(static_cast<double>(jitter) * 0.9375);
        EXPECT_EQ(r.figures.jitter, jitter) << "probe " << i;
        if (i < 39) {
            EXPECT_EQ(r.figures.valid, 0) << "probe " << i;
            EXPECT_EQ(r.expected, i + 1);
        }
    }
    EXPECT_NEAR(r.figures.jitter, 0.625 * std::pow(0.9375, 39), 1e-6);
    EXPECT_EQ(r.figures.valid, 1);
    EXPECT_EQ(r.figures.delay, 10.0f);
    EXPECT_EQ(r.figures.loss, 0.0f);
    EXPECT_EQ(r.figures.dup, 0.0f);
    EXPECT_EQ(r.figures.ooo, 0.0f);
    EXPECT_EQ(r.figures.timestamp, TS + 3900);
    EXPECT_EQ(r.figures.updated_ms, NOW + 39);
    EXPECT_EQ(r.expected, 0u);
    EXPECT_EQ(r.received, 0u);
    EXPECT_EQ(r.seen_count, 0u);
    EXPECT_EQ(r.delay_sum, 0);
    EXPECT_EQ(r.lost_count, 0);
    EXPECT_EQ(r.dup_count, 0);
    EXPECT_EQ(r.ooo_count, 0);
    // Carried into the next window.
    EXPECT_EQ(r.last_seq, 1039u);
    EXPECT_EQ(r.last_delay, 10u);

    // The next probe starts the next window; the figures stay valid.
    feed(1040, 10, 4000);
    EXPECT_EQ(r.expected, 1u);
    EXPECT_EQ(r.received, 1u);
    EXPECT_EQ(r.figures.valid, 1);
}

TEST_F(StatsTest, GapThenLateArrival) {
    feed(1000, 5);
    feed(1001, 5);
    feed(1004, 5);
    EXPECT_EQ(r.expected, 5u);  // 999 + 5 = 1004
    EXPECT_EQ(r.lost_count, 2);
    EXPECT_EQ(r.received, 3u);
    EXPECT_EQ(r.last_seq, 1004u);

    feed(1002, 5);
    EXPECT_EQ(r.lost_count, 1);
    EXPECT_EQ(r.ooo_count, 1);
    EXPECT_EQ(r.received, 4u);
    EXPECT_EQ(r.seen_count, 4u);
    EXPECT_EQ(r.expected, 5u);
    EXPECT_EQ(r.last_seq, 1004u);
    EXPECT_EQ(r.delay_sum, 20);
}

TEST_F(StatsTest, DuplicateCountsButTakesNothingElseIntoAccount) {
    feed(1000, 5, 0, NOW, 60);
    feed(1001, 8, 10, NOW + 1, 60);
    feed(1004, 5, 40, NOW + 2, 60);
    ReceptionStats before = r;

    feed(1001, 300, 777, NOW + 50, 33);
    EXPECT_EQ(r.dup_count, 1);
    EXPECT_EQ(r.received, before.received);
    EXPECT_EQ(r.seen_count, before.seen_count);
    EXPECT_EQ(r.delay_sum, before.delay_sum);
    EXPECT_EQ(r.last_delay, before.last_delay);
    EXPECT_EQ(r.figures.jitter, before.figures.jitter);
    EXPECT_EQ(r.lost_count, before.lost_count);
    EXPECT_EQ(r.ooo_count, 0);
    EXPECT_EQ(r.expected, before.expected);
    // The copy refreshes the record.
    EXPECT_EQ(r.figures.timestamp, TS + 777);
    EXPECT_EQ(r.figures.updated_ms, NOW + 50);
    EXPECT_EQ(r.figures.ttl, 33);
}

TEST_F(StatsTest, AfterPublicationOldNumbersChangeNothing) {
    for (uint32_t i = 0; i < 40; ++i) feed(2000 + i, 10, i * 100);
    ASSERT_EQ(r.figures.valid, 1);
    const uint32_t last = 2039;
    for (uint32_t seq : {last, last - 1, last - 39, last - 150, 2000u}) {
        ReceptionStats before = r;
        feed(seq, 99, 1234, NOW + 500, 3);
        SCOPED_TRACE(seq);
        expect_same(r, before);
    }
}

TEST_F(StatsTest, ResetDistanceIs150) {
    struct Case {
        uint32_t ahead;
        bool resets;
    } cases[] = {{150, false}, {151, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ahead);
        r = ReceptionStats();
        feed(5000, 10);
        feed(5001, 10);
        feed(5001 + c.ahead, 10, 0, NOW + 7);
        EXPECT_EQ(r.last_seq, 5001 + c.ahead);
        if (c.resets) {
            EXPECT_EQ(r.expected, 1u);
            EXPECT_EQ(r.received, 1u);
            EXPECT_EQ(r.lost_count, 0);
        } else {
            // 2 + 150 numbers spanned, 149 of them skipped: published at once.
            EXPECT_EQ(r.figures.valid, 1);
            EXPECT_EQ(r.figures.loss, 149.0f / 152.0f);
            EXPECT_EQ(r.expected, 0u);
        }
    }
    // Behind by 151 also resets; the late number is then the first probe.
    r = ReceptionStats();
    feed(5000, 10);
    feed(5200, 10);
    feed(5049, 10);
    EXPECT_EQ(r.last_seq, 5049u);
    EXPECT_EQ(r.expected, 1u);
    EXPECT_EQ(r.ooo_count, 0);
}

TEST_F(StatsTest, SenderNumberingWraps) {
    feed(4294967290u, 10);
    for (uint32_t s = 4294967291u; s != 0; ++s) feed(s, 10);
    ASSERT_EQ(r.last_seq, 4294967295u);
    ASSERT_EQ(r.expected, 6u);

    // Distance 4294967295: reset to 4294967295, then 0 is "before" the
    // empty window and ignored.
    feed(0, 10, 0, NOW + 100, 9);
    EXPECT_EQ(r.last_seq, 4294967295u);
    EXPECT_EQ(r.expected, 0u);
    EXPECT_EQ(r.received, 0u);
    EXPECT_EQ(r.seen_count, 0u);
    EXPECT_EQ(r.figures.updated_ms, NOW + 100);
    EXPECT_EQ(r.figures.timestamp, 0u);
    EXPECT_EQ(r.figures.ttl, 60);  // the reset keeps the TTL; the ignored probe sets nothing

    // 1 is 4294967294 away: reset to 0, then taken in order.
    feed(1, 10, 0, NOW + 200);
    EXPECT_EQ(r.last_seq, 1u);
    EXPECT_EQ(r.expected, 1u);
    EXPECT_EQ(r.received, 1u);
    EXPECT_EQ(r.lost_count, 0);
}

TEST_F(StatsTest, DelayArithmetic) {
    struct Case {
        const char* what;
        uint64_t receive_ms;
        uint32_t ts;
        int32_t delay_sum;
        uint32_t last_delay;
        float jitter;
    } cases[] = {
        // D = receive - ts.
        {"positive", 1000, 990, 10, 10, 0.625f},
        // Sender's clock ahead: D = -25, A = 25, E = 25.
        {"negative", 1000, 1025, -25, 25, 1.5625f},
        // Only the receive time modulo 2^32 counts.
        {"receive modulo 2^32", (1ull << 32) + 1000, 990, 10, 10, 0.625f},
        // D = 4294967295 wraps delay_sum to -1; E = A - 0 as int32 is -1.
        {"huge delay", 4294967295ull, 0, -1, 4294967295u, 0.0625f},
        // D = -4294967295: A = 4294967295, delay_sum += 1.
        {"huge negative", 0, 4294967295u, 1, 4294967295u, 0.0625f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        r = ReceptionStats();
        r.update(1, 7000, c.ts, NOW, c.receive_ms);
        EXPECT_EQ(r.delay_sum, c.delay_sum);
        EXPECT_EQ(r.last_delay, c.last_delay);
        EXPECT_EQ(r.figures.jitter, c.jitter);
    }
}

TEST_F(StatsTest, NegativeDelayIsPublished) {
    for (uint32_t i = 0; i < 40; ++i) feed(3000 + i, i < 20 ? -30 : -10, i * 100);
    ASSERT_EQ(r.figures.valid, 1);
    // (20 * -30 + 20 * -10) / 40
    EXPECT_EQ(r.figures.delay, -20.0f);
    EXPECT_EQ(r.last_delay, 10u);
    // 0.0625 * 30 after the first probe, then 15/16 per probe until the 21st,
    // whose |E| is 20.
    double j = 30 * 0.0625;
    float jf = static_cast<float>(j);
    for (int i = 1; i < 40; ++i) jf = static_cast<float>(jf * 0.9375 + (i == 20 ? 20 : 0) * 0.0625);
    EXPECT_EQ(r.figures.jitter, jf);
}

TEST_F(StatsTest, GapStraddlingTheWindowPublishesTheWholeSpan) {
    // 39 numbers, one of them missing and another duplicated and one late.
    for (uint32_t i = 0; i < 39; ++i) {
        if (i == 20) continue;
        feed(4000 + i, 8, i * 100);
    }
    feed(4010, 8, 5000);  // duplicate
    feed(4020, 8, 5100);  // late
    ASSERT_EQ(r.expected, 39u);
    ASSERT_EQ(r.received, 39u);
    ASSERT_EQ(r.figures.valid, 0);
    // 10 ahead: 9 lost, span 49.
    feed(4048, 8, 6000);
    EXPECT_EQ(r.figures.valid, 1);
    EXPECT_EQ(r.figures.loss, 9.0f / 49.0f);
    EXPECT_EQ(r.figures.dup, 1.0f / 49.0f);
    EXPECT_EQ(r.figures.ooo, 1.0f / 49.0f);
    EXPECT_EQ(r.figures.delay, 320.0f / 40.0f);
    EXPECT_EQ(r.expected, 0u);
    EXPECT_EQ(r.last_seq, 4048u);
}

TEST_F(StatsTest, ResetClearsEverythingButTtl) {
    for (uint32_t i = 0; i < 45; ++i) feed(100000 + i, 10, i, NOW, 42);
    feed(100050, 10);
    r.reset(77, NOW + 9);
    EXPECT_EQ(r.last_seq, 77u);
    EXPECT_EQ(r.figures.timestamp, 0u);
    EXPECT_EQ(r.figures.updated_ms, NOW + 9);
    EXPECT_EQ(r.expected, 0u);
    EXPECT_EQ(r.received, 0u);
    EXPECT_EQ(r.seen_count, 0u);
    EXPECT_EQ(r.delay_sum, 0);
    EXPECT_EQ(r.last_delay, 0u);
    EXPECT_EQ(r.lost_count, 0);
    EXPECT_EQ(r.dup_count, 0);
    EXPECT_EQ(r.ooo_count, 0);
    EXPECT_EQ(r.figures.delay, 0.0f);
    EXPECT_EQ(r.figures.jitter, 0.0f);
    EXPECT_EQ(r.figures.loss, 0.0f);
    EXPECT_EQ(r.figures.dup, 0.0f);
    EXPECT_EQ(r.figures.ooo, 0.0f);
    EXPECT_EQ(r.figures.valid, 0);
    EXPECT_EQ(r.figures.ttl, 60);
}

// A hostile sender chooses every sequence number.  Whatever it sends, the
// list of seen numbers stays inside its array and in step with `received`,
// and its entries are distinct numbers of the current window.
TEST_F(StatsTest, HostileSequencesKeepTheSeenListBounded) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 50; ++round) {
        r = ReceptionStats();
        uint32_t base = rng();
        for (int i = 0; i < 2000; ++i) {
            uint32_t seq;
            switch (rng() % 5) {
                case 0: seq = rng(); break;                                  // anywhere
                case 1: seq = r.last_seq + static_cast<uint32_t>(rng() % 4); break;    // near the head
                case 2: seq = r.last_seq - static_cast<uint32_t>(rng() % 45); break;   // late or old
                case 3: seq = base + static_cast<uint32_t>(rng() % 400); break;        // around a base
                default: seq = r.last_seq + 140 + static_cast<uint32_t>(rng() % 20); break;  // near the reset edge
            }
            r.update(64, seq, rng(), NOW + i, rng());
            ASSERT_LE(r.seen_count, SEEN_CAPACITY);
            ASSERT_EQ(r.received, r.seen_count);
            ASSERT_LT(r.expected, STATS_WINDOW);
            for (uint32_t a = 0; a < r.seen_count; ++a) {
                ASSERT_LT(r.last_seq - r.seen[a], r.expected) << "outside the window";
                for (uint32_t b = a + 1; b < r.seen_count; ++b) ASSERT_NE(r.seen[a], r.seen[b]);
            }
        }
    }
}

}  // namespace

// Probes this host's socket dropped are not the network's loss: a window
// publishes the missing probes less the socket's drops since the previous
// window completed, never below 0, whatever the kernel's count started at
// and across its wrap.
TEST_F(StatsTest, LocalDropsAreNotPublishedAsLoss) {
    struct Window {
        uint32_t lost;     // probes missing from the window
        uint32_t dropped;  // the socket's drops counted meanwhile
        float loss;
    };
    struct Case {
        const char* name;
        uint32_t first_count;  // the socket's count at the first probe
        std::vector<Window> windows;
    };
    const Case cases[] = {
        {"no local drops", 0, {{4, 0, 4.0f / 40}, {0, 0, 0.0f}}},
        {"every missing probe dropped here", 0, {{4, 4, 0.0f}, {3, 0, 3.0f / 40}}},
        {"more missing than dropped", 0, {{6, 2, 4.0f / 40}}},
        {"drops elsewhere on the socket are no credit later", 0, {{2, 10, 0.0f}, {5, 0, 5.0f / 40}}},
        {"drops before the first probe are not this window's", 5000, {{4, 0, 4.0f / 40}}},
        {"count wraps", 0xFFFFFFFEu, {{3, 0, 3.0f / 40}, {5, 4, 1.0f / 40}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReceptionStats s;
        uint32_t seq = 7000;
        uint32_t count = c.first_count;
        for (const Window& w : c.windows) {
            // The window spans 40 numbers; the missing ones lie in the middle.
            for (uint32_t i = 0; i < 40; ++i) {
                if (i >= 10 && i < 10 + w.lost) continue;
                if (i == 10 + w.lost) count += w.dropped;
                s.update(60, seq + i, TS + i * 100, NOW, TS + i * 100 + 5, count);
            }
            seq += 40;
            ASSERT_EQ(s.figures.valid, 1);
            EXPECT_FLOAT_EQ(s.figures.loss, w.loss);
        }
    }
}
