// The subset of the Windows multimedia MIDI services that the program uses, by Windows' own
// names. On Windows this is the system's own header. Elsewhere the same names, types,
// constants and values are declared here and implemented over a MidiHost (midi_host.h).
#pragma once

#if defined(_WIN32)

#include <windows.h>
// windows.h must come first: mmsystem.h relies on its types.
#include <mmsystem.h>

#else

#include <cstdint>

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using UINT_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using HANDLE = void*;
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using MMRESULT = UINT;
using MMVERSION = UINT;

struct HMIDIIN__;
struct HMIDIOUT__;
using HMIDIIN = HMIDIIN__*;
using HMIDIOUT = HMIDIOUT__*;
using LPHMIDIIN = HMIDIIN*;
using LPHMIDIOUT = HMIDIOUT*;

inline constexpr BOOL FALSE = 0;
inline constexpr BOOL TRUE = 1;
inline constexpr UINT MAXPNAMELEN = 32;

struct MIDIHDR {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    MIDIHDR* lpNext;
    DWORD_PTR reserved;
    DWORD dwOffset;
    DWORD_PTR dwReserved[8];
};
using LPMIDIHDR = MIDIHDR*;

struct MIDIINCAPSA {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    CHAR szPname[MAXPNAMELEN];
    DWORD dwSupport;
};
using LPMIDIINCAPSA = MIDIINCAPSA*;

struct MIDIOUTCAPSA {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    CHAR szPname[MAXPNAMELEN];
    WORD wTechnology;
    WORD wVoices;
    WORD wNotes;
    WORD wChannelMask;
    DWORD dwSupport;
};
using LPMIDIOUTCAPSA = MIDIOUTCAPSA*;

static_assert(sizeof(MIDIINCAPSA) == 44 && sizeof(MIDIOUTCAPSA) == 52);

inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT MIDIERR_UNPREPARED = 64;
inline constexpr MMRESULT MIDIERR_STILLPLAYING = 65;
inline constexpr MMRESULT MIDIERR_NOTREADY = 67;

inline constexpr DWORD CALLBACK_NULL = 0x00000000;
inline constexpr DWORD CALLBACK_FUNCTION = 0x00030000;
inline constexpr DWORD CALLBACK_EVENT = 0x00050000;

inline constexpr UINT MIM_OPEN = 0x3C1;
inline constexpr UINT MIM_CLOSE = 0x3C2;
inline constexpr UINT MIM_DATA = 0x3C3;
inline constexpr UINT MIM_LONGDATA = 0x3C4;
inline constexpr UINT MIM_ERROR = 0x3C5;
inline constexpr UINT MIM_LONGERROR = 0x3C6;
inline constexpr UINT MOM_OPEN = 0x3C7;
inline constexpr UINT MOM_CLOSE = 0x3C8;
inline constexpr UINT MOM_DONE = 0x3C9;

inline constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
inline constexpr DWORD WAIT_TIMEOUT = 0x00000102;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

inline constexpr DWORD MHDR_DONE = 0x00000001;
inline constexpr DWORD MHDR_PREPARED = 0x00000002;
inline constexpr DWORD MHDR_INQUEUE = 0x00000004;

#define CALLBACK

UINT midiInGetNumDevs();
MMRESULT midiInGetDevCapsA(UINT_PTR uDeviceID, LPMIDIINCAPSA pmic, UINT cbmic);
MMRESULT midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                    DWORD fdwOpen);
MMRESULT midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh);
MMRESULT midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh);
MMRESULT midiInAddBuffer(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh);
MMRESULT midiInStart(HMIDIIN hmi);
MMRESULT midiInReset(HMIDIIN hmi);
MMRESULT midiInClose(HMIDIIN hmi);

UINT midiOutGetNumDevs();
MMRESULT midiOutGetDevCapsA(UINT_PTR uDeviceID, LPMIDIOUTCAPSA pmoc, UINT cbmoc);
MMRESULT midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                     DWORD fdwOpen);
MMRESULT midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
MMRESULT midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
MMRESULT midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
MMRESULT midiOutReset(HMIDIOUT hmo);
MMRESULT midiOutClose(HMIDIOUT hmo);

// An output opened with CALLBACK_EVENT signals its event on MOM_OPEN, MOM_DONE and MOM_CLOSE.
// Only unnamed events without security attributes are provided.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL CloseHandle(HANDLE hObject);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// These go through the clock of clock.h, so that tests can run on virtual time.
void Sleep(DWORD dwMilliseconds);
DWORD GetTickCount();

#endif
