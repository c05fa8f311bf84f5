// The loop's own rules: the event dispatch table with its follow-ups, the
// probe-burst machine, the exponential pause and the report periods.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <deque>
#include <map>
#include <vector>

#include "control/clock_check.h"
#include "control/settings.h"
#include "output/bandwidth.h"
#include "protocol/probe.h"
#include "scheduler/main_loop.h"
#include "state/source_table.h"
#include "tests/test_support.h"

namespace {

uint64_t fake_now = 0;
uint64_t fake_clock() { return fake_now; }

struct Recorder {
    std::vector<std::pair<uint64_t, uint32_t>> work;  // (time, what)
    int next_random = 0;
};
Recorder* recorder = nullptr;

void record(uint32_t what) { recorder->work.push_back({fake_now, what}); }

class MainLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_now = 1000000;
        recorder = &rec;
        saved = event_work;
        event_work.garbage_collect = [] { record(GARBAGE_COLLECT); };
        event_work.dump_stats = [] { record(DUMP_STATS); };
        event_work.bandwidth_stats = [] { record(BANDWIDTH_STATS); };
        event_work.bandwidth_stats_long = [] { record(BANDWIDTH_STATS_2); };
        event_work.send_probe = [] { record(SEND_PROBE); };
        event_work.send_ssm_probe = [] { record(SSM_SEND_PROBE); };
        event_work.send_report = [](uint32_t kind) { record(kind); };
        event_work.random = [] { return recorder->next_random; };
        event_work.clock_check = [] { record(CLOCK_CHECK); };
        probe_count = 0;
        ssm_probe_count = 0;
        reset_bandwidth_counters();
    }
    void TearDown() override {
        event_work = saved;
        recorder = nullptr;
        reset_bandwidth_counters();
    }

    // Runs the queue on the fake clock until `end`, stepping one ms at a time
    // the way the loop does after each wait.
    void run_until(TimerQueue& queue, uint64_t end) {
        while (fake_now < end) {
            fake_now += 1;
            queue.update_taccum(fake_now);
            TimerEvent event;
            while (queue.pop_due(event)) dispatch_event(queue, event);
        }
    }

    std::vector<uint64_t> times_of(uint32_t what, uint64_t origin) const {
        std::vector<uint64_t> out;
        for (auto& w : rec.work)
            if (w.second == what) out.push_back(w.first - origin);
        return out;
    }

    Recorder rec;
    EventWork saved{};
};

TEST_F(MainLoopTest, PauseFollowsTheExponentialFormula) {
    struct Case {
        double b;
        int r;
        uint32_t expected_ms;
    } cases[] = {
        {5.0, 0, 1000},  // replaced by 1: the smallest pause, one second
        {5.0, 2147483647, static_cast<uint32_t>(std::ceil(5.0 * std::log(2147483647.0)) * 1000)},  // 108 s
        {5.0, 2147483646, 108000},
        {5.0, 1073741824, 4000},  // half the range: 5 ln 2 = 3.47 -> 4 s
        {4.018, 1073741824, 3000},  // 4.018 ln 2 = 2.785 -> 3 s
        {10.0, 1, 1000},
    };
    for (const Case& c : cases) EXPECT_EQ(burst_pause_ms(c.b, c.r), c.expected_ms) << c.b << " " << c.r;
    EXPECT_EQ(burst_pause_ms(5.0, 2147483647), 108000u);
}

TEST_F(MainLoopTest, ReportPeriodsFollowBeaconInterval) {
    struct Case {
        uint32_t type;
        double b;
        uint32_t expected;
    } cases[] = {
        {SEND_REPORT, 5.0, 10000},          {SEND_SSM_REPORT, 5.0, 20000},
        {SEND_MAP_REPORT, 5.0, 30000},      {SEND_WEBSITE_REPORT, 5.0, 120000},
        {SEND_REPORT, 4.5, 9000},           {SEND_REPORT, 4.0178, 8035},
        {SEND_WEBSITE_REPORT, 6.5, 156000},
    };
    for (const Case& c : cases) EXPECT_EQ(report_period_ms(c.type, c.b), c.expected) << c.type << " " << c.b;
}

TEST_F(MainLoopTest, BurstIsTenProbesHundredMillisecondsApartThenAPause) {
    TimerQueue queue(fake_clock);
    uint64_t origin = fake_now;
    rec.next_random = 0;  // pause of 1000 ms
    queue.insert_event(SEND_PROBE, 100);
    run_until(queue, origin + 3500);
    std::vector<uint64_t> probes = times_of(SEND_PROBE, origin);
    // First burst at 100..1000; NEW_PROBE_BURST at 1000 + 1000; next probes at 2100..3000.
    std::vector<uint64_t> expected;
    for (int i = 1; i <= 10; ++i) expected.push_back(100 * i);
    for (int i = 1; i <= 10; ++i) expected.push_back(2000 + 100 * i);
    EXPECT_EQ(probes, expected);
}

