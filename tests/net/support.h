// Helpers of the socket tests: the address a socket is bound to, and a
// fixture that resets the globals and closes every socket a test opened.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "control/runtime.h"
#include "control/settings.h"
#include "net/address.h"
#include "tests/test_support.h"

inline Address bound_address(int fd) {
    Address a;
    socklen_t length = sizeof(sockaddr_storage);
    EXPECT_EQ(getsockname(fd, a.as_sockaddr(), &length), 0);
    return a;
}

class SocketTest : public testing::Test {
protected:
    void SetUp() override {
        settings = Settings{};
        runtime = Runtime{};
    }
    void TearDown() override {
        for (int fd : fds_) close(fd);
        settings = Settings{};
        runtime = Runtime{};
    }
    // Keeps a descriptor (not -1) for closing after the test; gives it back.
    int keep(int fd) {
        if (fd >= 0) fds_.push_back(fd);
        return fd;
    }
    std::vector<int> fds_;
};
