// The clock behind Sleep(), GetTickCount() and the waits of the Windows stand-in where Windows
// does not provide them: real time unless a test installs its own, so that protocol tests run
// on virtual time.
#pragma once

#include <cstdint>
#include <functional>

class Clock {
public:
    virtual ~Clock() = default;
    virtual void SleepMilliseconds(std::uint32_t milliseconds) = 0;
    // Returns true as soon as ready() holds, false once milliseconds have passed without it.
    // ready() is asked again whenever the clock has let something happen that may change it.
    virtual bool WaitMilliseconds(std::uint32_t milliseconds,
                                  const std::function<bool()>& ready) = 0;
    virtual std::uint64_t Now() const = 0;
};

// Installs the clock that Sleep() uses from now on; null restores real time.
void InstallClock(Clock* clock);

// A wait of the stand-in, on the installed clock or in real time.
bool WaitUntilReady(std::uint32_t milliseconds, const std::function<bool()>& ready);
