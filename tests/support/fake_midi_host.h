// A MIDI host on virtual time for protocol tests. It installs itself as the stand-in's host
// and as the clock: Sleep() advances virtual time and delivers the messages that fall due,
// on a thread of the host's own as a real MIDI system would.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/midi_host/midi_host.h"
#include "platform/system/clock.h"

using Message = std::vector<std::uint8_t>;

struct SentMessage {
    std::string output;
    Message bytes;
    std::uint64_t time;
};

// What a scripted device does with a message sent to it: reply on an input after a delay.
struct ScriptedReply {
    std::string input;
    Message bytes;
    std::uint64_t delay = 0;
};
using ScriptedDevice = std::function<std::vector<ScriptedReply>(const SentMessage& message)>;

class FakeMidiHost : public MidiHost, public Clock {
public:
    FakeMidiHost(std::vector<std::string> inputs, std::vector<std::string> outputs);
    ~FakeMidiHost() override;

    void SetDevice(ScriptedDevice device) { device_ = std::move(device); }
    // Delivers bytes on the named input after delay milliseconds of virtual time.
    void Schedule(const std::string& input, Message bytes, std::uint64_t delay);
    // Sends, counted from 1, that the output refuses.
    std::set<std::size_t> refusedSends;
    // Ports whose opening fails, and input ports that open but refuse to start.
    std::set<std::string> failingPorts;
    std::set<std::string> failingStarts;
    // Inputs that keep what comes for them while they are closed, as a USB MIDI interface
    // does, and let it out this many milliseconds after they open.
    std::map<std::string, std::uint64_t> holdingInputs;
    // How long each message keeps the output busy, in virtual time.
    std::chrono::microseconds sendingTime{0};
    // The system timer's tick, as on a Windows that grants no finer timer: a sleep, and a wait
    // that no message ends, last until the first tick at or after their end. 0: exactly.
    std::chrono::microseconds timerTick{0};

    // Virtual time in whole milliseconds, and exactly.
    std::uint64_t Now() const override { return static_cast<std::uint64_t>(now_.count() / 1000); }
    std::chrono::microseconds Time() const { return now_; }
    const std::vector<SentMessage>& Sent() const { return sent_; }
    // Every open and close, in order, as "open in NAME", "close out NAME", ...
    const std::vector<std::string>& PortEvents() const { return portEvents_; }
    std::set<std::string> OpenPorts() const;

    std::vector<std::string> ListInputs() override { return inputs_; }
    std::vector<std::string> ListOutputs() override { return outputs_; }
    std::unique_ptr<MidiInputPort> OpenInput(const std::string& name,
                                             SysExHandler handler) override;
    std::unique_ptr<MidiOutputPort> OpenOutput(const std::string& name) override;

    void SleepMilliseconds(std::uint32_t milliseconds) override;
    // Moves from one change to the next (a message due, the end of a send) rather than by
    // steps, so that a wait ends at the very moment that makes it ready.
    bool WaitMilliseconds(std::uint32_t milliseconds, const std::function<bool()>& ready) override;

private:
    class Input;
    class Output;
    struct Pending {
        std::chrono::microseconds due;
        std::uint64_t order;
        std::string input;
        Message bytes;
    };

    bool Send(const std::string& output, std::span<const std::uint8_t> bytes);
    void DeliverDue();
    // Where a sleep or a wait of this many milliseconds from now ends, if nothing ends it first.
    std::chrono::microseconds EndOfWait(std::uint32_t milliseconds) const;

    std::vector<std::string> inputs_;
    std::vector<std::string> outputs_;
    ScriptedDevice device_;
    std::chrono::microseconds now_{0};
    std::chrono::microseconds busyUntil_{0};
    std::uint64_t scheduled_ = 0;
    std::size_t sendAttempts_ = 0;
    std::vector<Pending> pending_;
    std::vector<Pending> held_;
    std::vector<SentMessage> sent_;
    std::vector<std::string> portEvents_;
    std::map<std::string, SysExHandler> openInputs_;
    std::multiset<std::string> openOutputs_;
};
