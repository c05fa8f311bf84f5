#include "scheduler/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

TEST(NowMs, NeverDecreases) {
    uint64_t previous = now_ms();
    for (int i = 0; i < 100000; ++i) {
        uint64_t reading = now_ms();
        ASSERT_GE(reading, previous);
        previous = reading;
    }
}

TEST(NowMs, CountsMilliseconds) {
    auto start = std::chrono::steady_clock::now();
    uint64_t first = now_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    uint64_t last = now_ms();
    auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(last - first, 119u);
    EXPECT_LE(last - first, static_cast<uint64_t>(elapsed) + 1);
}
