#include "platform/system/clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "platform/winmm/winmm.h"

namespace {

std::atomic<Clock*> installedClock{nullptr};

// The MIDI host can only be asked whether a message is still being sent, never told when it
// ends: a real-time wait asks again this often, which costs little and keeps the end of a
// message from waiting for a whole millisecond.
constexpr auto readyPollStep = std::chrono::microseconds(100);

using TimePoint = std::chrono::steady_clock::time_point;

// Where a wait of length that starts now ends: one that follows the end of the last one at once
// is one more step of the same wait, and aims at the last one's deadline plus its own length.
TimePoint FollowingDeadline(TimePoint lastDeadline, TimePoint lastEnd,
                            std::chrono::milliseconds length) {
    constexpr auto atOnce = std::chrono::milliseconds(1);
    const auto now = std::chrono::steady_clock::now();
    return now - lastEnd < atOnce ? lastDeadline + length : now + length;
}

}  // namespace

void InstallClock(Clock* clock) {
    installedClock.store(clock);
}

// Each sleep wakes a little late (tens of microseconds on Linux, more on a busy machine), and
// the protocol counts its waits in 1 ms sleeps: over the 2000 sleeps of a silent port pair that
// would add up to a tenth of a second or more. A sleep that follows the last one at once
// therefore catches up on the lateness; a sleep after other work starts afresh from now, so
// that the work never shortens a wait.
void Sleep(DWORD dwMilliseconds) {
    if (Clock* clock = installedClock.load()) {
        clock->SleepMilliseconds(dwMilliseconds);
        return;
    }
    thread_local TimePoint lastDeadline;
    thread_local TimePoint lastWake;
    const TimePoint deadline =
        FollowingDeadline(lastDeadline, lastWake, std::chrono::milliseconds(dwMilliseconds));
    std::this_thread::sleep_until(deadline);
    lastDeadline = deadline;
    lastWake = std::chrono::steady_clock::now();
}

DWORD GetTickCount() {
    if (Clock* clock = installedClock.load())
        return static_cast<DWORD>(clock->Now());
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

// The reply waits count their steps as Sleep counts its sleeps, so a step that ran out follows
// on from the one before as a sleep does: without it the 500 steps of a silent wait would last
// a tenth longer. A step that ended because ready() held leaves the next to start afresh.
bool WaitUntilReady(std::uint32_t milliseconds, const std::function<bool()>& ready) {
    if (Clock* clock = installedClock.load())
        return clock->WaitMilliseconds(milliseconds, ready);
    thread_local TimePoint lastDeadline;
    thread_local TimePoint lastTimeout;
    const TimePoint deadline =
        FollowingDeadline(lastDeadline, lastTimeout, std::chrono::milliseconds(milliseconds));
    while (!ready()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            lastDeadline = deadline;
            lastTimeout = now;
            return false;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(deadline - now, readyPollStep));
    }
    return true;
}

std::uint32_t ReadMillisecondClock() {
    return GetTickCount();
}
