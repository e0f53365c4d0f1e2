#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

void SecureStandardStreams() {
    // open() takes the lowest free descriptor, so going up from 0 fills exactly the gaps.
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF)
            continue;
        int opened = open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        // Without /dev/null (a bare chroot) the root folder still fills the gap: reading and
        // writing it fail, and nothing written reaches a file.
        if (opened < 0)
            opened = open("/", O_RDONLY | O_DIRECTORY);
        if (opened != descriptor && opened >= 0)
            close(opened);
    }
}

// Shared libraries run their constructors before main(), and one of them may open a file; an
// executable's preinit entries run before any of them. main() secures the streams again,
// which then finds them open.
[[gnu::used, gnu::section(".preinit_array")]] static void (*const secureBeforeLibraries)() =
    SecureStandardStreams;

// Sleeps here already last what they ask for, to well under a millisecond.
FineTimerResolution::FineTimerResolution() = default;
FineTimerResolution::~FineTimerResolution() = default;
