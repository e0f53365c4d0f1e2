// The performance counter keeps its pace whatever timer resolution Windows grants the process:
// since Windows 11 a hidden or minimised window is no longer sure of the 1 ms tick it asked
// for, and GetTickCount moves only once a tick.
#include <windows.h>

#include "platform/platform.h"

std::uint32_t ReadMillisecondClock() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    // Split so that the product does not overflow after some weeks of uptime.
    const LONGLONG seconds = counter.QuadPart / frequency;
    const LONGLONG rest = counter.QuadPart % frequency;
    return static_cast<std::uint32_t>(seconds * 1000 + rest * 1000 / frequency);
}
