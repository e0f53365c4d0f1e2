#include "platform/platform.h"

// Here the MIDI host takes the claim itself as it opens a port (port_lock_posix.h): only it
// knows the port's name on the MIDI system, which is what the claim must be taken on, and an
// open it refuses reaches the program as Windows' refusal of a port in use.
bool ClaimMidiPort(PortDirection, unsigned) {
    return true;
}

void ReleaseMidiPort(PortDirection) {}
