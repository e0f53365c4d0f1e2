// What the program needs of its platform beyond standard C++: the Windows multimedia MIDI
// services (real on Windows, stood in for elsewhere), millisecond sleeps, the directory
// search, opening the image file, the console check and the closing pause.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "platform/winmm/winmm.h"

// The name of the first entry of the current folder matching pattern, in the order in which
// Windows lists a folder: ASCII case ignored in matching and in name order, folders included.
std::optional<std::string> FindFirstDirectoryEntry(const char* pattern);

// The named regular file opened for binary reading, or null (a folder is no image file).
std::FILE* OpenRegularFileForReading(const std::string& name);

// Whether standard output is a console (a terminal on POSIX), not a pipe or a file.
bool StandardOutputIsConsole();

// Holds the console until the user presses a key, after flushing standard output.
void PauseConsole();

// Makes sure standard input, output and error are open before anything else opens a file, so
// that no library's file can take the place of a closed standard stream.
void SecureStandardStreams();

enum class PortDirection { input, output };

// Takes this program's claim on the MIDI port at index, so that two updaters never hold one
// port, even where the MIDI system lets several programs open it; false when another program
// holds it. One claim per direction: taking another lets go of the last. The system lets go of
// every claim when the process ends, however it ends.
bool ClaimMidiPort(PortDirection direction, unsigned index);
void ReleaseMidiPort(PortDirection direction);

// Milliseconds on a steady clock, by which every wait of the program is measured: a wait lasts
// its time however long each of its steps turns out. Windows' own GetTickCount moves only once a
// timer tick, 15.6 ms unless a finer timer is granted.
std::uint32_t ReadMillisecondClock();

// midiOutLongMsg, waited for at most milliseconds: nothing when the call has not returned by
// then. Some drivers return only once the message has gone out, and never while the device
// takes no data; the call is then left to the driver, which keeps the header for as long as it
// likes.
std::optional<MMRESULT> CallLongMessageWithin(HMIDIOUT handle, MIDIHDR* header, DWORD milliseconds);

// Asks for a 1 ms timer resolution for the run, so that Sleep(1) lasts about 1 ms; the
// request ends when the returned object goes.
class FineTimerResolution {
public:
    FineTimerResolution();
    ~FineTimerResolution();
    FineTimerResolution(const FineTimerResolution&) = delete;
    FineTimerResolution& operator=(const FineTimerResolution&) = delete;
};
