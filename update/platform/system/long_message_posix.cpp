// The stand-in hands a message to the MIDI system without waiting for it to go out (RtMidi
// writes to the ALSA sequencer without blocking, and to JACK's ring buffer), so its call
// always returns at once and needs no thread to be given up on.
#include "platform/platform.h"

std::optional<MMRESULT> CallLongMessageWithin(HMIDIOUT handle, MIDIHDR* header, DWORD) {
    return midiOutLongMsg(handle, header, sizeof(MIDIHDR));
}
