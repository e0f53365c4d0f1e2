#include "test_midi_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

// winmm exports it for drivers; MinGW's headers leave it out.
extern "C" BOOL WINAPI DriverCallback(DWORD_PTR callback, DWORD flags, HDRVR device, DWORD message,
                                      DWORD_PTR instance, DWORD_PTR parameter1,
                                      DWORD_PTR parameter2);

namespace {

constexpr const char* devicePortName = "TV615R Device";
constexpr const char* instrumentPortName = "Keyboard";
// What a USB MIDI interface holds of what it plays: one full-speed bulk packet of sixteen
// four-byte USB MIDI events, three MIDI bytes each. A blocking send returns once no more than
// this much of its message is left to play.
constexpr std::size_t interfaceBytes = 48;
// How long after marking a header done the blocking send makes its MOM_DONE.
constexpr auto doneNoticeDelay = std::chrono::microseconds(500);
// Native Windows may mark an input's header done before it tells the callback (Wine's
// dlls/winmm/tests/midi.c: "transient delayed notification, mostly on native"): after a reset,
// a program that reads the flags finds its buffer back while the notice is still to come, and
// may close the port before it comes. The older stack's reset lets its thread call back this
// long after. A message's notice comes at once: there the delay would only add to every
// reply's time, and a program waits for the notice, not the flags.
constexpr SimulatorTime resetNoticeDelay = std::chrono::microseconds(200);

DeviceBehaviour PlayedUnpaced(DeviceBehaviour behaviour) {
    // The driver paces both cables itself; the session only decides.
    behaviour.dinCable = false;
    return behaviour;
}

MMRESULT Prepare(MIDIHDR& header) {
    header.dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT Unprepare(MIDIHDR& header) {
    if (header.dwFlags & MHDR_INQUEUE)
        return MIDIERR_STILLPLAYING;
    header.dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

}  // namespace

TestMidiDriver::TestMidiDriver(const ParsedDriverOptions& parsed, MidiStack stack)
    : options_(parsed.options),
      stack_(stack),
      start_(std::chrono::steady_clock::now()),
      session_(PlayedUnpaced(options_.device.behaviour), *this) {
    log_.Open(options_.logPath);
    if (!parsed.error.empty()) {
        // No ports at all: the scenario cannot be played, and the program will say so.
        log_.Write(Now(), "options: " + parsed.error);
        std::fprintf(stderr, "test MIDI driver: %s\n", parsed.error.c_str());
        return;
    }
    if (!options_.device.acceptedPath.empty()) {
        accepted_.open(options_.device.acceptedPath, std::ios::binary | std::ios::trunc);
        if (!accepted_)
            log_.Write(Now(), "cannot write " + options_.device.acceptedPath);
    }
    if (options_.instrument)
        inputs_.push_back({.name = instrumentPortName, .role = Role::instrument});
    if (options_.windowsPorts)
        AddWindowsPorts();
    for (std::uint32_t pair = 1; pair <= options_.device.extraPorts; ++pair) {
        inputs_.push_back({.name = "Decoy In " + std::to_string(pair), .role = Role::decoy});
        outputs_.push_back({.name = "Decoy Out " + std::to_string(pair), .role = Role::decoy});
    }
    inputs_.push_back({.name = devicePortName, .role = Role::device});
    outputs_.push_back({.name = devicePortName, .role = Role::device});
    log_.Write(Now(), std::to_string(inputs_.size()) + " inputs, " +
                          std::to_string(outputs_.size()) + " outputs");
    std::thread([this] { Run(); }).detach();
}

DWORD TestMidiDriver::InputMessage(UINT port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                                   DWORD_PTR parameter2) {
    return Dispatch(inputs_, MIDM_GETNUMDEVS, port, message, user, parameter1, parameter2);
}

DWORD TestMidiDriver::OutputMessage(UINT port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                                    DWORD_PTR parameter2) {
    const DWORD result =
        Dispatch(outputs_, MODM_GETNUMDEVS, port, message, user, parameter1, parameter2);
    if (stack_ == MidiStack::classic && message == MODM_LONGDATA && result == MMSYSERR_NOERROR)
        AwaitTaken(outputs_[port], reinterpret_cast<MIDIHDR*>(parameter1));
    return result;
}

void TestMidiDriver::AwaitTaken(const OutputPort& port, MIDIHDR* header) {
    Client client;
    {
        std::unique_lock lock(mutex_);
        handedBack_.wait(lock, [header] { return (header->dwFlags & MHDR_DONE) != 0; });
        client = port.client;
    }
    const LPSTR data = header->lpData;
    std::this_thread::sleep_for(doneNoticeDelay);
    // The header is the program's again, but a program that reuses it before the notice loses
    // track of which message the notice is for.
    if ((header->dwFlags & (MHDR_DONE | MHDR_INQUEUE)) != MHDR_DONE || header->lpData != data)
        log_.Write(Now(), Name(port) + ": header changed before its MOM_DONE");
    Send({{client, MOM_DONE, reinterpret_cast<DWORD_PTR>(header), 0}});
}

template <typename Port>
DWORD TestMidiDriver::Dispatch(std::vector<Port>& ports, UINT countMessage, UINT port, UINT message,
                               DWORD_PTR user, DWORD_PTR parameter1, DWORD_PTR parameter2) {
    if (message == countMessage)
        return static_cast<DWORD>(ports.size());
    if (port >= ports.size())
        return MMSYSERR_BADDEVICEID;
    Notices notices;
    DWORD result;
    {
        const std::lock_guard lock(mutex_);
        result = Handle(ports[port], message, user, parameter1, parameter2, notices);
    }
    Send(notices);
    return result;
}

template <typename Port>
DWORD TestMidiDriver::Open(Port& port, DWORD_PTR user, DWORD_PTR parameter1, DWORD_PTR parameter2,
                           UINT openNotice, Notices& notices) {
    if (port.open) {
        log_.Write(Now(), Name(port) + ": open refused, in use");
        return MMSYSERR_ALLOCATED;
    }
    const auto* description = reinterpret_cast<const MIDIOPENDESC*>(parameter1);
    port.client = {description->hMidi, description->dwCallback, description->dwInstance,
                   static_cast<DWORD>(parameter2)};
    *reinterpret_cast<DWORD_PTR*>(user) = 0;
    port.open = true;
    log_.Write(Now(), Name(port) + ": open");
    notices.push_back({port.client, openNotice, 0, 0});
    return MMSYSERR_NOERROR;
}

DWORD TestMidiDriver::Handle(InputPort& port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                             DWORD_PTR parameter2, Notices& notices) {
    if (message == MIDM_GETDEVCAPS) {
        MIDIINCAPSW capabilities{};
        FillCapabilities(capabilities, port.name);
        std::memcpy(reinterpret_cast<void*>(parameter1), &capabilities,
                    std::min<std::size_t>(parameter2, sizeof capabilities));
        return MMSYSERR_NOERROR;
    }
    if (message == MIDM_OPEN) {
        const DWORD result = Open(port, user, parameter1, parameter2, MIM_OPEN, notices);
        if (result == MMSYSERR_NOERROR) {
            port.started = false;
            port.closeRequested = false;
        }
        return result;
    }
    if (!port.open)
        return MMSYSERR_INVALHANDLE;
    auto* header = reinterpret_cast<MIDIHDR*>(parameter1);
    switch (message) {
        case MIDM_CLOSE:
            return Close(port, notices);
        case MIDM_PREPARE:
            if (const MMRESULT result = CheckHeader(parameter1, parameter2))
                return result;
            return Prepare(*header);
        case MIDM_UNPREPARE:
            if (const MMRESULT result = CheckHeader(parameter1, parameter2))
                return result;
            return Unprepare(*header);
        case MIDM_ADDBUFFER: {
            if (const MMRESULT result = CheckHeader(parameter1, parameter2))
                return result;
            if (const MMRESULT result = CheckQueueable(*header))
                return result;
            header->dwFlags = (header->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
            header->dwBytesRecorded = 0;
            port.buffers.push_back(header);
            return MMSYSERR_NOERROR;
        }
        case MIDM_START:
            if (!port.started) {
                port.started = true;
                port.startedAt = Now();
                if (port.role == Role::instrument)
                    nextInstrumentMessage_ = port.startedAt;
                Changed();
            }
            return MMSYSERR_NOERROR;
        case MIDM_STOP:
            port.started = false;
            return MMSYSERR_NOERROR;
        case MIDM_RESET:
            Reset(port, notices);
            return MMSYSERR_NOERROR;
        default:
            return MMSYSERR_NOTSUPPORTED;
    }
}

DWORD TestMidiDriver::Handle(OutputPort& port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                             DWORD_PTR parameter2, Notices& notices) {
    if (message == MODM_GETDEVCAPS) {
        MIDIOUTCAPSW capabilities{};
        FillCapabilities(capabilities, port.name);
        capabilities.wTechnology = MOD_MIDIPORT;
        capabilities.wChannelMask = 0xFFFF;
        std::memcpy(reinterpret_cast<void*>(parameter1), &capabilities,
                    std::min<std::size_t>(parameter2, sizeof capabilities));
        return MMSYSERR_NOERROR;
    }
    if (message == MODM_OPEN) {
        const DWORD result = Open(port, user, parameter1, parameter2, MOM_OPEN, notices);
        if (result == MMSYSERR_NOERROR) {
            port.played = 0;
            port.lateness = SimulatorTime{0};
            port.latest = SimulatorTime{0};
            port.handedBack = 0;
            port.idle = SimulatorTime{0};
            port.lastDue = SimulatorTime{0};
            port.handBackLateness = SimulatorTime{0};
            port.latestHandBack = SimulatorTime{0};
        }
        return result;
    }
    if (!port.open)
        return MMSYSERR_INVALHANDLE;
    auto* header = reinterpret_cast<MIDIHDR*>(parameter1);
    switch (message) {
        case MODM_CLOSE:
            return Close(port, notices);
        case MODM_PREPARE:
            if (const MMRESULT result = CheckHeader(parameter1, parameter2))
                return result;
            return Prepare(*header);
        case MODM_UNPREPARE:
            if (const MMRESULT result = CheckHeader(parameter1, parameter2))
                return result;
            return Unprepare(*header);
        case MODM_DATA:
            return MMSYSERR_NOERROR;
        case MODM_LONGDATA:
            if (const MMRESULT result = CheckHeader(parameter1, parameter2))
                return result;
            return Play(port, header);
        case MODM_RESET:
            Reset(port, notices);
            return MMSYSERR_NOERROR;
        default:
            return MMSYSERR_NOTSUPPORTED;
    }
}

DWORD TestMidiDriver::Close(InputPort& port, Notices& notices) {
    port.closeRequested = true;
    if (!port.buffers.empty()) {
        log_.Write(Now(), Name(port) + ": close refused, " + std::to_string(port.buffers.size()) +
                              " buffers queued");
        return MIDIERR_STILLPLAYING;
    }
    port.open = false;
    port.started = false;
    std::string lateness;
    if (port.role == Role::device && repliesDelivered_ != 0) {
        lateness = "; " + std::to_string(repliesDelivered_) + " replies handed over " +
                   std::to_string(replyLateness_.count() / repliesDelivered_) +
                   " us after they came on average, the next message sent " +
                   std::to_string(turnarounds_ == 0 ? 0 : turnaround_.count() / turnarounds_) +
                   " us after a reply on average";
    }
    log_.Write(Now(), Name(port) + ": closed" + lateness);
    notices.push_back({port.client, MIM_CLOSE, 0, 0});
    return MMSYSERR_NOERROR;
}

DWORD TestMidiDriver::Close(OutputPort& port, Notices& notices) {
    // What the interface has taken plays on after the close: the driver holds no header of it.
    const auto held = std::ranges::count(port.queue, false, &Playing::handedBack);
    if (held != 0) {
        log_.Write(Now(),
                   Name(port) + ": close refused, " + std::to_string(held) + " messages queued");
        return MIDIERR_STILLPLAYING;
    }
    port.open = false;
    const auto lateness = port.played == 0 ? 0 : port.lateness.count() / port.played;
    std::string handBack;
    if (port.handedBack != 0) {
        handBack = "; sends returned " +
                   std::to_string(port.handBackLateness.count() / port.handedBack) +
                   " us after the interface took them on average, " +
                   std::to_string(port.latestHandBack.count()) + " us at most; the cable idle " +
                   std::to_string(port.idle.count()) +
                   " us in all between messages with no reply between them";
    }
    log_.Write(Now(), Name(port) + ": closed; " + std::to_string(port.played) +
                          " messages played, marked done " + std::to_string(lateness) +
                          " us after their end on average, " + std::to_string(port.latest.count()) +
                          " us at most" + handBack);
    notices.push_back({port.client, MOM_CLOSE, 0, 0});
    return MMSYSERR_NOERROR;
}

void TestMidiDriver::Reset(InputPort& port, Notices& notices) {
    port.started = false;
    const SimulatorTime now = Now();
    const auto timestamp = static_cast<DWORD_PTR>((now - port.startedAt).count() / 1000);
    for (MIDIHDR* header : port.buffers) {
        header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        const Notice notice{port.client, MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header),
                            timestamp};
        if (stack_ == MidiStack::classic)
            lateNotices_.emplace_back(now + resetNoticeDelay, notice);
        else
            notices.push_back(notice);
    }
    // The driver's thread sends the late ones.
    if (!lateNotices_.empty())
        Changed();
    log_.Write(Now(), Name(port) + ": reset, " + std::to_string(port.buffers.size()) +
                          " buffers handed back");
    port.buffers.clear();
}

void TestMidiDriver::Reset(OutputPort& port, Notices& notices) {
    for (const Playing& playing : port.queue) {
        if (playing.handedBack)
            continue;
        playing.header->dwFlags = (playing.header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        // A blocked send makes its own notice once it returns.
        if (!playing.blocking)
            notices.push_back(
                {port.client, MOM_DONE, reinterpret_cast<DWORD_PTR>(playing.header), 0});
    }
    handedBack_.notify_all();
    log_.Write(Now(), Name(port) + ": reset, " + std::to_string(port.queue.size()) +
                          " messages handed back");
    port.queue.clear();
    // What was on the cable is cut off; the next message starts at once.
    port.cable = DinCable(true);
    Changed();
}

DWORD TestMidiDriver::Play(OutputPort& port, MIDIHDR* header) {
    if (const MMRESULT result = CheckQueueable(*header))
        return result;
    header->dwFlags = (header->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
    const SimulatorTime now = Now();
    const std::size_t length = header->dwBufferLength;
    // The synthesizer and the loopbacks are software: nothing paces them.
    const bool cabled = port.role == Role::device || port.role == Role::decoy;
    SimulatorTime due = cabled ? port.cable.Cross(now, length) : now;
    if (port.role == Role::device && lastReplyAt_) {
        ++turnarounds_;
        turnaround_ += now - *lastReplyAt_;
        lastReplyAt_.reset();
    } else if (port.role == Role::device && port.lastDue != SimulatorTime{0} &&
               now > port.lastDue) {
        // Between two messages with no reply between them (in a whole transfer, the messages of
        // one record): the cable waited for the program.
        port.idle += now - port.lastDue;
    }
    port.lastDue = due;
    if (port.role == Role::device && options_.stallAfterMessages != 0 &&
        ++messagesToDevice_ > options_.stallAfterMessages) {
        if (messagesToDevice_ == options_.stallAfterMessages + 1) {
            log_.Write(Now(), Name(port) + ": stalled from message " +
                                  std::to_string(messagesToDevice_) + " on");
        }
        due = SimulatorTime::max();
    }
    Playing playing{header, due};
    if (stack_ == MidiStack::classic) {
        playing.blocking = true;
        const SimulatorTime rest = DinCable::byteTime * std::min(length, interfaceBytes);
        playing.takenAt = due == SimulatorTime::max() || !cabled ? due : std::max(now, due - rest);
    }
    port.queue.push_back(std::move(playing));
    Changed();
    return MMSYSERR_NOERROR;
}

std::string TestMidiDriver::Name(const InputPort& port) const {
    return "input " + std::to_string(&port - inputs_.data()) + " " + port.name;
}

std::string TestMidiDriver::Name(const OutputPort& port) const {
    return "output " + std::to_string(&port - outputs_.data()) + " " + port.name;
}

void TestMidiDriver::Send(const Notices& notices) {
    for (const Notice& notice : notices) {
        DriverCallback(notice.client.callback, HIWORD(notice.client.flags),
                       reinterpret_cast<HDRVR>(notice.client.handle), notice.message,
                       notice.client.instance, notice.parameter1, notice.parameter2);
    }
}
