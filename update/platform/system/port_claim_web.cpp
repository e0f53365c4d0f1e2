// The claim on a port in the page: a Web Lock (navigator.locks) per port and direction, held
// while this page has the port open, so that two tabs never update one device at once. Web
// MIDI lets any number of pages open a port. The browser lets go of a closed tab's locks.
#include <emscripten.h>

#include "platform/platform.h"
#include "platform/winmm/winmm_standin_posix.h"

namespace {

// Both in browser_midi.js; a port is known there by the full name in the stand-in's lists.
EM_ASYNC_JS(bool, ClaimBrowserPort, (bool output, const char* name),
            { return await Module.browserMidi.claim(output, UTF8ToString(name)); });
EM_JS(void, ReleaseBrowserPort, (bool output), { Module.browserMidi.release(output); });

}  // namespace

bool ClaimMidiPort(PortDirection direction, unsigned index) {
    const bool output = direction == PortDirection::output;
    const std::optional<std::string> name =
        standin::ListedName(output ? standin::Direction::output : standin::Direction::input, index);
    // A port beyond the list has nothing to claim; its open fails on its own.
    return !name || ClaimBrowserPort(output, name->c_str());
}

void ReleaseMidiPort(PortDirection direction) {
    ReleaseBrowserPort(direction == PortDirection::output);
}
