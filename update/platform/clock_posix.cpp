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

void Sleep(DWORD dwMilliseconds) {
    if (Clock* clock = installedClock.load()) {
        clock->SleepMilliseconds(dwMilliseconds);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}
