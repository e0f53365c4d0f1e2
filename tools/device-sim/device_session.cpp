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
    if (const auto due = LetOutDue())
        consider(*due);
    return next;
}

void DeviceSession::Advance(SimulatorTime now) {
    // At equal times a reply goes out before the next message is taken in: whoever sent that
    // message may already have seen the reply.
    for (auto next = NextDue(); next && *next <= now; next = NextDue()) {
        if (LetOutDue() == *next) {
            LetOutHeldAnswers();
        } else if (!onCable_.empty() && onCable_.front().sentAt == *next) {
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

void DeviceSession::SetListened(bool listened, SimulatorTime time) {
    if (listened && !listened_)
        listenedSince_ = time;
    listened_ = listened;
}

std::optional<SimulatorTime> DeviceSession::LetOutDue() const {
    if (held_.empty() || !listened_)
        return std::nullopt;
    return listenedSince_ + *behaviour_.holdAnswers;
}

void DeviceSession::LetOutHeldAnswers() {
    events_.Log(Number(held_.size()) + " held answers let out");
    for (const Bytes& answer : held_)
        events_.SendReply(answer);
    held_.clear();
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
    lastDecisionRecord_.clear();
    const std::string line = "handshake " + Number(handshakes_) + ": ";
    const auto& replies = behaviour_.handshakeReplies;
    const std::optional<std::uint8_t> reply =
        replies.empty() ? std::nullopt
                        : replies[std::min<std::size_t>(handshakes_, replies.size()) - 1];
    if (!reply) {
        events_.Log(line + "no reply");
        return;
    }
    if (handshakes_ < behaviour_.answerFromHandshake) {
        events_.Log(line + "no reply (answers from handshake " +
                    Number(behaviour_.answerFromHandshake) + ")");
        return;
    }
    const std::uint8_t code = *reply;
    std::string note = line + "reply " + Hex(code);
    if (code == DeviceBehaviour::resetRequest)
        note += " (reset request)";
    const SimulatorTime due = now + behaviour_.handshakeDelay;
    if (behaviour_.handshakeDelay.count() > 0)
        note += " in " + Number(behaviour_.handshakeDelay.count()) + " ms";
    if (const auto repeat = behaviour_.handshakeRepeat) {
        note += ", again " + Number(repeat->count()) + " ms later";
        Schedule({code, 0, line + "reply " + Hex(code) + " again"}, due + *repeat);
    }
    events_.Log(note);
    Schedule({code, 0, ""}, due);
}

void DeviceSession::TakeDigits(std::span<const std::uint8_t> digits, SimulatorTime now) {
    const bool recordStarted = assembly_.InProgress();
    if (!recordStarted)
        lastReplyOutAtStart_ = lastDecisionSent_;
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

// Nothing on the wire numbers the records: after a refusal or a silence the updater sends the
// same record again, and after an acceptance the next one, unless it had not yet heard of the
// acceptance (the reply was late, or it took some other message for the reply) and repeats
// the record it had sent. A repeat therefore equals the accepted record, and an equal record
// that follows a reply already sent is the image's next record, which may be the same.
bool DeviceSession::IsNewRecord(const Bytes& record) const {
    if (recordNumber_ == 0)
        return true;
    // The updater sends a record whose repeat was refused again: the device still holds it.
    if (repeatRefused_)
        return record != lastDecisionRecord_;
    return lastDecisionAccepts_ && (lastReplyOutAtStart_ || record != lastDecisionRecord_);
}

void DeviceSession::AnswerRecord(const Bytes& record, SimulatorTime now) {
    // Taken before the decision changes it: the updater sent again a record that the device
    // holds, not having heard of its acceptance in time.
    const bool repeatOfAccepted = recordNumber_ > 0 && lastDecisionAccepts_ && !IsNewRecord(record);
    if (IsNewRecord(record)) {
        ++recordNumber_;
        attempt_ = 1;
    } else {
        ++attempt_;
    }
    const bool good = RecordChecksumHolds(record);
    ScriptedAction action = behaviour_.script.ActionFor(recordNumber_, attempt_);
    if (repeatOfAccepted && action.IsNormal())
        action = RepeatAction();
    const std::string attemptName =
        "record " + Number(recordNumber_) + " attempt " + Number(attempt_);
    std::string line = "record " + Number(recordNumber_) + " (" + Number(record.size()) +
                       " bytes) attempt " + Number(attempt_) + ": checksum " +
                       (good ? "good" : "bad") + ", ";
    ++decisions_;
    repeatRefused_ = false;
    lastDecisionSent_ = false;
    lastDecisionRecord_ = record;
    if (action.silent) {
        // A device that holds the record and stays silent to its repeat holds it still.
        lastDecisionAccepts_ = repeatOfAccepted;
        events_.Log(line + (repeatOfAccepted ? "silent to the repeat" : "silent (scripted)"));
        return;
    }
    const std::uint8_t code = action.code.value_or(good ? accepted : checksumError);
    lastDecisionAccepts_ = code == accepted;
    repeatRefused_ = repeatOfAccepted && !lastDecisionAccepts_;
    line += "reply " + Hex(code);
    const auto delay = action.delay.value_or(behaviour_.replyDelay);
    if (delay.count() > 0 || action.delay)
        line += " in " + Number(delay.count()) + " ms";
    if (repeatOfAccepted && behaviour_.repeatAnswer != DeviceBehaviour::RepeatAnswer::accept)
        line += " (to the repeat)";
    else if (!action.IsNormal())
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
    lastReplyDue_ = std::max(lastReplyDue_, now + delay);
    Schedule({code, decisions_, note}, lastReplyDue_);
    if (const auto repeat = behaviour_.replyRepeat)
        Schedule({code, 0, attemptName + ": reply " + Hex(code) + " again"},
                 lastReplyDue_ + *repeat);
}

ScriptedAction DeviceSession::RepeatAction() const {
    ScriptedAction action;
    switch (behaviour_.repeatAnswer) {
        case DeviceBehaviour::RepeatAnswer::accept:
            break;
        case DeviceBehaviour::RepeatAnswer::refuse:
            action.code = damaged;
            break;
        case DeviceBehaviour::RepeatAnswer::silent:
            action.silent = true;
            break;
    }
    return action;
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
    HandOver(message);
    if (reply.decision != 0 && reply.decision == decisions_)
        lastDecisionSent_ = true;
    if (!reply.sentNote.empty())
        events_.Log(reply.sentNote);
}

void DeviceSession::HandOver(std::span<const std::uint8_t> message) {
    // Behind what is held already, so that nothing overtakes it.
    if (behaviour_.holdAnswers && (!listened_ || !held_.empty())) {
        held_.emplace_back(message.begin(), message.end());
        events_.Log("reply held: nothing listens");
        return;
    }
    events_.SendReply(message);
}
