// The clock behind Sleep() where Windows does not provide it: real time unless a test
// installs its own, so that protocol tests run on virtual time.
#pragma once

#include <cstdint>

class Clock {
public:
    virtual ~Clock() = default;
    virtual void SleepMilliseconds(std::uint32_t milliseconds) = 0;
};

// Installs the clock that Sleep() uses from now on; null restores real time.
void InstallClock(Clock* clock);
