#include "scheduler/timer_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

#include "scheduler/clock.h"

namespace {

uint64_t fake_now = 0;
uint64_t fake_clock() { return fake_now; }

struct Expected {
    uint32_t type;
    uint32_t delay;
};

std::vector<Expected> layout(const TimerQueue& q) {
    std::vector<Expected> out;
    for (const TimerEvent& e : q.entries()) out.push_back({e.type, e.delay});
    return out;
}

// Absolute due times of the entries: R = lastclk - taccum, then running sums.
std::vector<uint64_t> due_times(const TimerQueue& q) {
    std::vector<uint64_t> out;
    uint64_t at = q.lastclk() - q.taccum();
    for (const TimerEvent& e : q.entries()) {
        at += e.delay;
        out.push_back(at);
    }
    return out;
}

class TimerQueueTest : public testing::Test {
protected:
    void SetUp() override { fake_now = 10000; }
    TimerQueue q{fake_clock};
};

struct InsertCase {
    const char* name;
    std::vector<std::pair<uint32_t, uint32_t>> inserts;  // (type, period), all at the same clock reading
    std::vector<Expected> expected;
};

TEST_F(TimerQueueTest, InsertionTable) {
    const uint32_t A = SEND_REPORT, B = DUMP_STATS, C = GARBAGE_COLLECT, D = SEND_PROBE;
    const std::vector<InsertCase> cases = {
        {"single into empty", {{A, 250}}, {{A, 250}}},
        {"A100 B150", {{A, 100}, {B, 150}}, {{A, 100}, {B, 50}}},
        {"C150 goes between and in front of B", {{A, 100}, {B, 150}, {C, 150}}, {{A, 100}, {C, 50}, {B, 0}}},
        {"D100 goes in front of A", {{A, 100}, {B, 150}, {D, 100}}, {{D, 100}, {A, 0}, {B, 50}}},
        {"append beyond the tail", {{A, 100}, {B, 150}, {C, 1000}}, {{A, 100}, {B, 50}, {C, 850}}},
        {"insert before everything", {{A, 100}, {B, 150}, {C, 30}}, {{C, 30}, {A, 70}, {B, 50}}},
        {"zero period goes first", {{A, 100}, {C, 0}}, {{C, 0}, {A, 100}}},
        {"three ties, last inserted first", {{A, 40}, {B, 40}, {C, 40}}, {{C, 40}, {B, 0}, {A, 0}}},
    };
    for (const InsertCase& c : cases) {
        SCOPED_TRACE(c.name);
        TimerQueue queue(fake_clock);
        for (auto [type, period] : c.inserts) queue.insert_event(type, period);
        std::vector<Expected> got = layout(queue);
        ASSERT_EQ(got.size(), c.expected.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].type, c.expected[i].type) << "entry " << i;
            EXPECT_EQ(got[i].delay, c.expected[i].delay) << "entry " << i;
        }
        EXPECT_EQ(queue.count(), c.expected.size());
        for (const TimerEvent& e : queue.entries()) {
            for (auto [type, period] : c.inserts) {
                if (type == e.type) {
                    EXPECT_EQ(e.period, period);
                }
            }
        }
    }
}

TEST_F(TimerQueueTest, InsertIntoEmptyQueueRestartsReferencePoint) {
    q.insert_event(DUMP_STATS, 5000);
    EXPECT_EQ(q.lastclk(), 10000u);
    EXPECT_EQ(q.taccum(), 0u);
    ASSERT_EQ(q.count(), 1u);
    EXPECT_EQ(q.entries().front().delay, 5000u);

    // Drain it late; the next insertion into the now empty queue measures
    // from the clock again, not from the old reference point.
    fake_now = 17000;
    q.update_taccum(fake_now);
    TimerEvent e;
    ASSERT_TRUE(q.pop_due(e));
    EXPECT_EQ(e.type, DUMP_STATS);
    EXPECT_EQ(e.period, 5000u);
    ASSERT_TRUE(q.empty());
    fake_now = 17500;
    q.insert_event(DUMP_STATS, 5000);
    EXPECT_EQ(q.lastclk(), 17500u);
    EXPECT_EQ(q.taccum(), 0u);
    EXPECT_EQ(due_times(q), std::vector<uint64_t>{22500});
}

TEST_F(TimerQueueTest, NullClockMeansNowMs) {
    TimerQueue real;
    uint64_t before = now_ms();
    real.insert_event(SEND_PROBE, 100);
    uint64_t after = now_ms();
    EXPECT_GE(real.lastclk(), before);
    EXPECT_LE(real.lastclk(), after);
}

// Random insertions at one instant: every entry is due exactly its period
// after the reference point, and equal periods come out newest first.
TEST_F(TimerQueueTest, DueTimesMatchPeriods) {
    srand(7);
    for (int round = 0; round < 50; ++round) {
        TimerQueue queue(fake_clock);
        std::vector<std::pair<uint32_t, uint32_t>> inserted;  // (period, insertion index)
        int n = 1 + rand() % 12;
        for (int i = 0; i < n; ++i) {
            uint32_t period = static_cast<uint32_t>(rand() % 5) * 100;
            queue.insert_event(static_cast<uint32_t>(i), period);
            inserted.push_back({period, static_cast<uint32_t>(i)});
        }
        std::stable_sort(inserted.begin(), inserted.end(), [](const auto& a, const auto& b) {
            return a.first != b.first ? a.first < b.first : a.second > b.second;
        });
        std::vector<uint64_t> due = due_times(queue);
        ASSERT_EQ(due.size(), inserted.size());
        size_t i = 0;
        for (const TimerEvent& e : queue.entries()) {
            EXPECT_EQ(e.type, inserted[i].second) << "round " << round << " position " << i;
            EXPECT_EQ(due[i], 10000u + inserted[i].first);
            ++i;
        }
    }
}

