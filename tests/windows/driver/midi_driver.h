// What Wine's winmm asks of a MIDI driver, behind which each personality of the test driver
// plays its ports: the older stack's (TestMidiDriver) or Windows 11's MIDI Service's
// (SharedMidiDriver).
#pragma once

// In this order: each builds on the types of the one before.
#include <windows.h>

#include <mmsystem.h>

#include <mmddk.h>

class MidiDriver {
public:
    virtual ~MidiDriver() = default;
    // midMessage and modMessage for one port; user is the instance that the open stored.
    virtual DWORD InputMessage(UINT port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                               DWORD_PTR parameter2) = 0;
    virtual DWORD OutputMessage(UINT port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                                DWORD_PTR parameter2) = 0;
};