TEST_F(MainLoopTest, SsmBurstsRunIndependently) {
    TimerQueue queue(fake_clock);
    uint64_t origin = fake_now;
    rec.next_random = 1073741824;  // 4 s pauses at beacon_interval 5.0
    queue.insert_event(SEND_PROBE, 100);
    queue.insert_event(SSM_SEND_PROBE, 100);
    run_until(queue, origin + 1500);
    EXPECT_EQ(times_of(SEND_PROBE, origin).size(), 10u);
    EXPECT_EQ(times_of(SSM_SEND_PROBE, origin).size(), 10u);
    EXPECT_EQ(probe_count, 10u);
    EXPECT_EQ(ssm_probe_count, 10u);
    // Exactly one of SEND_PROBE / NEW_PROBE_BURST per channel is queued.
    int bursts = 0;
    for (const TimerEvent& e : queue.entries()) {
        EXPECT_NE(e.type, SEND_PROBE);
        EXPECT_NE(e.type, SSM_SEND_PROBE);
        if (e.type == NEW_PROBE_BURST || e.type == NEW_SSM_PROBE_BURST) ++bursts;
    }
    EXPECT_EQ(bursts, 2);
    run_until(queue, origin + 1000 + 4000 + 100 + 1);
    auto probes = times_of(SEND_PROBE, origin);
    ASSERT_EQ(probes.size(), 11u);
    EXPECT_EQ(probes[10], 5100u);
}

TEST_F(MainLoopTest, ReportsFirstFireAtTheirStartPeriodsThenFollowTheInterval) {
    TimerQueue queue(fake_clock);
    uint64_t origin = fake_now;
    queue.insert_event(SEND_REPORT, 10000);
    queue.insert_event(SEND_MAP_REPORT, 30000);
    queue.insert_event(SEND_WEBSITE_REPORT, 120000);
    run_until(queue, origin + 10000);
    EXPECT_EQ(times_of(SEND_REPORT, origin), std::vector<uint64_t>({10000}));
    beacon_interval = 4.5;  // changed by bandwidth accounting after the first report
    run_until(queue, origin + 30000);
    // 10000 was inserted again with 2 * 5.0; the next with 2 * 4.5.
    EXPECT_EQ(times_of(SEND_REPORT, origin), std::vector<uint64_t>({10000, 20000, 29000}));
    EXPECT_EQ(times_of(SEND_MAP_REPORT, origin), std::vector<uint64_t>({30000}));
    run_until(queue, origin + 120000);
    EXPECT_EQ(times_of(SEND_WEBSITE_REPORT, origin), std::vector<uint64_t>({120000}));
    EXPECT_EQ(times_of(SEND_MAP_REPORT, origin), std::vector<uint64_t>({30000, 57000, 84000, 111000}));
}

TEST_F(MainLoopTest, PeriodicEventsKeepTheirOwnPeriodWithoutDrift) {
    TimerQueue queue(fake_clock);
    uint64_t origin = fake_now;
    queue.insert_event(GARBAGE_COLLECT, 30000);
    queue.insert_event(DUMP_STATS, 7000);
    queue.insert_event(BANDWIDTH_STATS, 10000);
    queue.insert_event(BANDWIDTH_STATS_2, 600000);
    queue.insert_event(CLOCK_CHECK, CLOCK_CHECK_MS);
    // Take events late: jump the clock in uneven steps.
    for (uint64_t step : {6999u, 2u, 12345u, 40000u, 600000u}) {
        fake_now += step;
        queue.update_taccum(fake_now);
        TimerEvent event;
        while (queue.pop_due(event)) dispatch_event(queue, event);
    }
    // Every occurrence ran at its own multiple of the period, however late.
    auto gc = times_of(GARBAGE_COLLECT, origin);
    EXPECT_EQ(gc.size(), 21u);  // 30000 * 21 = 630000 <= 659346
    auto dumps = times_of(DUMP_STATS, origin);
    EXPECT_EQ(dumps.size(), 659346u / 7000u);
    EXPECT_EQ(times_of(BANDWIDTH_STATS_2, origin).size(), 1u);
    EXPECT_EQ(times_of(CLOCK_CHECK, origin).size(), 1u);
    EXPECT_EQ(queue.count(), 5u);
}

TEST_F(MainLoopTest, RegisterRefusesDescriptorsOutsideTheWaitSet) {
    FD_ZERO(&receive_set);
    receive_sockets.clear();
    max_receive_fd = 0;
    EXPECT_TRUE(register_receive_socket(KIND_ASM, 5));
    EXPECT_TRUE(register_receive_socket(KIND_SSM, 3));
    EXPECT_FALSE(register_receive_socket(KIND_SSM, FD_SETSIZE));
    EXPECT_FALSE(register_receive_socket(KIND_SSM, -1));
    ASSERT_EQ(receive_sockets.size(), 2u);
    EXPECT_EQ(receive_sockets[0].fd, 5);
    EXPECT_EQ(receive_sockets[1].kind, KIND_SSM);
    EXPECT_EQ(max_receive_fd, 5);
    EXPECT_TRUE(FD_ISSET(3, &receive_set));

    // An SSM socket that is closed leaves the wait; the highest descriptor
    // follows, and the list's change is counted for a pass in progress.
    EXPECT_TRUE(register_receive_socket(KIND_SSM, 9));
    const uint32_t changes = receive_sockets_changes;
    unregister_receive_socket(9);
    EXPECT_EQ(max_receive_fd, 5);
    unregister_receive_socket(5);
    EXPECT_EQ(max_receive_fd, 3);
    EXPECT_EQ(receive_sockets_changes, changes + 2);
    EXPECT_FALSE(FD_ISSET(9, &receive_set));
    EXPECT_FALSE(FD_ISSET(5, &receive_set));
    ASSERT_EQ(receive_sockets.size(), 1u);
    EXPECT_EQ(receive_sockets[0].fd, 3);
    unregister_receive_socket(42);  // not registered: nothing changes
    EXPECT_EQ(receive_sockets_changes, changes + 2);
    receive_sockets.clear();
    FD_ZERO(&receive_set);
    max_receive_fd = 0;
}

}  // namespace

