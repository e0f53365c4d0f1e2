// The test MIDI driver: MIDI ports that keep the rules Windows sets for its MIDI drivers,
// with the device behind one pair, and decoys and an instrument beside it.
//
// - Every message that the program sends plays at the pace of a DIN cable (320 us a byte,
//   one cable per port).
// - On the older stack a send behaves as with Windows 10's in-box USB MIDI driver:
//   MODM_LONGDATA returns only once the device's USB interface has taken the whole message
//   (it holds the last 48 bytes of what it plays), a stalled interface keeping the call from
//   returning until a reset; the header is marked done then, and MOM_DONE comes on the calling
//   thread a moment later (Wine's winmm tests see that delay on native Windows).
// - Inside the device process (the MIDI Service's own side) a send is queued instead: its
//   header stays MHDR_INQUEUE until its last byte has gone, and is marked done at that moment,
//   not a scheduler tick later.
// - With --windows-ports the port list is Windows' own: output 0 is the Microsoft GS Wavetable
//   Synth, which takes everything and answers nothing; inside the device process the MIDI
//   Service's three default loopbacks follow, each output echoing what it is sent on its
//   loopback's other side (A to B, B to A, the basic one to itself).
// - A port in use is refused; a close with buffers or messages still queued is refused with
//   MIDIERR_STILLPLAYING, as is unpreparing a queued header; a reset hands every queued header
//   back, marked done.
// - Replies reach the program through DriverCallback from the driver's own thread, in the
//   buffers it queued, never while the driver holds its lock: the program's callback calls
//   the driver again.
// - With the device's holdAnswers (--hold-replies), the device keeps what it sends while the
//   program's input is not started and lets it out, a message at a time, a moment after it
//   starts, as a USB interface may.
// - The device is the simulator's DeviceSession; what it receives, accepts and answers, and
//   every port opened, closed or refused, goes to the log.
// - The driver and its thread live until the process ends.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "device_session.h"
#include "driver_log.h"
#include "driver_options.h"
#include "midi_driver.h"

// Which stack's sends the driver plays: the older one's blocking sends, or the queue of the
// device process that plays the MIDI Service.
enum class MidiStack { classic, service };

class TestMidiDriver : public MidiDriver, private DeviceEvents {
public:
    TestMidiDriver(const ParsedDriverOptions& parsed, MidiStack stack);
    TestMidiDriver(const TestMidiDriver&) = delete;
    TestMidiDriver& operator=(const TestMidiDriver&) = delete;

    // midMessage and modMessage for one port; user is the instance that the open stored.
    DWORD InputMessage(UINT port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                       DWORD_PTR parameter2) override;
    DWORD OutputMessage(UINT port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                        DWORD_PTR parameter2) override;
    // A line of the driver's log from whoever plays the ports through it: the device process.
    void Note(const std::string& line);

private:
    enum class Role { device, decoy, instrument, synth, loopback };
    using Client = DriverClient;
    // A DriverCallback to make once the lock is released.
    struct Notice {
        Client client{};
        UINT message;
        DWORD_PTR parameter1;
        DWORD_PTR parameter2;
    };
    using Notices = std::vector<Notice>;
    struct InputPort {
        std::string name;
        Role role;
        bool open = false;
        bool started = false;
        bool closeRequested = false;
        Client client{};
        SimulatorTime startedAt{0};
        std::deque<MIDIHDR*> buffers{};
    };
    struct Playing {
        MIDIHDR* header;
        SimulatorTime due;
        // A blocking send's message is handed back once the interface has taken it, at
        // takenAt, and plays on from a copy of its bytes.
        bool blocking = false;
        SimulatorTime takenAt{0};
        bool handedBack = false;
        Bytes bytes{};
    };
    struct OutputPort {
        std::string name;
        Role role;
        bool open = false;
        Client client{};
        std::deque<Playing> queue{};
        DinCable cable{true};
        // A loopback's output: the input that hears what it is sent.
        std::optional<std::size_t> echoInput{};
        // How late the thread marked the messages played since the port opened: the
        // benchmark's figure holds only while this stays small.
        std::size_t played = 0;
        SimulatorTime lateness{0};
        SimulatorTime latest{0};
        // The same for the blocking sends' returns: late ones leave the cable idle.
        std::size_t handedBack = 0;
        SimulatorTime handBackLateness{0};
        SimulatorTime latestHandBack{0};
        SimulatorTime lastDue{0};
        SimulatorTime idle{0};
    };
    struct Reply {
        Bytes message;
        SimulatorTime due;
        bool damaged;
    };

