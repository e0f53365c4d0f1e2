#include <algorithm>
#include <cstdio>

#include "midi/midi.h"

namespace {

constexpr unsigned mostPortsCounted = 10;
constexpr unsigned handshakeSendsPerPair = 4;
// A USB MIDI interface keeps what its device sent while nobody listened on that input (the
// device's answers to a handshake sent while the search listened on another input) and lets
// it out a moment after the input opens. Those answers belong to another pair: they are let
// out and dropped before the first handshake over the input. The input is quiet once this long
// passes without a message, and a chattering one is given up on after the longest wait.
constexpr std::uint32_t heldAnswersQuietMilliseconds = 100;
constexpr std::uint32_t heldAnswersLongestMilliseconds = replyWaitMilliseconds;

// The number of ports is asked first: Windows 11's MIDI Service, on builds from before August
// 2026, shows a process no port until it has asked how many there are, and it answers with the
// highest port number, counting past a port whose properties it could not read. So every number
// it gives is tried, the ones without a port skipped when they are opened; and where a system
// gives fewer than there are (none is known to), the numbers that answer after them count too.
template <typename Capabilities, typename Query>
std::uint8_t CountPorts(UINT (*askNumber)(), Query query) {
    std::uint8_t count = static_cast<std::uint8_t>(std::min<UINT>(askNumber(), mostPortsCounted));
    Capabilities capabilities{};
    while (count < mostPortsCounted && query(count, &capabilities, sizeof capabilities) == 0) {
        ++count;
    }
    return count;
}

void DropHeldAnswers() {
    StartInputWait();
    TimedWait quiet(heldAnswersQuietMilliseconds);
    TimedWait longest(heldAnswersLongestMilliseconds);
    while (!quiet.Over() && !longest.Over()) {
        if (midiLink.rxCount != 0) {
            DropDeviceReplies();
            quiet.Restart();
        }
        AwaitInput(std::min(quiet.NextStep(), longest.NextStep()));
        RedrawSearchProgressWhenDue();
    }
    DropDeviceReplies();
}

// The search's result over the open pair: noDevice when the four sends found no answer.
DiscoveryResult Handshake(std::uint8_t targetCode) {
    // Whatever came before this pair's first handshake answers no handshake of this pair.
    DropDeviceReplies();
    for (unsigned attempt = 0; attempt < handshakeSendsPerPair; ++attempt) {
        SendSysEx(handshakeMessage, sizeof handshakeMessage);
        StartInputWait();
        TimedWait wait(replyWaitMilliseconds);
        while (midiLink.rxCount == 0 && !wait.Over()) {
            AwaitInput(wait.NextStep());
            RedrawSearchProgressWhenDue();
        }
        // Every reply that came is looked at, and any but these two passed over: another message
        // may have come just before the answer.
        const std::optional<std::uint8_t> reply = TakeReply([targetCode](std::uint8_t code) {
            return code != targetCode &&
                   code != static_cast<std::uint8_t>(DiscoveryResult::resetRequested);
        });
        if (reply)
            return *reply == targetCode ? DiscoveryResult::deviceFound
                                        : DiscoveryResult::resetRequested;
    }
    return DiscoveryResult::noDevice;
}

}  // namespace

std::uint8_t CountMidiInputs() {
    return CountPorts<MIDIINCAPSA>(midiInGetNumDevs, midiInGetDevCapsA);
}

std::uint8_t CountMidiOutputs() {
    return CountPorts<MIDIOUTCAPSA>(midiOutGetNumDevs, midiOutGetDevCapsA);
}

DiscoveryResult FindUpdateDevice(std::uint8_t targetCode) {
    const std::uint8_t inputCount = CountMidiInputs();
    const std::uint8_t outputCount = CountMidiOutputs();
    DiscoveryResult result = DiscoveryResult::noDevice;
    const auto searching = [&result] { return result == DiscoveryResult::noDevice; };
    StartSearchProgress(static_cast<unsigned>(inputCount) * outputCount);
    for (std::uint8_t input = 0; input < inputCount && searching(); ++input) {
        if (OpenMidiInput(input) != 0) {
            // An input that opened but did not start still holds the receive buffer, which
            // no other input could then queue; one that did not open is not closed.
            CloseMidiInput();
            continue;
        }
        SetSearchPair(static_cast<unsigned>(input) * outputCount + 1);
        DropHeldAnswers();
        for (std::uint8_t output = 0; output < outputCount && searching(); ++output) {
            SetSearchPair(static_cast<unsigned>(input) * outputCount + output + 1);
            if (OpenMidiOutput(output) != 0)
                continue;
            result = Handshake(targetCode);
            if (searching())
                CloseMidiOutput();
        }
        if (searching())
            CloseMidiInput();
    }
    EndSearchProgress();

    if (searching()) {
        std::printf("\nFailed: Can't find the suitable device to update!\n\n");
    } else {
        std::printf("The Update Device is Open successfully:\n");
        std::printf("MIDIIN Device: %s\n", midiLink.inputName);
        std::printf("MIDIOUT Device: %s\n", midiLink.outputName);
    }
    return result;
}
