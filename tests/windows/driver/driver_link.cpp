// The driver's thread: plays what the program sends at the pace of a DIN cable, runs the
// device, carries its replies back over a cable of their own, plays the instrument, and
// echoes what the MIDI Service's loopbacks are sent.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "test_midi_driver.h"

namespace {

constexpr const char* synthPortName = "Microsoft GS Wavetable Synth";
// The MIDI Service's default loopbacks, as its default configuration names them.
constexpr const char* loopbackA = "Default App Loopback (A)";
constexpr const char* loopbackB = "Default App Loopback (B)";
constexpr const char* basicLoopback = "Default Basic App Loopback";
constexpr SimulatorTime instrumentPeriod = std::chrono::milliseconds(4);
// A System Exclusive message under the non-commercial identifier 7D.
constexpr std::array<std::uint8_t, 6> instrumentMessage = {0xF0, 0x7D, 0x01, 0x02, 0x03, 0xF7};
// A timed wait ends up to a scheduler tick late, so waits end this long before a due time
// and the rest is spun: a message is done at its due time.
constexpr SimulatorTime spinAhead = std::chrono::microseconds(3000);

}  // namespace

void TestMidiDriver::AddWindowsPorts() {
    outputs_.push_back({.name = synthPortName, .role = Role::synth});
    if (stack_ != MidiStack::service)
        return;
    // Each loopback's output echoes to the input of its other side.
    const std::size_t first = inputs_.size();
    const std::size_t echoes[] = {first + 1, first, first + 2};
    for (const char* name : {loopbackA, loopbackB, basicLoopback}) {
        inputs_.push_back({.name = name, .role = Role::loopback});
        outputs_.push_back({.name = name, .role = Role::loopback});
        outputs_.back().echoInput = echoes[inputs_.size() - 1 - first];
    }
}

void TestMidiDriver::Run() {
    Notices notices;
    for (;;) {
        std::uint64_t seen;
        std::optional<SimulatorTime> next;
        {
            const std::lock_guard lock(mutex_);
            seen = changes_;
            Step(Now(), notices);
            next = NextDue();
        }
        if (!notices.empty()) {
            Send(notices);
            notices.clear();
            continue;
        }
        const auto woken = [&] { return changes_ != seen; };
        {
            std::unique_lock lock(mutex_);
            if (!next)
                changed_.wait(lock, woken);
            else if (*next - Now() > spinAhead)
                changed_.wait_until(lock, start_ + (*next - spinAhead), woken);
        }
        while (next && Now() < *next && !woken())
            std::this_thread::yield();
    }
}

void TestMidiDriver::Step(SimulatorTime now, Notices& notices) {
    for (OutputPort& port : outputs_)
        PlayOut(port, now, notices);
    // The device's interface listens for the program while the program's input is started: the
    // device keeps its answers until then, as a USB interface may (--hold-replies).
    const InputPort& deviceInput = inputs_.back();
    session_.SetListened(deviceInput.started, deviceInput.started ? deviceInput.startedAt : now);
    session_.Advance(now);
    DeliverReplies(now, notices);
    PlayInstrument(now, notices);
    SendLateNotices(now, notices);
}

std::optional<SimulatorTime> TestMidiDriver::NextDue() const {
    std::optional<SimulatorTime> next = session_.NextDue();
    const auto consider = [&next](SimulatorTime time) {
        if (!next || time < *next)
            next = time;
    };
    for (const OutputPort& port : outputs_) {
        if (!port.queue.empty() && port.queue.front().due != SimulatorTime::max())
            consider(port.queue.front().due);
        for (const Playing& playing : port.queue) {
            if (playing.blocking && !playing.handedBack && playing.takenAt != SimulatorTime::max())
                consider(playing.takenAt);
        }
    }
    if (!replies_.empty())
        consider(replies_.front().due);
    if (!lateNotices_.empty())
        consider(lateNotices_.front().first);
    if (options_.instrument && inputs_.front().started)
        consider(nextInstrumentMessage_);
    return next;
}

void TestMidiDriver::PlayOut(OutputPort& port, SimulatorTime now, Notices& notices) {
    for (Playing& playing : port.queue) {
        if (playing.blocking && !playing.handedBack && playing.takenAt <= now) {
            HandBack(playing);
            ++port.handedBack;
            port.handBackLateness += now - playing.takenAt;
            port.latestHandBack = std::max(port.latestHandBack, now - playing.takenAt);
        }
    }
    while (!port.queue.empty() && port.queue.front().due <= now) {
        const Playing playing = std::move(port.queue.front());
        port.queue.pop_front();
        MIDIHDR* header = playing.header;
        // Taken before the header is marked done: from then on the buffer is the program's.
        const auto* data = reinterpret_cast<const std::uint8_t*>(header->lpData);
        const std::span<const std::uint8_t> bytes =
            playing.handedBack ? std::span(playing.bytes) : std::span(data, header->dwBufferLength);
        if (port.role == Role::device) {
            // The device answers from the moment the last byte came, however late this thread
            // got to it: a busy machine would otherwise add its delays to every round trip.
            receivedAt_ = playing.due;
            session_.Receive(bytes, playing.due);
            receivedAt_.reset();
        } else if (port.echoInput) {
            Echo(port, bytes, now, notices);
        }
        ++port.played;
        port.lateness += now - playing.due;
        port.latest = std::max(port.latest, now - playing.due);
        if (playing.blocking)
            continue;
        header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        notices.push_back({port.client, MOM_DONE, reinterpret_cast<DWORD_PTR>(header), 0});
    }
}

