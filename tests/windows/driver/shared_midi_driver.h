// The test MIDI driver's second personality: the ports as Windows 11's MIDI Service offers
// them. Every program's driver is a client of one device process (testmidi-device.exe) over
// a named pipe, so that several programs meet one device:
//
// - An open of a port in use succeeds; every open input hears every message of its port, and
//   the messages of every program's output are merged onto the cable whole.
// - A send (MODM_LONGDATA, MODM_DATA) returns only once the device process has taken the
//   message on, with MOM_DONE sent on the calling thread before it returns; a send the
//   device process could not take on within 1 s fails with MMSYSERR_ERROR, and so do later
//   ones, at once, for a while. Without the device process a send fails with
//   MMSYSERR_NODRIVER, as to a removed device.
// - Input comes off the cable as bytes: a System Exclusive message that finds no buffer
//   queued waits 1 ms for one (10 ms once part of it went into a buffer) and is dropped;
//   realtime bytes inside it come as MIM_DATA of their own; any other status byte ends it
//   with MIM_LONGERROR.
// - Closing an input that holds buffers is refused with MIDIERR_STILLPLAYING, as on every
//   Windows. A stop (and the stop inside a reset or a close) waits for a notice of the
//   driver's thread in progress to end; a reset then hands the queued buffers back on the
//   caller's thread until none is left, so that a callback that queues them again keeps it
//   going (MidiSrvPort.cpp of the MIDI Service's WinMM client).
// - The device process may number the ports with a gap: the count includes it, and the
//   missing number answers MMSYSERR_NODRIVER to capabilities ("(unavailable)") and open
//   (MidiSrvPorts.cpp).
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "driver_log.h"
#include "driver_options.h"
#include "midi_driver.h"
#include "pipe_link.h"

class SharedMidiDriver : public MidiDriver {
public:
    explicit SharedMidiDriver(const ParsedDriverOptions& parsed);
    SharedMidiDriver(const SharedMidiDriver&) = delete;
    SharedMidiDriver& operator=(const SharedMidiDriver&) = delete;

    DWORD InputMessage(UINT port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                       DWORD_PTR parameter2) override;
    DWORD OutputMessage(UINT port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                        DWORD_PTR parameter2) override;

private:
    using Client = DriverClient;
    // One open of an input, the instance that winmm hands back with every later message.
    struct InputOpen {
        UINT port;
        Client client;
        bool started = false;
        bool closeRequested = false;
        // A notice of the driver's thread is on its way to the program's callback.
        bool inCallback = false;
        SimulatorTime startedAt{0};
        std::deque<MIDIHDR*> buffers{};
    };
    struct OutputOpen {
        UINT port;
        Client client;
    };
    // What the cable of an input has brought of a System Exclusive message so far.
    struct InputPort {
        std::string name;
        bool inSysEx = false;
        std::vector<std::uint8_t> sysEx{};
    };
    struct OutputPort {
        std::string name;
        // One send at a time per port: the device process answers each in turn.
        std::mutex sending{};
        std::optional<MMRESULT> result{};
    };
    // What the cable brought, cut into what the program is told of.
    struct InputEvent {
        UINT message;  // MIM_DATA, MIM_LONGDATA or MIM_LONGERROR
        std::vector<std::uint8_t> bytes;
    };

    // A port without a name is a number without a port, as the MIDI Service leaves gaps in its
    // numbering: the device process numbers only the ports there are.
    template <typename Ports>
    static std::uint8_t ServiceNumber(const Ports& ports, UINT port) {
        return static_cast<std::uint8_t>(
            std::count_if(ports.begin(), ports.begin() + port,
                          [](const auto& each) { return !each.name.empty(); }));
    }
    template <typename Ports>
    static std::optional<UINT> ClientNumber(const Ports& ports, std::uint8_t service) {
        for (UINT port = 0; port < ports.size(); ++port) {
            if (!ports[port].name.empty() && service-- == 0)
                return port;
        }
        return std::nullopt;
    }

    // Connects and learns the ports; false without the device process.
    bool Connect();
    DWORD HandleInput(UINT port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                      DWORD_PTR parameter2);
    DWORD HandleOutput(UINT port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                       DWORD_PTR parameter2);
    // Opens the port once more for the client that parameter1 describes: never refused.
    template <typename Open>
    DWORD Register(std::list<Open>& opens, UINT port, DWORD_PTR user, DWORD_PTR parameter1,
                   DWORD_PTR parameter2, FrameKind kind, const std::string& name, UINT notice);
    DWORD CloseInput(InputOpen& open);
    void StopInput(InputOpen& open);
    void ResetInput(InputOpen& open);
    // Hands the message to the device process and waits for its answer.
    MMRESULT Send(UINT port, std::span<const std::uint8_t> message);
    void Tell(FrameKind kind, UINT port);
    std::string InputName(UINT port) const;
    std::string OutputName(UINT port) const;

    // The device process's frames, on the driver's thread (shared_midi_input.cpp).
    void Listen();
    static std::vector<InputEvent> Parse(InputPort& port, std::span<const std::uint8_t> bytes);
    void Deliver(UINT port, const InputEvent& event);
    // Hands the bytes to the open in its queued buffers, waiting for each as Windows 11 does.
    void DeliverLong(UINT port, InputOpen* open, const InputEvent& event);
    // The open's callback has returned: a stop waiting for it may go on.
    void EndCallback(InputOpen* open);
    // Whether the open is still there: a close may end it while a message is on its way.
    bool IsOpen(const InputOpen* open) const;
    void Notify(const Client& client, UINT message, DWORD_PTR parameter1, DWORD_PTR parameter2);
    SimulatorTime Now() const;

    const DriverOptions options_;
    const std::chrono::steady_clock::time_point start_;
    DriverLog log_;
    std::unique_ptr<PipeLink> link_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<InputPort> inputs_;
    std::deque<OutputPort> outputs_;
    // The device process closed the pipe: every later send fails.
    bool gone_ = false;
    std::list<InputOpen> inputOpens_;
    std::list<OutputOpen> outputOpens_;
};
