#include <cstdio>

#include "platform/platform.h"

// The page's streams are its own devices, set up before the program starts; none can be
// missing. Standard output goes to the panel a line at a time (the progress lines flush
// themselves), as on a console, rather than whenever its buffer fills.
void SecureStandardStreams() {
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}

// The page's waits are measured on the clock (clock_web.cpp); no timer resolution matters.
FineTimerResolution::FineTimerResolution() = default;
FineTimerResolution::~FineTimerResolution() = default;
