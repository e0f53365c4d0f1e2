#include "device_contract.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>

#include "midi_fixture.h"
#include "transfer/transfer.h"

namespace {

const Message handshake = {0xF0, 0x53, 0x2F, 0x6B, 0x31, 0x4E, 0x25, 0x39, 0xF7};
constexpr std::uint8_t accepted = 0x1A;
constexpr std::uint8_t crcError = 0x20;

bool OnHandshake(FaultKind kind) {
    return kind == FaultKind::HandshakeLost || kind == FaultKind::HandshakeLate ||
           kind == FaultKind::HandshakeTwice;
}

std::optional<FaultKind> Take(std::deque<FaultKind>& faults) {
    if (faults.empty())
        return std::nullopt;
    const FaultKind fault = faults.front();
    faults.pop_front();
    return fault;
}

}  // namespace

ContractDevice::ContractDevice(FakeMidiHost& host, std::vector<Bytes> records, Repeats repeats,
                               const std::vector<Fault>& faults)
    : host_(host), records_(std::move(records)), repeats_(repeats) {
    for (const Fault& fault : faults) {
        if (fault.kind == FaultKind::ThruLoop)
            thruLoop_ = true;
        else if (fault.kind == FaultKind::HandshakeHeld)
            host.holdingInputs["device in"] = 50;
        else if (fault.kind == FaultKind::HandshakeHeldLong)
            host.holdingInputs["device in"] = 600;
        else if (OnHandshake(fault.kind))
            handshakeFaults_[fault.place].push_back(fault.kind);
        else
            recordFaults_[fault.place].push_back(fault.kind);
    }
}

std::vector<ScriptedReply> ContractDevice::Receive(const SentMessage& message) {
    if (message.output != "device out")
        return {};
    if (message.bytes == handshake)
        return ReceiveHandshake();
    return ReceiveRecord(message);
}

std::vector<ScriptedReply> ContractDevice::ReceiveRecord(const SentMessage& message) {
    const std::span<const std::uint8_t> digits(message.bytes.data() + 1, message.bytes.size() - 2);
    if (assembly_.Add(digits) != AssemblyStatus::Complete) {
        ADD_FAILURE() << "a record that is not one whole message";
        return {};
    }
    const Bytes record = assembly_.TakeRecord();
    const auto found = std::find(records_.begin(), records_.end(), record);
    if (found == records_.end()) {
        ADD_FAILURE() << "a record that is not in the image";
        return {};
    }
    const auto number = static_cast<std::size_t>(found - records_.begin());
    const std::optional<FaultKind> fault = Take(recordFaults_[number]);
    if (fault == FaultKind::RecordLost)
        return {};
    std::optional<std::uint8_t> code;
    if (fault == FaultKind::Refused) {
        code = crcError;
    } else if (lastAccepted_ == number) {
        if (repeats_ == Repeats::Accepts)
            code = accepted;
        else if (repeats_ == Repeats::Refuses)
            code = crcError;
    } else {
        held.push_back(number);
        lastAccepted_ = number;
        code = accepted;
    }
    if (!code)
        return {};
    return Answer(*code, fault);
}

std::vector<ScriptedReply> ContractDevice::ReceiveHandshake() {
    ++handshakes_;
    std::optional<FaultKind> fault;
    // A fault placed at handshake n strikes n and, when two are placed there, n + 1.
    for (auto& [place, faults] : handshakeFaults_) {
        if (place <= handshakes_ && !faults.empty()) {
            fault = Take(faults);
            break;
        }
    }
    if (fault == FaultKind::HandshakeLost)
        return {};
    if (fault == FaultKind::HandshakeLate)
        return Answer(updateTargetCode, FaultKind::ReplyLate600);
    if (fault == FaultKind::HandshakeTwice)
        return Answer(updateTargetCode, FaultKind::ReplyTwice);
    return Answer(updateTargetCode, std::nullopt);
}

// The answer, in order after the earlier ones, with the fault that strikes it. A free device
// answers in 20 ms and a busy one 5 ms after its previous answer; a doubled reply comes again
// 20 ms later, and a thru loop brings each copy once more 7 ms later, so that the copies fall
// between the answers to the records that follow.
std::vector<ScriptedReply> ContractDevice::Answer(std::uint8_t code,
                                                  std::optional<FaultKind> fault) {
    const std::uint64_t now = host_.Now();
    std::uint64_t delay = 20;
    if (fault == FaultKind::ReplyLate600)
        delay = 600;
    else if (fault == FaultKind::ReplyLate1200)
        delay = 1200;
    else if (fault == FaultKind::ReplyLate3000)
        delay = 3000;
    freeAt_ = std::max(now + delay, freeAt_ + 5);
    if (fault == FaultKind::ReplyLost)
        return {};
    std::vector<std::uint64_t> times = {freeAt_};
    if (fault == FaultKind::ReplyTwice)
        times.push_back(freeAt_ + 20);
    if (thruLoop_) {
        const std::size_t count = times.size();
        for (std::size_t copy = 0; copy < count; ++copy)
            times.push_back(times[copy] + 7);
    }
    std::sort(times.begin(), times.end());
    std::vector<ScriptedReply> replies;
    for (std::uint64_t time : times) {
        time = std::max(time, wireFreeAt_ + 1);
        wireFreeAt_ = time;
        replies.push_back({"device in", ReplyMessage(code), time - now});
    }
    return replies;
}
