#include "device_session.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

namespace {

constexpr std::array<std::uint8_t, 7> handshake = {0x53, 0x2F, 0x6B, 0x31, 0x4E, 0x25, 0x39};
constexpr std::size_t replySize = 3;

std::string Hex(std::uint8_t value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value);
    return text;
}

std::string Number(std::size_t value) {
    return std::to_string(value);
}

// The data bytes of a System Exclusive message; nothing for other messages.
std::optional<std::span<const std::uint8_t>> DataBytes(std::span<const std::uint8_t> message) {
    if (message.empty() || message.front() != 0xF0)
        return std::nullopt;
    std::span<const std::uint8_t> data = message.subspan(1);
    if (!data.empty() && data.back() == 0xF7)
        data = data.first(data.size() - 1);
    return data;
}

}  // namespace

SimulatorTime DinCable::Cross(SimulatorTime ready, std::size_t bytes) {
    if (!paced_)
        return ready;
    free_ = std::max(ready, free_) + byteTime * static_cast<SimulatorTime::rep>(bytes);
    return free_;
}

DeviceSession::DeviceSession(DeviceBehaviour behaviour, DeviceEvents& events)
    : behaviour_(std::move(behaviour)),
      events_(events),
      inCable_(behaviour_.dinCable),
      outCable_(behaviour_.dinCable) {}

void DeviceSession::Receive(std::span<const std::uint8_t> message, SimulatorTime arrival) {
    const SimulatorTime takenAt = inCable_.Cross(arrival, message.size());
    received_.push_back({Bytes(message.begin(), message.end()), takenAt});
}

std::optional<SimulatorTime> DeviceSession::NextDue() const {
    std::optional<SimulatorTime> next;
    const auto consider = [&next](SimulatorTime time) {
        if (!next || time < *next)
            next = time;
    };
    if (!onCable_.empty())
        consider(onCable_.front().sentAt);
    if (!delayed_.empty())
        consider(delayed_.begin()->first);
    if (!received_.empty())
        consider(received_.front().takenAt);
    return next;
}

void DeviceSession::Advance(SimulatorTime now) {
    // At equal times a reply goes out before the next message is taken in: whoever sent that
    // message may already have seen the reply.
    for (auto next = NextDue(); next && *next <= now; next = NextDue()) {
        if (!onCable_.empty() && onCable_.front().sentAt == *next) {
            const OnCable item = std::move(onCable_.front());
            onCable_.pop_front();
            Send(item.reply);
        } else if (!delayed_.empty() && delayed_.begin()->first == *next) {
            auto node = delayed_.extract(delayed_.begin());
            PutOnCable(std::move(node.mapped()), *next);
        } else {
            const Received item = std::move(received_.front());
            received_.pop_front();
            Process(item.message, *next);
        }
    }
}

void DeviceSession::Process(std::span<const std::uint8_t> message, SimulatorTime now) {
    const auto data = DataBytes(message);
    if (!data)
        return;
    if (assembly_.InProgress() && now - lastDigitsAt_ > staleRecord) {
        events_.Log("record dropped after a silence, at " + HeldDigits());
        assembly_.Clear();
    }
    if (std::ranges::equal(*data, handshake)) {
        if (assembly_.InProgress()) {
            events_.Log("record dropped for a handshake, at " + HeldDigits());
            assembly_.Clear();
        }
        AnswerHandshake(now);
        return;
    }
    if (data->empty()) {
        events_.Log("message without data ignored");
        return;
    }
    TakeDigits(*data, now);
}

std::string DeviceSession::HeldDigits() const {
    std::string text = Number(assembly_.HeldDigits());
    if (assembly_.ExpectedDigits() > 0)
        text += " of " + Number(assembly_.ExpectedDigits());
    return text + " digits";
}