    // The entry points' work (test_midi_driver.cpp): a message for the port numbered port of
    // ports, handled under the lock, the notices sent after; countMessage asks for the count.
    template <typename Port>
    DWORD Dispatch(std::vector<Port>& ports, UINT countMessage, UINT port, UINT message,
                   DWORD_PTR user, DWORD_PTR parameter1, DWORD_PTR parameter2);
    DWORD Handle(InputPort& port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                 DWORD_PTR parameter2, Notices& notices);
    DWORD Handle(OutputPort& port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                 DWORD_PTR parameter2, Notices& notices);
    // Opens the port for the client that parameter1 describes; refused while it is open, as
    // Windows refuses a port in use. The client hears openNotice.
    template <typename Port>
    DWORD Open(Port& port, DWORD_PTR user, DWORD_PTR parameter1, DWORD_PTR parameter2,
               UINT openNotice, Notices& notices);
    DWORD Close(InputPort& port, Notices& notices);
    DWORD Close(OutputPort& port, Notices& notices);
    void Reset(InputPort& port, Notices& notices);
    void Reset(OutputPort& port, Notices& notices);
    DWORD Play(OutputPort& port, MIDIHDR* header);
    // The rest of a blocking send, after the lock: back once the header is handed back.
    void AwaitTaken(const OutputPort& port, MIDIHDR* header);
    void AddWindowsPorts();
    std::string Name(const InputPort& port) const;
    std::string Name(const OutputPort& port) const;
    static void Send(const Notices& notices);

    // The cables, the device and the instrument, run by the driver's thread (driver_link.cpp).
    void Run();
    void Step(SimulatorTime now, Notices& notices);
    std::optional<SimulatorTime> NextDue() const;
    void PlayOut(OutputPort& port, SimulatorTime now, Notices& notices);
    void HandBack(Playing& playing);
    void Echo(const OutputPort& port, std::span<const std::uint8_t> message, SimulatorTime now,
              Notices& notices);
    void DeliverReplies(SimulatorTime now, Notices& notices);
    void PlayInstrument(SimulatorTime now, Notices& notices);
    void SendLateNotices(SimulatorTime now, Notices& notices);
    // Hands the message to the program in the port's first queued buffer; false when the
    // port had none to take it.
    bool Deliver(InputPort& port, std::span<const std::uint8_t> message, bool damaged,
                 SimulatorTime now, Notices& notices);
    void SendReply(std::span<const std::uint8_t> message) override;
    void AcceptRecord(std::span<const std::uint8_t> record) override;
    void Log(const std::string& line) override;
    void Changed();
    SimulatorTime Now() const;

    const DriverOptions options_;
    const MidiStack stack_;
    const std::chrono::steady_clock::time_point start_;
    DriverLog log_;
    std::ofstream accepted_;

    std::mutex mutex_;
    std::condition_variable changed_;
    // Wakes the blocking sends when their headers are handed back.
    std::condition_variable handedBack_;
    // Counts every change that may bring a due time forward, so that a wait ends for it.
    std::atomic<std::uint64_t> changes_{0};

    std::vector<InputPort> inputs_;
    std::vector<OutputPort> outputs_;
    DeviceSession session_;
    DinCable replyCable_{true};
    // While the device takes a message: when its last byte came.
    std::optional<SimulatorTime> receivedAt_;
    std::deque<Reply> replies_;
    // The older stack's notices of the buffers that a reset handed back, each due a moment
    // after its header was marked done (Reset).
    std::deque<std::pair<SimulatorTime, Notice>> lateNotices_;
    std::uint32_t repliesSent_ = 0;
    // How late the thread handed the device's replies over: the benchmark's figure holds only
    // while this stays small.
    std::uint32_t repliesDelivered_ = 0;
    SimulatorTime replyLateness_{0};
    // How long the program took from a reply to its next message to the device: its own share
    // of each round trip.
    std::optional<SimulatorTime> lastReplyAt_;
    std::uint32_t turnarounds_ = 0;
    SimulatorTime turnaround_{0};
    std::uint32_t messagesToDevice_ = 0;
    SimulatorTime nextInstrumentMessage_{0};
};
