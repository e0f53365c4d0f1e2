// The device simulator's command line.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device_session.h"

struct SimulatorOptions {
    std::string clientName = "device-sim";
    std::uint32_t extraPorts = 0;
    std::string acceptedPath;   // empty: the accepted records are not written
    std::string rawMidiDevice;  // empty: the device plays on virtual ports
    DeviceBehaviour behaviour;
    bool quiet = false;
    bool help = false;
};

// The ports' names within the client. The updater receives from the output and sends to
// the input.
inline constexpr const char* outputPortName = "out";
inline constexpr const char* inputPortName = "in";
// The idle pairs, numbered from 1, never answer. They belong to a client of their own, so
// that the device's ports keep the plain client name on JACK, where every port is a client
// and the clients after the first of a name get a number ("device-sim-01:in").
std::string IdleClientName(const std::string& clientName);
std::string IdleOutputPortName(std::uint32_t pair);
std::string IdleInputPortName(std::uint32_t pair);

// The updater sees at most 31 characters of a port's name, "client:port" on JACK.
inline constexpr std::size_t longestPortName = 31;

struct ParsedOptions {
    SimulatorOptions options;
    std::string error;  // empty when the command line is sound
};

// Parses the arguments after the program's name.
ParsedOptions ParseOptions(const std::vector<std::string>& arguments);

// The text that --help prints.
std::string UsageText();
