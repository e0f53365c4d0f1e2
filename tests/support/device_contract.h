// A device that keeps its side of the exchange, and the faults between it and the computer, on
// the fake MIDI host. It answers every record it receives, in the order received, with one
// reply; when busy it may answer after the updater's wait, once free it answers within it. It
// keeps a repeat of the record it accepted last only once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "fake_midi_host.h"
#include "record_assembly.h"

// What the device does with a repeat of the record it accepted last.
enum class Repeats { Accepts, Refuses, Ignores };
inline const char* const repeatNames[] = {"accepts repeat", "refuses repeat", "ignores repeat"};

enum class FaultKind {
    RecordLost,
    ReplyLost,
    ReplyLate600,
    ReplyLate1200,
    ReplyLate3000,
    ReplyTwice,
    Refused,
    HandshakeLost,
    HandshakeLate,
    HandshakeTwice,
    HandshakeHeld,
    HandshakeHeldLong,
    ThruLoop,
};
inline const char* const faultNames[] = {
    "record lost",    "reply lost",     "reply late 0.6 s", "reply late 1.2 s", "reply late 3 s",
    "reply twice",    "record refused", "handshake lost",   "handshake late",   "handshake twice",
    "handshake held", "held 0.6 s",     "thru loop",
};

// A fault at a record (by index) or at a handshake (counted from 1 among those the device
// receives); held answers (let out 50 ms or 600 ms after the input opens) and the thru loop
// hold for the whole run. Two faults at one place
// strike its first and its second sending.
struct Fault {
    FaultKind kind;
    std::size_t place = 0;
};

// The device listens on output "device out" and answers on input "device in". Each record must
// come as one message, so that a lost message is a lost record.
class ContractDevice {
public:
    ContractDevice(FakeMidiHost& host, std::vector<Bytes> records, Repeats repeats,
                   const std::vector<Fault>& faults);

    std::vector<ScriptedReply> Receive(const SentMessage& message);

    // The records the device holds, by their index in the image, in the order it took them.
    std::vector<std::size_t> held;

private:
    FakeMidiHost& host_;
    std::vector<Bytes> records_;
    Repeats repeats_;
    bool thruLoop_ = false;
    std::map<std::size_t, std::deque<FaultKind>> handshakeFaults_;
    std::map<std::size_t, std::deque<FaultKind>> recordFaults_;
    RecordAssembly assembly_;
    std::optional<std::size_t> lastAccepted_;
    std::size_t handshakes_ = 0;
    // Virtual times: when the device is free to answer, and when the last message on the wire
    // to the computer ended (one message takes about a millisecond at MIDI's rate, so no two
    // arrive at once).
    std::uint64_t freeAt_ = 0;
    std::uint64_t wireFreeAt_ = 0;

    std::vector<ScriptedReply> ReceiveRecord(const SentMessage& message);
    std::vector<ScriptedReply> ReceiveHandshake();
    std::vector<ScriptedReply> Answer(std::uint8_t code, std::optional<FaultKind> fault);
};
