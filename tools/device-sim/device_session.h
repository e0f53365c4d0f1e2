// The device's side of the updater's protocol, without MIDI: it takes the received System
// Exclusive messages with the times they arrived and decides what to reply and when. The
// caller feeds it messages, tells it whether anything listens, asks when it next has something
// to do, and lets it run up to the present; it replies, logs and hands over accepted records
// through DeviceEvents, in time order. Time is a plain count, so tests run it on virtual time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device_script.h"
#include "record_assembly.h"

// Time since the simulator started.
using SimulatorTime = std::chrono::microseconds;

// One direction of a DIN MIDI cable, as a queue: a message starts crossing when it is ready
// and the cable is free, and takes 320 us a byte (10 bits at 31250 baud). Unpaced, a message
// crosses the moment it is ready.
class DinCable {
public:
    static constexpr SimulatorTime byteTime{320};

    explicit DinCable(bool paced) : paced_(paced) {}
    // When the last byte of a message of `bytes` bytes, ready at `ready`, has crossed.
    SimulatorTime Cross(SimulatorTime ready, std::size_t bytes);

private:
    bool paced_;
    SimulatorTime free_{0};
};

class DeviceEvents {
public:
    virtual ~DeviceEvents() = default;
    virtual void SendReply(std::span<const std::uint8_t> message) = 0;
    virtual void AcceptRecord(std::span<const std::uint8_t> record) = 0;
    virtual void Log(const std::string& line) = 0;
};

struct DeviceBehaviour {
    static constexpr std::uint8_t targetCode = 0x39;
    static constexpr std::uint8_t resetRequest = 0x15;

    // The replies to successive handshakes, the last one for every handshake after; none:
    // that handshake is never answered.
    std::vector<std::optional<std::uint8_t>> handshakeReplies = {targetCode};
    // Handshakes before this one (counting from 1) go unanswered.
    std::uint32_t answerFromHandshake = 1;
    // How late a handshake is answered: a device still waking up.
    std::chrono::milliseconds handshakeDelay{0};
    // Each answer to a handshake comes once more, this long after the first: a MIDI merger
    // or a thru loop.
    std::optional<std::chrono::milliseconds> handshakeRepeat;
    // How late every record's reply comes, unless the script says otherwise.
    std::chrono::milliseconds replyDelay{0};
    // Each record's reply comes once more, this long after the first: a thru loop or a merger.
    std::optional<std::chrono::milliseconds> replyRepeat;
    // How the device answers a repeat of the record it accepted last, which it keeps once:
    // accepted, with a refusal, or not at all. Devices of each kind exist.
    enum class RepeatAnswer { accept, refuse, silent };
    RepeatAnswer repeatAnswer = RepeatAnswer::accept;
    DeviceScript script;
    bool dinCable = false;
    // What the device sends while nothing listens is kept, in order, and let out this long after
    // something listens, as a USB MIDI interface does; none: it goes out at once.
    std::optional<std::chrono::milliseconds> holdAnswers;
};

class DeviceSession {
public:
    static constexpr std::uint8_t accepted = 0x1A;
    static constexpr std::uint8_t checksumError = 0x20;
    static constexpr std::uint8_t damaged = 0x21;
    static constexpr std::uint8_t restarting = 0x77;
    // The updater sends a record's messages back to back and waits 500 ms for the reply
    // before it sends the record again from its start: digits of a record that stayed
    // incomplete this long belong to an attempt that will never be finished.
    static constexpr SimulatorTime staleRecord = std::chrono::milliseconds(300);

    DeviceSession(DeviceBehaviour behaviour, DeviceEvents& events);

    // A message as the MIDI system delivered it, 0xF0 to 0xF7, and when it arrived. Arrival
    // times must not go back.
    void Receive(std::span<const std::uint8_t> message, SimulatorTime arrival);
    // When something is next to be done: a message taken in, a reply sent.
    std::optional<SimulatorTime> NextDue() const;
    // Does, in time order, everything that falls due up to now.
    void Advance(SimulatorTime now);
    // Whether anything listens to what the device sends, from time on: the host tells, whenever
    // it changes or whenever it looks. Nothing listens at first. Only holdAnswers heeds it.
    void SetListened(bool listened, SimulatorTime time);
    // How many answers are kept, waiting for a listener.
    std::size_t HeldAnswers() const { return held_.size(); }

    std::size_t AcceptedRecords() const { return acceptedRecords_; }
    std::size_t AcceptedBytes() const { return acceptedBytes_; }

private:
    struct Received {
        Bytes message;
        SimulatorTime takenAt;
    };
    struct Reply {
        std::uint8_t code;
        std::uint64_t decision;
        std::string sentNote;  // logged when the reply goes out; empty for none
    };
    struct OnCable {
        Reply reply;
        SimulatorTime sentAt;
    };

    void Process(std::span<const std::uint8_t> message, SimulatorTime now);
    void AnswerHandshake(SimulatorTime now);
    void TakeDigits(std::span<const std::uint8_t> digits, SimulatorTime now);
    void AnswerRecord(const Bytes& record, SimulatorTime now);
    bool IsNewRecord(const Bytes& record) const;
    // The action that the device's kind calls for, for a repeat of the record it holds.
    ScriptedAction RepeatAction() const;
    void Schedule(Reply reply, SimulatorTime due);
    void PutOnCable(Reply reply, SimulatorTime due);
    void Send(const Reply& reply);
    // Passes what the device sends to the host, or keeps it while nothing listens.
    void HandOver(std::span<const std::uint8_t> message);
    // When the held answers go out: holdAnswers after something listens.
    std::optional<SimulatorTime> LetOutDue() const;
    void LetOutHeldAnswers();
    // "46 of 108 digits": how far the record in assembly has come.
    std::string HeldDigits() const;

    DeviceBehaviour behaviour_;
    DeviceEvents& events_;
    DinCable inCable_;
    DinCable outCable_;
    std::deque<Received> received_;
    std::multimap<SimulatorTime, Reply> delayed_;
    std::deque<OnCable> onCable_;
    std::vector<Bytes> held_;
    bool listened_ = false;
    SimulatorTime listenedSince_{0};

    RecordAssembly assembly_;
    SimulatorTime lastDigitsAt_{0};
    // Taken when a record's first digits come: whether the reply to the latest decision
    // had gone out before the updater began sending this reception.
    bool lastReplyOutAtStart_ = false;
    // The record of the latest decision.
    Bytes lastDecisionRecord_;

    std::uint32_t handshakes_ = 0;
    std::uint32_t recordNumber_ = 0;
    std::uint32_t attempt_ = 0;
    std::uint32_t lastKeptRecord_ = 0;
    std::uint64_t decisions_ = 0;
    // When the reply to the latest record goes out: a device answers in the order received, so
    // no reply goes before it, however late it is.
    SimulatorTime lastReplyDue_{0};
    // The latest decision about a record: did it accept, and has its reply gone out.
    bool lastDecisionAccepts_ = false;
    bool lastDecisionSent_ = false;
    // Whether the latest decision refused a repeat of the record the device holds.
    bool repeatRefused_ = false;

    std::size_t acceptedRecords_ = 0;
    std::size_t acceptedBytes_ = 0;
};
