#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/winmm.h"

namespace {

std::atomic<Clock*> installedClock{nullptr};

}  // namespace

void InstallClock(Clock* clock) {
    installedClock.store(clock);
}

// Windows' Sleep, with the 1 ms timer resolution that the run asks for, ends at a tick of a
// fixed 1 ms grid: Sleep(n) lasts from n - 1 to n ms, and 500 Sleep(1) in a row last 500 ms
// however late each one wakes. A plain sleep_for would wake a little late every time (tens of
// microseconds on Linux), which adds up to seconds over the thousands of sleeps of a search.
// The grid here runs through the last deadline of the calling thread.
void Sleep(DWORD dwMilliseconds) {
    if (Clock* clock = installedClock.load()) {
        clock->SleepMilliseconds(dwMilliseconds);
        return;
    }
    constexpr auto tick = std::chrono::milliseconds(1);
    thread_local std::chrono::steady_clock::time_point lastDeadline;
    const auto earliest =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds) - tick;
    const auto deadline = lastDeadline +
                          std::chrono::floor<std::chrono::milliseconds>(earliest - lastDeadline) +
                          tick;
    std::this_thread::sleep_until(deadline);
    lastDeadline = deadline;
}