TEST_F(TimerQueueTest, ReinsertionDoesNotDrift) {
    // R = 10000.  The probe is due at T = 10100; a report stays queued.
    q.insert_event(SEND_PROBE, 100);
    q.insert_event(SEND_REPORT, 10000);
    const uint64_t T = 10100;

    fake_now = T + 30;  // taken 30 ms late
    q.update_taccum(fake_now);
    EXPECT_EQ(q.next_timeout(), 0u);
    TimerEvent e;
    ASSERT_TRUE(q.pop_due(e));
    EXPECT_EQ(e.type, SEND_PROBE);
    EXPECT_FALSE(q.pop_due(e));

    fake_now = T + 55;  // handling took 25 ms, not yet charged
    q.insert_event(SEND_PROBE, 100);
    std::vector<uint64_t> due = due_times(q);
    ASSERT_EQ(q.entries().front().type, SEND_PROBE);
    EXPECT_EQ(due[0], T + 100);
    EXPECT_EQ(due[1], 10000u + 10000u);  // the report keeps its due time

    q.update_taccum(fake_now);
    EXPECT_EQ(q.next_timeout(), 45u);  // T+100 - (T+55)
    fake_now = T + 100;
    q.update_taccum(fake_now);
    EXPECT_EQ(q.next_timeout(), 0u);
    ASSERT_TRUE(q.pop_due(e));
    EXPECT_EQ(e.type, SEND_PROBE);
}

TEST_F(TimerQueueTest, NextTimeoutChargesAccumulatorAndPopChains) {
    q.insert_event(SEND_PROBE, 100);
    q.insert_event(DUMP_STATS, 200);
    q.insert_event(SEND_REPORT, 400);
    fake_now = 10250;
    q.update_taccum(fake_now);
    EXPECT_EQ(q.taccum(), 250u);

    EXPECT_EQ(q.next_timeout(), 0u);
    EXPECT_EQ(q.entries().front().delay, 0u);
    EXPECT_EQ(q.taccum(), 150u);

    TimerEvent e;
    ASSERT_TRUE(q.pop_due(e));
    EXPECT_EQ(e.type, SEND_PROBE);
    EXPECT_EQ(q.taccum(), 150u);
    ASSERT_TRUE(q.pop_due(e));  // delay 100 <= 150
    EXPECT_EQ(e.type, DUMP_STATS);
    EXPECT_EQ(q.taccum(), 50u);
    EXPECT_FALSE(q.pop_due(e));  // delay 200 > 50
    EXPECT_EQ(q.count(), 1u);

    EXPECT_EQ(q.next_timeout(), 150u);  // due at 10400, now 10250
    EXPECT_EQ(q.taccum(), 0u);
    EXPECT_EQ(due_times(q), std::vector<uint64_t>{10400});
}

TEST_F(TimerQueueTest, NextTimeoutWaitsForHead) {
    q.insert_event(GARBAGE_COLLECT, 30000);
    fake_now = 10000 + 1234;
    q.update_taccum(fake_now);
    EXPECT_EQ(q.next_timeout(), 30000u - 1234u);
    EXPECT_EQ(q.taccum(), 0u);
    TimerEvent e;
    EXPECT_FALSE(q.pop_due(e));
    // Asking again without time passing changes nothing.
    EXPECT_EQ(q.next_timeout(), 30000u - 1234u);
    EXPECT_EQ(due_times(q), std::vector<uint64_t>{40000});
}

TEST_F(TimerQueueTest, EmptyQueueWaitsIndefinitely) {
    TimerEvent e;
    EXPECT_FALSE(q.pop_due(e));
    EXPECT_EQ(q.next_timeout(), UINT32_MAX);
}

TEST_F(TimerQueueTest, ClockGoingBackwardsChargesNothing) {
    q.insert_event(SEND_PROBE, 100);
    fake_now = 10040;
    q.update_taccum(fake_now);
    EXPECT_EQ(q.taccum(), 40u);

    q.update_taccum(9000);
    EXPECT_EQ(q.taccum(), 40u);
    EXPECT_EQ(q.lastclk(), 9000u);
    // Time is measured on from the new reading: 60 ms more make it due.
    q.update_taccum(9059);
    EXPECT_EQ(q.next_timeout(), 1u);
    q.update_taccum(9060);
    TimerEvent e;
    EXPECT_TRUE(q.pop_due(e));
}

TEST(EventName, AllTypes) {
    const std::vector<std::pair<uint32_t, const char*>> names = {
        {0, "Garbage Collect"},
        {1, "Dump Stats"},
        {2, "Bandwidth stats"},
        {3, "Bandwidth stats [2]"},
        {4, "Send Probe"},
        {5, "New send probe process"},
        {6, "SSM Send Probe"},
        {7, "New SSM send probe process"},
        {82, "Send Report"},
        {83, "Send SSM Report"},
        {84, "Send Map-Report"},
        {85, "Send Website-Report"},
        {87, "Clock check"},
    };
    for (auto [type, name] : names) EXPECT_STREQ(event_name(type), name) << type;
}

TEST(EventName, UndefinedTypesAreSafe) {
    for (uint32_t type : {8u, 20u, 81u, 86u, 1000u, UINT32_MAX}) EXPECT_STREQ(event_name(type), "Unknown event") << type;
}

}  // namespace