void DeviceSession::AnswerHandshake(SimulatorTime now) {
    ++handshakes_;
    // A handshake opens a new update, whose records count from 1 again.
    recordNumber_ = 0;
    attempt_ = 0;
    lastKeptRecord_ = 0;
    lastDecisionAccepts_ = false;
    lastDecisionSent_ = false;
    const std::string line = "handshake " + Number(handshakes_) + ": ";
    if (!behaviour_.handshakeReply) {
        events_.Log(line + "no reply (never answers)");
        return;
    }
    if (handshakes_ < behaviour_.answerFromHandshake) {
        events_.Log(line + "no reply (answers from handshake " +
                    Number(behaviour_.answerFromHandshake) + ")");
        return;
    }
    const std::uint8_t code = *behaviour_.handshakeReply;
    events_.Log(line + "reply " + Hex(code) +
                (code == DeviceBehaviour::resetRequest ? " (reset request)" : ""));
    Schedule({code, 0, ""}, now);
}

void DeviceSession::TakeDigits(std::span<const std::uint8_t> digits, SimulatorTime now) {
    const bool recordStarted = assembly_.InProgress();
    if (!recordStarted) {
        receptionIsNewRecord_ = recordNumber_ == 0 || (lastDecisionAccepts_ && lastDecisionSent_);
    }
    const std::string heldBefore = HeldDigits();
    switch (assembly_.Add(digits)) {
        case AssemblyStatus::NotHexadecimal:
            events_.Log(recordStarted
                            ? "message with non-hexadecimal data: record dropped, at " + heldBefore
                            : "message with non-hexadecimal data ignored");
            return;
        case AssemblyStatus::Incomplete:
            lastDigitsAt_ = now;
            return;
        case AssemblyStatus::Complete:
            break;
    }
    const std::size_t ignored = assembly_.IgnoredDigits();
    const Bytes record = assembly_.TakeRecord();
    if (ignored > 0)
        events_.Log(Number(ignored) + " digits after the end of a record ignored");
    AnswerRecord(record, now);
}

void DeviceSession::AnswerRecord(const Bytes& record, SimulatorTime now) {
    if (receptionIsNewRecord_) {
        ++recordNumber_;
        attempt_ = 1;
    } else {
        ++attempt_;
    }
    const bool good = RecordChecksumHolds(record);
    const ScriptedAction action = behaviour_.script.ActionFor(recordNumber_, attempt_);
    const std::string attemptName =
        "record " + Number(recordNumber_) + " attempt " + Number(attempt_);
    std::string line = "record " + Number(recordNumber_) + " (" + Number(record.size()) +
                       " bytes) attempt " + Number(attempt_) + ": checksum " +
                       (good ? "good" : "bad") + ", ";
    ++decisions_;
    lastDecisionSent_ = false;
    if (action.silent) {
        lastDecisionAccepts_ = false;
        events_.Log(line + "silent (scripted)");
        return;
    }
    const std::uint8_t code = action.code.value_or(good ? accepted : checksumError);
    lastDecisionAccepts_ = code == accepted;
    line += "reply " + Hex(code);
    if (action.delay)
        line += " in " + Number(action.delay->count()) + " ms";
    if (!action.IsNormal())
        line += " (scripted)";
    // A device that restarts has taken the record that it answers so.
    const bool kept = code == accepted || (code == restarting && good);
    if (kept && recordNumber_ > lastKeptRecord_) {
        lastKeptRecord_ = recordNumber_;
        ++acceptedRecords_;
        acceptedBytes_ += record.size();
        events_.AcceptRecord(record);
        line += ", accepted";
    }
    events_.Log(line);
    const std::string note =
        action.delay ? attemptName + ": late reply " + Hex(code) + " sent" : "";
    Schedule({code, decisions_, note}, now + action.delay.value_or(std::chrono::milliseconds(0)));
}

void DeviceSession::Schedule(Reply reply, SimulatorTime due) {
    delayed_.emplace(due, std::move(reply));
}

void DeviceSession::PutOnCable(Reply reply, SimulatorTime due) {
    const SimulatorTime sentAt = outCable_.Cross(due, replySize);
    onCable_.push_back({std::move(reply), sentAt});
}

void DeviceSession::Send(const Reply& reply) {
    const std::array<std::uint8_t, replySize> message = {0xF0, reply.code, 0xF7};
    events_.SendReply(message);
    if (reply.decision != 0 && reply.decision == decisions_)
        lastDecisionSent_ = true;
    if (!reply.sentNote.empty())
        events_.Log(reply.sentNote);
}