// The interface has the whole message: its bytes play on from a copy, and the blocked send
// may return.
void TestMidiDriver::HandBack(Playing& playing) {
    MIDIHDR* header = playing.header;
    const auto* data = reinterpret_cast<const std::uint8_t*>(header->lpData);
    playing.bytes.assign(data, data + header->dwBufferLength);
    playing.handedBack = true;
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    handedBack_.notify_all();
}

void TestMidiDriver::Echo(const OutputPort& port, std::span<const std::uint8_t> message,
                          SimulatorTime now, Notices& notices) {
    InputPort& input = inputs_[*port.echoInput];
    const std::string line = Name(port) + ": echo " + HexBytes(message) + " to " + Name(input);
    log_.Write(now,
               line + (Deliver(input, message, false, now, notices) ? " delivered" : " dropped"));
}

void TestMidiDriver::DeliverReplies(SimulatorTime now, Notices& notices) {
    InputPort& port = inputs_.back();
    while (!replies_.empty() && replies_.front().due <= now) {
        Reply reply = std::move(replies_.front());
        replies_.pop_front();
        const std::string line = Name(port) + ": reply " + HexBytes(reply.message);
        // A damaged message lacks its end: the cable dropped the closing F7.
        const std::span<const std::uint8_t> bytes =
            std::span(reply.message).first(reply.message.size() - (reply.damaged ? 1 : 0));
        if (!Deliver(port, bytes, reply.damaged, now, notices)) {
            log_.Write(now, line + " dropped, the port had no buffer queued and started");
        } else if (reply.damaged) {
            log_.Write(now,
                       line + " damaged on the way: " + HexBytes(bytes) + " with MIM_LONGERROR");
        } else {
            log_.Write(now, line + " delivered");
        }
        ++repliesDelivered_;
        replyLateness_ += now - reply.due;
        lastReplyAt_ = now;
    }
}

void TestMidiDriver::PlayInstrument(SimulatorTime now, Notices& notices) {
    if (!options_.instrument || !inputs_.front().started || nextInstrumentMessage_ > now)
        return;
    // A message that finds no buffer is lost, as on Windows.
    Deliver(inputs_.front(), instrumentMessage, false, now, notices);
    nextInstrumentMessage_ = now + instrumentPeriod;
}

bool TestMidiDriver::Deliver(InputPort& port, std::span<const std::uint8_t> message, bool damaged,
                             SimulatorTime now, Notices& notices) {
    if (!port.open || !port.started || port.buffers.empty())
        return false;
    MIDIHDR* header = port.buffers.front();
    port.buffers.pop_front();
    const std::size_t length = std::min<std::size_t>(message.size(), header->dwBufferLength);
    std::memcpy(header->lpData, message.data(), length);
    header->dwBytesRecorded = static_cast<DWORD>(length);
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    if (port.closeRequested)
        log_.Write(now, Name(port) + ": message " + HexBytes(message) + " delivered after a close");
    const auto timestamp = static_cast<DWORD_PTR>((now - port.startedAt).count() / 1000);
    notices.push_back({port.client, damaged ? static_cast<UINT>(MIM_LONGERROR) : MIM_LONGDATA,
                       reinterpret_cast<DWORD_PTR>(header), timestamp});
    return true;
}

void TestMidiDriver::SendLateNotices(SimulatorTime now, Notices& notices) {
    while (!lateNotices_.empty() && lateNotices_.front().first <= now) {
        notices.push_back(lateNotices_.front().second);
        lateNotices_.pop_front();
    }
}

void TestMidiDriver::SendReply(std::span<const std::uint8_t> message) {
    ++repliesSent_;
    const SimulatorTime arrives = replyCable_.Cross(receivedAt_.value_or(Now()), message.size());
    replies_.push_back(
        {Bytes(message.begin(), message.end()), arrives, repliesSent_ == options_.damagedReply});
}

void TestMidiDriver::AcceptRecord(std::span<const std::uint8_t> record) {
    if (!accepted_.is_open())
        return;
    accepted_.write(reinterpret_cast<const char*>(record.data()),
                    static_cast<std::streamsize>(record.size()));
    accepted_.flush();
}

void TestMidiDriver::Note(const std::string& line) {
    log_.Write(Now(), line);
}

void TestMidiDriver::Log(const std::string& line) {
    log_.Write(Now(), "device: " + line);
}

void TestMidiDriver::Changed() {
    ++changes_;
    changed_.notify_one();
}

SimulatorTime TestMidiDriver::Now() const {
    return std::chrono::duration_cast<SimulatorTime>(std::chrono::steady_clock::now() - start_);
}