namespace {

// The socket seam: per descriptor, the datagrams waiting, each with the
// socket's drop count the kernel gives with it.
struct Waiting {
    Address from;
    uint32_t seq;
    uint32_t drops;
};
std::map<int, std::deque<Waiting>> waiting;

int scripted_receive(int fd, Address& from, Address& to, uint8_t* buffer, int capacity, int& hop_count,
                     uint64_t& receive_ms, uint32_t* drops) {
    auto& queue = waiting[fd];
    if (queue.empty()) {
        errno = EAGAIN;
        return -1;
    }
    Waiting next = queue.front();
    queue.pop_front();
    from = next.from;
    to = runtime.local_address;
    hop_count = 60;
    receive_ms = 5000 + next.seq;
    if (drops) *drops = next.drops;
    return build_probe(buffer, capacity, next.seq, 5000 + next.seq);
}

// One sender's 40-probe window on a socket: `lost` probes missing, of
// which the socket itself dropped `dropped` (its count rises meanwhile).
void queue_window(int fd, const Address& from, uint32_t first, uint32_t lost, uint32_t dropped, uint32_t& count) {
    for (uint32_t i = 0; i < 40; ++i) {
        if (i >= 10 && i < 10 + lost) continue;
        if (i == 10 + lost) count += dropped;
        waiting[fd].push_back({from, first + i, count});
    }
}

}  // namespace

// Each socket's drops are its own: the ASM socket dropped every probe the
// sender's ASM window misses, the SSM socket dropped nothing; one pass reads
// at most READS_PER_SOCKET_PASS datagrams of a socket; the drops are said
// once, at any verbosity.
TEST(ReceiveSockets, LocalDropsAreCountedPerSocketAndNotPublishedAsLoss) {
    const ReceiveFunction saved_receive = receive_function;
    const std::vector<ReceiveSocket> saved_sockets = receive_sockets;
    receive_function = scripted_receive;
    receive_sockets.clear();
    settings = Settings{};
    settings.verbose = 0;
    runtime.local_address = make_address("192.0.2.1", 10000);
    source_table.clear();
    source_table.ssm = nullptr;
    const int asm_fd = 900, ssm_fd = 901;  // never opened: the seam answers
    ASSERT_TRUE(register_receive_socket(KIND_ASM, asm_fd));
    ASSERT_TRUE(register_receive_socket(KIND_SSM, ssm_fd));
    const Address sender = make_address("192.0.2.7", 10000);
    uint32_t asm_count = 17, ssm_count = 0;  // the ASM socket dropped earlier too
    queue_window(asm_fd, sender, 3000, 5, 5, asm_count);
    queue_window(ssm_fd, sender, 8000, 3, 0, ssm_count);

    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(asm_fd, &ready);
    FD_SET(ssm_fd, &ready);
    testing::internal::CaptureStderr();
    read_ready_sockets(ready);
    EXPECT_EQ(waiting[asm_fd].size(), 35u - READS_PER_SOCKET_PASS);
    EXPECT_EQ(waiting[ssm_fd].size(), 37u - READS_PER_SOCKET_PASS);
    read_ready_sockets(ready);
    read_ready_sockets(ready);  // nothing waits: the seam says EAGAIN at once
    std::vector<std::string> lines = log_messages(testing::internal::GetCapturedStderr());

    const Source& source = source_table.sources.at(sender.key());
    EXPECT_EQ(source.asm_stats.figures.valid, 1);
    EXPECT_EQ(source.asm_stats.figures.loss, 0.0f);
    EXPECT_EQ(source.ssm_stats.figures.valid, 1);
    EXPECT_EQ(source.ssm_stats.figures.loss, 3.0f / 40);
    ASSERT_EQ(lines.size(), 1u);
    // The first line counts what the socket had dropped when it was first read.
    EXPECT_EQ(lines[0].rfind("Receive buffer full: 17 datagrams dropped by this host, not counted as network loss", 0),
              0u)
        << lines[0];

    for (int fd : {asm_fd, ssm_fd}) unregister_receive_socket(fd);
    receive_sockets = saved_sockets;
    receive_function = saved_receive;
    waiting.clear();
    source_table.clear();
    settings = Settings{};
    runtime = Runtime{};
}
