// update.exe under Wine, in the prefix that prepare-wine-prefix made, with the test MIDI
// driver playing the scenario; what the driver logged and what its device accepted.
#pragma once

#include <string>
#include <vector>

#include "program_runner.h"

struct WineRun {
    ProgramResult program;
    std::string driverLog;
    std::string acceptedRecords;
    double seconds = 0;
};

// Runs update.exe (UPDATE_WINDOWS_PROGRAM) in folder with the driver options given (beyond
// its log and accepted records, which go elsewhere) and the further NAME=value assignments.
// The prefix is the one in WINEPREFIX.
WineRun RunUnderWine(const ScratchFolder& folder, const std::string& driverOptions,
                     const std::vector<std::string>& environment = {});

// What the driver's log shows went wrong with the ports, a line each: a close refused, a
// message delivered after its port's close was asked for, a port left open at the end.
std::vector<std::string> PortFaults(const std::string& driverLog);

// Whether the program opened any port at all.
bool AnyPortOpened(const std::string& driverLog);
