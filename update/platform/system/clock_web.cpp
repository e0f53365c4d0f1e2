// The clock in the page. The browser has one thread for the page, which also brings the MIDI
// messages: every wait hands it back to the browser (Asyncify unwinds the program's stack and
// rewinds it when the wait ends), and a message that arrives ends the browser's part of the
// wait at once. Waits are measured on the clock, never counted in timer ticks: a browser
// stretches a chain of short timers to 4 ms or more, and those of a hidden tab to a second.
#include <emscripten.h>

#include <atomic>

#include "platform/platform.h"
#include "platform/system/clock.h"
#include "platform/winmm/winmm.h"

namespace {

std::atomic<Clock*> installedClock{nullptr};

// Returns after at most milliseconds, or as soon as a MIDI message has arrived (browser_midi.js).
EM_ASYNC_JS(void, YieldToBrowser, (double milliseconds),
            { await Module.browserMidi.pause(milliseconds); });

}  // namespace

void InstallClock(Clock* clock) {
    installedClock.store(clock);
}

void Sleep(DWORD dwMilliseconds) {
    if (Clock* clock = installedClock.load()) {
        clock->SleepMilliseconds(dwMilliseconds);
        return;
    }
    const double deadline = emscripten_get_now() + dwMilliseconds;
    for (double now = emscripten_get_now(); now < deadline; now = emscripten_get_now())
        YieldToBrowser(deadline - now);
}

DWORD GetTickCount() {
    if (Clock* clock = installedClock.load())
        return static_cast<DWORD>(clock->Now());
    return static_cast<DWORD>(static_cast<std::uint64_t>(emscripten_get_now()));
}

// ready() is asked again each time the browser gives the page back: the message that woke the
// wait has been handed to its input by then.
bool WaitUntilReady(std::uint32_t milliseconds, const std::function<bool()>& ready) {
    if (Clock* clock = installedClock.load())
        return clock->WaitMilliseconds(milliseconds, ready);
    const double deadline = emscripten_get_now() + milliseconds;
    while (!ready()) {
        const double now = emscripten_get_now();
        if (now >= deadline)
            return false;
        YieldToBrowser(deadline - now);
    }
    return true;
}

std::uint32_t ReadMillisecondClock() {
    return GetTickCount();
}
