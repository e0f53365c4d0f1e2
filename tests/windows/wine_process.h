// Windows programs left running under Wine while a scenario goes on: two updaters at once, an
// updater ended in the middle of its work, and the device process that the MIDI Service
// personality of the test driver reaches.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "program_runner.h"

class WineProcess {
public:
    // Starts the Windows program (a path of this system) with its arguments in folder, with
    // the NAME=value assignments, its input empty.
    WineProcess(const std::string& folder, const std::string& program,
                const std::vector<std::string>& arguments,
                const std::vector<std::string>& environment);
    ~WineProcess();
    WineProcess(const WineProcess&) = delete;
    WineProcess& operator=(const WineProcess&) = delete;

    // Ends the program at once, as TerminateProcess does: Wine's server frees what it held.
    void Kill();
    // Waits for the end; what it printed.
    const ProgramResult& Wait();

private:
    ScratchFolder capture_;
    pid_t pid_ = -1;
    std::optional<ProgramResult> result_;
};

// Waits until the file holds the text, up to seconds; whether it does.
bool AwaitText(const std::string& path, const std::string& text, double seconds);

// The device process (testmidi-device.exe, UPDATE_TEST_DEVICE), serving a pipe of its own with
// the driver options given, ready when made. Ended by the destructor or Stop.
class DeviceProcess {
public:
    explicit DeviceProcess(const std::string& options);
    DeviceProcess(const DeviceProcess&) = delete;
    DeviceProcess& operator=(const DeviceProcess&) = delete;

    // UPDATE_TEST_MIDI for a program whose driver is this device's client: the MIDI Service
    // personality, its log in logPath, named client in the device's log.
    std::string ClientVariable(const std::string& client, const std::string& logPath) const;
    std::string LogPath() const { return records_.File("device.log"); }
    std::string Log() const;
    // The records that the device accepted, one after the other.
    std::string Accepted() const;
    // Ends the device process; its log is whole from then on.
    void Stop();

private:
    ScratchFolder records_;
    std::string pipe_;
    std::optional<WineProcess> process_;
};
