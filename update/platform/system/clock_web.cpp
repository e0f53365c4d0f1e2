// The clock in the page. The browser has one thread for the page, which also brings the MIDI
// messages: every wait hands it back to the browser (Asyncify unwinds the program's stack and
// rewinds it when the wait ends), and a message that arrives ends the browser's part of the
// wait at once. Waits are measured on the clock, never counted in timer ticks: a browser
// stretches a chain of short timers to 4 ms or more, and those of a hidden tab to a second.
// Nothing in the page replaces the clock: the tests that run on virtual time are native.
#include <emscripten.h>

#include "platform/platform.h"
#include "platform/system/clock.h"

namespace {

// Returns after at most milliseconds, or as soon as a MIDI message has arrived (browser_midi.js).
EM_ASYNC_JS(void, YieldToBrowser, (double milliseconds),
            { await Module.browserMidi.pause(milliseconds); });

}  // namespace

void Sleep(DWORD dwMilliseconds) {
    const double deadline = emscripten_get_now() + dwMilliseconds;
    for (double now = emscripten_get_now(); now < deadline; now = emscripten_get_now())
        YieldToBrowser(deadline - now);
}

DWORD GetTickCount() {
    return static_cast<DWORD>(static_cast<std::uint64_t>(emscripten_get_now()));
}

std::uint32_t ReadMillisecondClock() {
    return GetTickCount();
}

// ready() is asked again each time the browser gives the page back: the message that woke the
// wait has been handed to its input by then.
bool WaitUntilReady(std::uint32_t milliseconds, const std::function<bool()>& ready) {
    const double deadline = emscripten_get_now() + milliseconds;
    while (!ready()) {
        const double now = emscripten_get_now();
        if (now >= deadline)
            return false;
        YieldToBrowser(deadline - now);
    }
    return true;
}
