// The system side of the SSM channel: a further socket is opened like the
// first and enters the wait, leaves it when closed, is refused when it would
// eat into the descriptors kept free, and joins report the system's error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include "control/ssm_sockets.h"
#include "scheduler/main_loop.h"
#include "tests/control/support.h"
#include "tests/test_support.h"

namespace {

class SsmSocketsTest : public testing::Test {
protected:
    void SetUp() override {
        reset_globals();
        runtime.ssm_group = make_address("232.1.2.3", 0);
        FD_ZERO(&receive_set);
        receive_sockets.clear();
        max_receive_fd = 0;
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved_limit), 0);
    }
    void TearDown() override {
        setrlimit(RLIMIT_NOFILE, &saved_limit);
        receive_sockets.clear();
        FD_ZERO(&receive_set);
        max_receive_fd = 0;
        reset_globals();
    }

    bool registered(int fd) const {
        for (const ReceiveSocket& socket : receive_sockets)
            if (socket.fd == fd && socket.kind == KIND_SSM) return FD_ISSET(fd, &receive_set);
        return false;
    }

    // The descriptor the system would give next.
    static int next_descriptor() {
        int fd = dup(0);
        close(fd);
        return fd;
    }

    struct rlimit saved_limit {};
    SystemSsmSockets system;
};

TEST_F(SsmSocketsTest, OpenedSocketIsWaitedOnUntilClosed) {
    int error = 0;
    int fd = system.open(error);
    ASSERT_GE(fd, 0) << strerror(error);
    EXPECT_TRUE(registered(fd));
    EXPECT_EQ(max_receive_fd, fd);

    system.close(fd);
    EXPECT_FALSE(registered(fd));
    EXPECT_TRUE(receive_sockets.empty());
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed
}

TEST_F(SsmSocketsTest, DescriptorsKeptFreeBelowTheLimit) {
    const int next = next_descriptor();
    ASSERT_GE(next, 0);
    struct rlimit limit = saved_limit;
    struct Case {
        rlim_t limit;
        bool opens;
    } cases[] = {
        {static_cast<rlim_t>(next + SSM_DESCRIPTOR_RESERVE), false},
        {static_cast<rlim_t>(next + SSM_DESCRIPTOR_RESERVE + 1), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        limit.rlim_cur = c.limit;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
        int error = 0;
        int fd = system.open(error);
        setrlimit(RLIMIT_NOFILE, &saved_limit);
        if (c.opens) {
            ASSERT_EQ(fd, next);
            system.close(fd);
        } else {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(error, EMFILE);
            EXPECT_TRUE(receive_sockets.empty());
            EXPECT_EQ(next_descriptor(), next);  // nothing left open
        }
    }
}

// Joins hand back the system's error number; leaves are not looked at.
TEST_F(SsmSocketsTest, JoinReportsTheErrorNumber) {
    runtime.ssm_group = make_address("232.1.2.3", 10000);
    EXPECT_EQ(system.join(-1, make_address("10.0.0.1", 10000)), EBADF);
    system.leave(-1, make_address("10.0.0.1", 10000));
}

}  // namespace
