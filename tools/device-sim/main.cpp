// The device simulator: plays the device's side of the updater's protocol over virtual MIDI
// ports until SIGINT or SIGTERM.
#include <signal.h>

#include <atomic>
#include <iostream>
#include <string>
#include <vector>

#include "midi_device.h"
#include "rawmidi_port_host.h"
#include "simulator_options.h"

namespace {

std::atomic<bool> stopRequested = false;

void RequestStop(int) {
    stopRequested = true;
}

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

void InstallStopHandlers() {
    struct sigaction action = {};
    action.sa_handler = RequestStop;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    const ParsedOptions parsed = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::cerr << "device-sim: " << parsed.error << "\nTry 'device-sim --help'.\n";
        return 2;
    }
    const SimulatorOptions& options = parsed.options;
    if (options.help) {
        std::cout << UsageText();
        return 0;
    }

    // The MIDI libraries start threads of their own; they inherit the blocked signals, so that
    // a stop request is always handled on this thread.
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    InstallStopHandlers();

    MidiDevice device(options, std::cout);
    std::string error;
    const auto openRawMidi = [&](const std::string&) {
        return OpenRawMidiPortHost(options.rawMidiDevice, error);
    };
    const bool opened = options.rawMidiDevice.empty() ? device.Open(CreateSystemMidiHost, error)
                                                      : device.Open(openRawMidi, error);
    if (!opened) {
        std::cerr << "device-sim: " << error << '\n';
        return 1;
    }
    std::cout << "device-sim: ready" << std::endl;
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);

    device.Serve(stopRequested);
    device.Close();
    std::cout << "device-sim: accepted " << device.AcceptedRecords() << " records, "
              << device.AcceptedBytes() << " bytes" << std::endl;
    return 0;
}
