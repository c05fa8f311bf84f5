// The system side of the SSM channel: a further socket is opened like the
// first and enters the wait, leaves it when closed, and joins report the
// system's error.  (The descriptors kept free are shown by the SSM limit lab
// test's beacon under a descriptor limit.)
#include <fcntl.h>
#include <gtest/gtest.h>
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
    }
    void TearDown() override {
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

// Joins hand back the system's error number; leaves are not looked at.
TEST_F(SsmSocketsTest, JoinReportsTheErrorNumber) {
    runtime.ssm_group = make_address("232.1.2.3", 10000);
    EXPECT_EQ(system.join(-1, make_address("10.0.0.1", 10000)), EBADF);
    system.leave(-1, make_address("10.0.0.1", 10000));
}

}  // namespace
