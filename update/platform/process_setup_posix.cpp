#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

void SecureStandardStreams() {
    // open() takes the lowest free descriptor, so going up from 0 fills exactly the gaps.
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int opened = open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened != descriptor && opened >= 0)
            close(opened);
    }
}

// Sleeps here already last what they ask for, to well under a millisecond.
FineTimerResolution::FineTimerResolution() = default;
FineTimerResolution::~FineTimerResolution() = default;
