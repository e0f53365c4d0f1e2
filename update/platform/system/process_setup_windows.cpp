#include "platform/platform.h"

// The C runtime gives a process started without standard handles descriptors that refuse
// every write, so no file opened later can take their place.
void SecureStandardStreams() {}

// Windows' default timer tick is about 15.6 ms, and a Sleep(1) lasts up to a whole tick: a
// reply wait of 500 polls would take some eight seconds instead of half of one.
FineTimerResolution::FineTimerResolution() {
    timeBeginPeriod(1);
}

FineTimerResolution::~FineTimerResolution() {
    timeEndPeriod(1);
}
