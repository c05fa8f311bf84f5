// The logger: the standard-error line, truncation, and the system-log path.
#include <stdlib.h>
#include <sys/time.h>
#include <syslog.h>
#include <time.h>

#include <string>

#include <gtest/gtest.h>

#include "control/log.h"
#include "control/settings.h"
#include "tests/control/support.h"

namespace {

constexpr size_t STAMP_LENGTH = 23;  // "Mmm dd hh:mm:ss.uuuuuu "

class LogTest : public testing::Test {
protected:
    void SetUp() override {
        settings = Settings{};
        logger_started = false;
    }
    void TearDown() override {
        settings = Settings{};
        logger_started = false;
    }
};

using LogDeathTest = LogTest;

// Local time is UTC for the duration of a test.
class UtcLogTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        const char* old = getenv("TZ");
        had_tz_ = old != nullptr;
        if (had_tz_) old_tz_ = old;
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    void TearDown() override {
        if (had_tz_)
            setenv("TZ", old_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        LogTest::TearDown();
    }
    bool had_tz_ = false;
    std::string old_tz_;
};

TEST_F(UtcLogTest, LineHasLocalTimeAndMicroseconds) {
    struct Case {
        time_t seconds;
        suseconds_t microseconds;
        const char* message;
        const char* line;
    };
    // Calendar dates worked out by hand from the seconds since 1970.
    const Case cases[] = {
        {0, 5, "hello", "Jan 01 00:00:00.000005 hello\n"},
        {0, 0, "", "Jan 01 00:00:00.000000 \n"},
        {1700000000, 999999, "x y", "Nov 14 22:13:20.999999 x y\n"},
        {951815107, 123456, "leap day", "Feb 29 09:05:07.123456 leap day\n"},
        {1700000000, 42, "100%s %d", "Nov 14 22:13:20.000042 100%s %d\n"},
    };
    for (const Case& c : cases) {
        struct timeval when;
        when.tv_sec = c.seconds;
        when.tv_usec = c.microseconds;
        EXPECT_EQ(format_log_line(when, c.message), c.line);
    }
}

TEST_F(LogTest, StandardErrorLineCarriesATimeStamp) {
    testing::internal::CaptureStderr();
    log_info("beacon %s joined %u", "alpha", 3u);
    std::string line = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(testing::internal::RE::FullMatch(line, "^" + STAMP + "beacon alpha joined 3\n$")) << line;
}

TEST_F(LogTest, PriorityDoesNotChangeTheLine) {
    for (int priority : {LOG_CRIT, LOG_ERR, LOG_WARNING, LOG_INFO, LOG_DEBUG}) {
        testing::internal::CaptureStderr();
        log_message(priority, "same %d", 7);
        std::string line = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(testing::internal::RE::FullMatch(line, "^" + STAMP + "same 7\n$")) << priority << ": " << line;
    }
}

TEST_F(LogTest, LongMessageIsCutTo255Characters) {
    std::string message;
    for (int i = 0; i < 300; ++i) message += static_cast<char>('a' + i % 26);
    testing::internal::CaptureStderr();
    log_info("%s", message.c_str());
    std::string line = testing::internal::GetCapturedStderr();
    ASSERT_EQ(line.size(), STAMP_LENGTH + 255 + 1) << line;
    EXPECT_EQ(line.substr(STAMP_LENGTH), message.substr(0, 255) + "\n");
}

TEST_F(LogTest, PercentInArgumentsIsKept) {
    testing::internal::CaptureStderr();
    log_info("Adding source %s", "100%s%n%d");
    std::string line = testing::internal::GetCapturedStderr();
    ASSERT_GT(line.size(), STAMP_LENGTH);
    EXPECT_EQ(line.substr(STAMP_LENGTH), "Adding source 100%s%n%d\n");
}

TEST_F(LogTest, SyslogWantedButNotStartedStillWritesStandardError) {
    settings.use_syslog = true;
    testing::internal::CaptureStderr();
    log_message(LOG_ERR, "early");
    std::string line = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(testing::internal::RE::FullMatch(line, "^" + STAMP + "early\n$")) << line;
}

// LOG_PERROR makes the system log echo each message on standard error as
// "identity: message", without our time stamp: the death test sees exactly
// what the system log received.
TEST_F(LogDeathTest, SystemLogGetsTheBareMessage) {
    EXPECT_EXIT(
        {
            openlog("quillon-test", LOG_PERROR, LOG_USER);
            settings.use_syslog = true;
            logger_started = true;
            log_info("Adding source %s", "100%s%n");
            log_message(LOG_WARNING, "%s", std::string(300, 'w').c_str());
            exit(0);
        },
        testing::ExitedWithCode(0),
        "^quillon-test: Adding source 100%s%n\nquillon-test: " + std::string(255, 'w') + "\n$");
}

TEST_F(LogDeathTest, FatalEndsWith255) {
    EXPECT_EXIT(log_fatal("%s", ""), testing::ExitedWithCode(255), "^" + STAMP + "\n$");
    EXPECT_EXIT(log_fatal("Select failed: %s", "Bad file descriptor"), testing::ExitedWithCode(255),
                "^" + STAMP + "Select failed: Bad file descriptor\n$");
    // Started and with the system log wanted, the system log has it bare.
    EXPECT_EXIT(
        {
            openlog("quillon-test", LOG_PERROR, LOG_USER);
            settings.use_syslog = true;
            logger_started = true;
            log_fatal("No name supplied.");
        },
        testing::ExitedWithCode(255), "^quillon-test: No name supplied\\.\n$");
}

}  // namespace
