// What one scenario asks of the test MIDI driver. Wine hands the Unix environment to
// Windows programs, so the scenario reaches the driver inside the updater's process as one
// environment variable: the device simulator's options, which the driver's device takes as
// they are, and the driver's own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "simulator_options.h"

inline constexpr const char* driverOptionsVariable = "UPDATE_TEST_MIDI";

struct DriverOptions {
    // The device's behaviour; extraPorts decoy pairs are listed before the device's pair.
    SimulatorOptions device;
    // The driver's log; empty: none.
    std::string logPath;
    // The device's reply of this number (from 1, counting every reply it sends) reaches the
    // program damaged; 0: none.
    std::uint32_t damagedReply = 0;
    // The program's output to the device stops playing after this many messages (the
    // handshakes included); 0: never.
    std::uint32_t stallAfterMessages = 0;
    // An instrument, listed as the first input, sends System Exclusive of its own every few
    // milliseconds.
    bool instrument = false;
    // The ports behave as those of Windows 11's MIDI Service: the driver is a client of the
    // device process (testmidi-device.exe) on the named pipe pipeName, which every process's
    // driver reaches, and the device's behaviour is that process's to decide.
    bool sharedPorts = false;
    std::string pipeName = "update-testmidi";
    // How the device process names this client in its log; empty: by the process's number.
    std::string clientName;
    // The device process: a MIDI merger ahead of the device's interface mixes a clock into
    // what the device sends, a realtime byte inside each of its messages.
    bool clockInReplies = false;
    // The ports as Windows lists them: the GS Wavetable Synth as output 0 and, on the MIDI
    // Service, its default loopbacks, before the decoys and the device.
    bool windowsPorts = false;
    // The device process: the MIDI Service numbers its ports with a gap, a number without a
    // port just before the device's input and output.
    bool portGap = false;
};

struct ParsedDriverOptions {
    DriverOptions options;
    std::string error;  // empty when the text is sound
};

// Words separated by spaces: --log FILE, --damage-reply N, --stall-output-after N,
// --instrument, --hold-replies MS, --shared-ports, --pipe NAME, --client NAME, --clock-in-replies,
// --windows-ports, --port-gap, and any option of the simulator but --din: the driver itself plays
// every message at the pace of a DIN cable.
ParsedDriverOptions ParseDriverOptions(std::string_view text);
