// The device simulator as a child process, on a private JACK server or on the MIDI system
// that an environment names, for as long as the object lives.
#pragma once

#include <sys/types.h>
#include <string>
#include <vector>

#include "jack_server.h"
#include "program_runner.h"

class SimulatedDevice {
public:
    // Starts the simulator with the arguments and waits for its ready line.
    SimulatedDevice(const PrivateJackServer& server, std::vector<std::string> arguments);
    // The same with the environment assignments (NAME=value) given.
    SimulatedDevice(const std::vector<std::string>& environment,
                    std::vector<std::string> arguments);
    // Stops it as a user would, with SIGINT.
    ~SimulatedDevice();
    SimulatedDevice(const SimulatedDevice&) = delete;
    SimulatedDevice& operator=(const SimulatedDevice&) = delete;

    bool IsReady() const { return ready_; }
    // Stops the simulator and returns what it printed.
    std::string Stop();
    // Ends the simulator at once with SIGKILL, as a device that loses its power.
    void Kill();
    // The records that it accepted, as raw bytes.
    std::string AcceptedRecords() const;

private:
    void Finish(int signal);

    // Its log and the records it accepted.
    ScratchFolder folder_;
    pid_t pid_ = -1;
    bool ready_ = false;
};
