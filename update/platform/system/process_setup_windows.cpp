#include "platform/platform.h"

// The C runtime gives a process started without standard handles descriptors that refuse
// every write, so no file opened later can take their place.
void SecureStandardStreams() {}

namespace {

using SetProcessInformationCall = BOOL(WINAPI*)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);

// Since Windows 11 a process whose window is minimised or hidden may lose the timer resolution
// it asked for, unless it says that it needs it all the same. Older systems lack the call, or
// refuse the class: the waits are measured by the clock, so they last their time either way.
void KeepTimerResolutionWhenHidden() {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr)
        return;
    const auto setInformation = reinterpret_cast<SetProcessInformationCall>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetProcessInformation")));
    if (setInformation == nullptr)
        return;
    PROCESS_POWER_THROTTLING_STATE state{};
    state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
    state.ControlMask = PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
    state.StateMask = 0;
    setInformation(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state);
}

}  // namespace

// Windows' default timer tick is about 15.6 ms, and a Sleep(1) lasts up to a whole tick: every
// step of a wait would last fifteen times what it asks, and the program's own work between
// them (a message sent each step of a transfer) would slow down as much.
FineTimerResolution::FineTimerResolution() {
    KeepTimerResolutionWhenHidden();
    timeBeginPeriod(1);
}

FineTimerResolution::~FineTimerResolution() {
    timeEndPeriod(1);
}
