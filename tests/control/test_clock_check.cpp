// The clock-synchronisation check: the decision from kernel answers to log
// lines, and the check itself through its query seam.
#include <sys/timex.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "control/clock_check.h"
#include "tests/control/support.h"

namespace {

const std::string UNSYNC =
    "Clock not synchronised: measured delays are not meaningful until the clock is synchronised (NTP or PTP).";

ClockReading synced(long esterror_us) { return {TIME_OK, 0, STA_PLL, esterror_us}; }
ClockReading unsync_status() { return {TIME_OK, 0, STA_UNSYNC, 16000000}; }
ClockReading time_error() { return {TIME_ERROR, 0, 0, 0}; }
ClockReading refused() { return {-1, EPERM, 0, 0}; }

struct Step {
    ClockReading reading;
    int priority;      // 0: nothing logged
    std::string text;  // the whole line
};

TEST(ClockTransition, OneLinePerChangeOfState) {
    const std::string fine = "Clock synchronised (estimated error 0.2 ms): measured delays are meaningful.";
    const std::string coarse = "Clock error estimated at 25.0 ms, above 10 ms: measured delays are not meaningful "
                               "until the clock is synchronised more closely (NTP or PTP).";
    struct Case {
        const char* what;
        std::vector<Step> steps;
    } cases[] = {
        {"synchronised from the start: silent", {{synced(200), 0, ""}, {synced(9000), 0, ""}}},
        {"exactly 10 ms is still fine", {{synced(10000), 0, ""}}},
        {"unsynchronised by status, warned once, then synchronised",
         {{unsync_status(), LOG_WARNING, UNSYNC},
          {unsync_status(), 0, ""},
          {time_error(), 0, ""},
          {synced(200), LOG_NOTICE, fine},
          {synced(300), 0, ""}}},
        {"TIME_ERROR alone is unsynchronised", {{time_error(), LOG_WARNING, UNSYNC}}},
        {"a large error is warned once, whatever its value",
         {{synced(25000), LOG_WARNING, coarse}, {synced(40000), 0, ""}, {synced(200), LOG_NOTICE, fine}}},
        {"losing synchronisation again is warned again",
         {{synced(200), 0, ""}, {unsync_status(), LOG_WARNING, UNSYNC}, {synced(25000), LOG_WARNING, coarse}}},
        {"a refused query",
         {{refused(), LOG_WARNING,
           "Clock state unreadable (Operation not permitted): cannot tell whether measured delays are meaningful; "
           "make sure the clock is synchronised (NTP or PTP)."},
          {refused(), 0, ""},
          {synced(200), LOG_NOTICE, fine}}},
    };
    for (const Case& c : cases) {
        ClockState state = ClockState::UNKNOWN;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            ClockLine line;
            bool logged = clock_transition(state, step.reading, line);
            EXPECT_EQ(logged, step.priority != 0) << c.what << ", step " << i;
            if (!logged) continue;
            EXPECT_EQ(line.priority, step.priority) << c.what << ", step " << i;
            EXPECT_EQ(line.text, step.text) << c.what << ", step " << i;
            EXPECT_LT(line.text.size(), static_cast<size_t>(LOG_LINE_MAX)) << c.what;
        }
    }
}

// The check asks through the seam, read-only, and logs on standard error
// at any verbosity.
struct FakeKernel {
    static int result;
    static int error;
    static int status;
    static long esterror;
    static int calls;
    static unsigned modes;
    static int query(struct timex* tx) {
        ++calls;
        modes = tx->modes;
        tx->status = status;
        tx->esterror = esterror;
        if (result < 0) errno = error;
        return result;
    }
};
int FakeKernel::result, FakeKernel::error, FakeKernel::status, FakeKernel::calls;
long FakeKernel::esterror;
unsigned FakeKernel::modes;

TEST(CheckClock, AsksThroughTheSeamAndLogsChangesOnly) {
    reset_globals();
    ClockQuery saved = clock_query;
    clock_query = FakeKernel::query;
    clock_state = ClockState::UNKNOWN;
    FakeKernel::calls = 0;
    FakeKernel::modes = 99;

    FakeKernel::result = TIME_ERROR;
    FakeKernel::status = STA_UNSYNC;
    FakeKernel::esterror = 16000000;
    testing::internal::CaptureStderr();
    check_clock();
    check_clock();
    std::string first = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(testing::internal::RE::FullMatch(first, STAMP + escape(UNSYNC) + "\n")) << first;
    EXPECT_EQ(FakeKernel::modes, 0u);
    EXPECT_EQ(FakeKernel::calls, 2);

    FakeKernel::result = TIME_OK;
    FakeKernel::status = STA_PLL | STA_NANO;
    FakeKernel::esterror = 1500;
    testing::internal::CaptureStderr();
    check_clock();
    std::string second = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(testing::internal::RE::FullMatch(
        second, STAMP + escape("Clock synchronised (estimated error 1.5 ms): measured delays are meaningful.") + "\n"))
        << second;
    EXPECT_EQ(clock_state, ClockState::SYNCHRONISED);

    clock_query = saved;
    clock_state = ClockState::UNKNOWN;
}

}  // namespace
