// update.exe under Wine, in the prefix that prepare-wine-prefix made, with the test MIDI
// driver playing the scenario; what the driver logged and what its device accepted.
#pragma once

#include <string>
#include <vector>

#include "program_runner.h"

// The two stacks that the test driver plays: the older one, which refuses a port in use, its
// device inside the program; and Windows 11's MIDI Service, which shares every port, its
// device in a process of its own that every program reaches.
enum class Personality { olderStack, midiService };

struct WineRun {
    ProgramResult program;
    // The log of the driver inside the program, and the device's: the same log on the older
    // stack, the device process's on the MIDI Service.
    std::string driverLog;
    std::string deviceLog;
    std::string acceptedRecords;
    double seconds = 0;
};

// Runs update.exe (UPDATE_WINDOWS_PROGRAM) in folder with the driver options given (beyond
// its log and accepted records, which go elsewhere) and the further NAME=value assignments.
// The prefix is the one in WINEPREFIX. A program still running after limitSeconds is ended:
// a send that a driver never lets return would otherwise hang the scenario.
WineRun RunUnderWine(const ScratchFolder& folder, const std::string& driverOptions,
                     const std::vector<std::string>& environment = {},
                     Personality personality = Personality::olderStack, double limitSeconds = 120);

// The environment variable's value; throws when it is not set.
std::string Required(const char* name);
// The Wine loader: UPDATE_WINE, by default Debian's wine64.
std::string WineLoader();
// The path as Windows programs under Wine see it.
std::string WindowsPath(const std::string& path);

// What the driver's log shows went wrong with the ports, a line each: a close refused, a
// message delivered after its port's close was asked for, a header changed between its
// blocking send's return and its MOM_DONE, a reset that the callback keeps going by queuing
// buffers again, a port left open at the end.
std::vector<std::string> PortFaults(const std::string& driverLog);

// Whether the program opened any port at all.
bool AnyPortOpened(const std::string& driverLog);
