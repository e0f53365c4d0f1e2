// What Wine's winmm asks of a MIDI driver, behind which each personality of the test driver
// plays its ports: the older stack's (TestMidiDriver) or Windows 11's MIDI Service's
// (SharedMidiDriver).
#pragma once

// In this order: each builds on the types of the one before.
#include <windows.h>

#include <mmsystem.h>

#include <mmddk.h>

#include <algorithm>
#include <iterator>
#include <string>

// Whom a port's notices go to, as the open described it.
struct DriverClient {
    HMIDI handle = nullptr;
    DWORD_PTR callback = 0;
    DWORD_PTR instance = 0;
    DWORD flags = 0;
};

class MidiDriver {
public:
    virtual ~MidiDriver() = default;
    // midMessage and modMessage for one port; user is the instance that the open stored.
    virtual DWORD InputMessage(UINT port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                               DWORD_PTR parameter2) = 0;
    virtual DWORD OutputMessage(UINT port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                                DWORD_PTR parameter2) = 0;
};

// The rules that Windows sets for every MIDI driver's capabilities and headers.
template <typename Capabilities>
void FillCapabilities(Capabilities& capabilities, const std::string& name) {
    capabilities.wMid = 0xFFFF;
    capabilities.wPid = 0xFFFF;
    capabilities.vDriverVersion = 0x0100;
    const std::size_t length = std::min(name.size(), std::size(capabilities.szPname) - 1);
    std::copy_n(name.begin(), length, capabilities.szPname);
    capabilities.szPname[length] = 0;
}

inline MMRESULT CheckHeader(DWORD_PTR header, DWORD_PTR size) {
    return header == 0 || size < sizeof(MIDIHDR) ? MMSYSERR_INVALPARAM : MMSYSERR_NOERROR;
}

// Whether the header may be queued: prepared and not queued already.
inline MMRESULT CheckQueueable(const MIDIHDR& header) {
    if (!(header.dwFlags & MHDR_PREPARED))
        return MIDIERR_UNPREPARED;
    if (header.dwFlags & MHDR_INQUEUE)
        return MIDIERR_STILLPLAYING;
    return header.dwBufferLength == 0 ? MMSYSERR_INVALPARAM : MMSYSERR_NOERROR;
}
