// Sleep on the real clock: the protocol counts its waits in 1 ms sleeps, so a wait of 500
// sleeps must last 500 ms, not 500 times whatever each sleep overshoots.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/platform.h"

namespace {

void Work(std::chrono::milliseconds length) {
    const auto until = std::chrono::steady_clock::now() + length;
    while (std::chrono::steady_clock::now() < until) {
    }
}

// The sleeps of a row of their own: after some work, not right after the sleeps before.
double SecondsOfSleeps(int count, DWORD milliseconds) {
    Work(std::chrono::milliseconds(2));
    const auto start = std::chrono::steady_clock::now();
    for (int sleep = 0; sleep < count; ++sleep)
        Sleep(milliseconds);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(RealSleep, OneMillisecondSleepsInARowAddUpToTheirLength) {
    const double seconds = SecondsOfSleeps(2000, 1);
    EXPECT_GE(seconds, 2.0);
    EXPECT_LT(seconds, 2.01);
}

// A sleep after other work is not cut short by the catching up of the sleeps before it.
TEST(RealSleep, WorkBetweenSleepsDoesNotShortenTheNextSleep) {
    for (int sleep = 0; sleep < 10; ++sleep)
        Sleep(1);
    Work(std::chrono::milliseconds(20));
    const auto start = std::chrono::steady_clock::now();
    Sleep(5);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5));
}

TEST(RealSleep, LongerSleepsLastTheirLength) {
    const double seconds = SecondsOfSleeps(5, 100);
    EXPECT_GE(seconds, 0.5);
    EXPECT_LT(seconds, 0.51);
}

}  // namespace
