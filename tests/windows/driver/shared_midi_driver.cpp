#include "shared_midi_driver.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <utility>

// winmm exports it for drivers; MinGW's headers leave it out.
extern "C" BOOL WINAPI DriverCallback(DWORD_PTR callback, DWORD flags, HDRVR device, DWORD message,
                                      DWORD_PTR instance, DWORD_PTR parameter1,
                                      DWORD_PTR parameter2);

namespace {

// Past the device process's own 1 s, so that only a device process that is gone ends a wait.
constexpr auto longestSendWait = std::chrono::seconds(5);
constexpr int connectAttempts = 10;
constexpr DWORD pipeWait = 2000;
// A reset that has handed back this many buffers is being fed by the callback.
constexpr std::size_t resetRoundsNoted = 1000;

template <typename Capabilities>
DWORD AnswerCapabilities(DWORD_PTR parameter1, DWORD_PTR parameter2, const std::string& name) {
    Capabilities capabilities{};
    FillCapabilities(capabilities, name);
    std::memcpy(reinterpret_cast<void*>(parameter1), &capabilities,
                std::min<std::size_t>(parameter2, sizeof capabilities));
    return MMSYSERR_NOERROR;
}

MMRESULT Queueable(DWORD_PTR parameter1, DWORD_PTR parameter2) {
    if (const MMRESULT result = CheckHeader(parameter1, parameter2))
        return result;
    return CheckQueueable(*reinterpret_cast<const MIDIHDR*>(parameter1));
}

DWORD Prepare(DWORD_PTR parameter1, DWORD_PTR parameter2, bool prepared) {
    if (const MMRESULT result = CheckHeader(parameter1, parameter2))
        return result;
    auto& header = *reinterpret_cast<MIDIHDR*>(parameter1);
    if (!prepared && (header.dwFlags & MHDR_INQUEUE))
        return MIDIERR_STILLPLAYING;
    header.dwFlags = prepared ? header.dwFlags | MHDR_PREPARED : header.dwFlags & ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

// The bytes of a packed short message: its status says how many.
std::vector<std::uint8_t> ShortMessage(DWORD packed) {
    const std::uint8_t status = packed & 0xFF;
    std::size_t length = 3;
    if (status >= 0xF4 || status == 0xF6)
        length = 1;
    else if ((status & 0xE0) == 0xC0 || status == 0xF1 || status == 0xF3)
        length = 2;
    std::vector<std::uint8_t> bytes;
    for (std::size_t index = 0; index < length; ++index)
        bytes.push_back(static_cast<std::uint8_t>(packed >> (8 * index)));
    return bytes;
}

// The MIDI Service's name for a number without a port, answered with MMSYSERR_NODRIVER.
constexpr const char* unavailableName = "(unavailable)";

std::string ResultName(MMRESULT result) {
    switch (result) {
        case MMSYSERR_ERROR:
            return "MMSYSERR_ERROR";
        case MMSYSERR_NODRIVER:
            return "MMSYSERR_NODRIVER";
        default:
            return "error " + std::to_string(result);
    }
}

}  // namespace

SharedMidiDriver::SharedMidiDriver(const ParsedDriverOptions& parsed)
    : options_(parsed.options), start_(std::chrono::steady_clock::now()) {
    log_.Open(options_.logPath);
    if (!parsed.error.empty()) {
        log_.Write(Now(), "options: " + parsed.error);
        return;
    }
    if (!Connect()) {
        log_.Write(Now(), "no device process on " + PipePath(options_.pipeName));
        return;
    }
    log_.Write(Now(), std::to_string(inputs_.size()) + " inputs, " +
                          std::to_string(outputs_.size()) + " outputs, shared");
    std::thread([this] { Listen(); }).detach();
}

bool SharedMidiDriver::Connect() {
    const std::string path = PipePath(options_.pipeName);
    HANDLE pipe = INVALID_HANDLE_VALUE;
    // Another program may be taking the instance that waits for a client: the device process
    // makes the next one at once.
    for (int attempt = 0; attempt < connectAttempts && pipe == INVALID_HANDLE_VALUE; ++attempt) {
        pipe = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe == INVALID_HANDLE_VALUE &&
            (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeA(path.c_str(), pipeWait)))
            break;
    }
    if (pipe == INVALID_HANDLE_VALUE)
        return false;
    link_ = std::make_unique<PipeLink>(pipe);
    const std::string name = options_.clientName.empty()
                                 ? "process " + std::to_string(GetCurrentProcessId())
                                 : options_.clientName;
    if (!link_->Write({FrameKind::hello, 0, {name.begin(), name.end()}}))
        return false;
    const std::optional<Frame> ports = link_->Read();
    if (!ports || ports->kind != FrameKind::ports)
        return false;
    std::string portName;
    std::size_t count = 0;
    for (const std::uint8_t byte : ports->bytes) {
        if (byte != '\n') {
            portName += static_cast<char>(byte);
        } else if (count++ < ports->port) {
            inputs_.push_back({.name = std::exchange(portName, {})});
        } else {
            outputs_.emplace_back().name = std::exchange(portName, {});
        }
    }
    return true;
}

DWORD SharedMidiDriver::InputMessage(UINT port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                                     DWORD_PTR parameter2) {
    if (message == MIDM_GETNUMDEVS)
        return static_cast<DWORD>(inputs_.size());
    if (port >= inputs_.size())
        return MMSYSERR_BADDEVICEID;
    if (inputs_[port].name.empty()) {
        if (message == MIDM_GETDEVCAPS)
            AnswerCapabilities<MIDIINCAPSW>(parameter1, parameter2, unavailableName);
        return MMSYSERR_NODRIVER;
    }
    if (message == MIDM_GETDEVCAPS)
        return AnswerCapabilities<MIDIINCAPSW>(parameter1, parameter2, inputs_[port].name);
    if (message == MIDM_OPEN)
        return Register(inputOpens_, port, user, parameter1, parameter2, FrameKind::openInput,
                        InputName(port), MIM_OPEN);
    return HandleInput(port, message, user, parameter1, parameter2);
}

DWORD SharedMidiDriver::OutputMessage(UINT port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                                      DWORD_PTR parameter2) {
    if (message == MODM_GETNUMDEVS)
        return static_cast<DWORD>(outputs_.size());
    if (port >= outputs_.size())
        return MMSYSERR_BADDEVICEID;
    if (outputs_[port].name.empty()) {
        if (message == MODM_GETDEVCAPS)
            AnswerCapabilities<MIDIOUTCAPSW>(parameter1, parameter2, unavailableName);
        return MMSYSERR_NODRIVER;
    }
    if (message == MODM_GETDEVCAPS) {
        const DWORD result =
            AnswerCapabilities<MIDIOUTCAPSW>(parameter1, parameter2, outputs_[port].name);
        auto* capabilities = reinterpret_cast<MIDIOUTCAPSW*>(parameter1);
        if (parameter2 >= sizeof *capabilities) {
            capabilities->wTechnology = MOD_MIDIPORT;
            capabilities->wChannelMask = 0xFFFF;
        }
        return result;
    }
    if (message == MODM_OPEN)
        return Register(outputOpens_, port, user, parameter1, parameter2, FrameKind::openOutput,
                        OutputName(port), MOM_OPEN);
    return HandleOutput(port, message, user, parameter1, parameter2);
}

template <typename Open>
DWORD SharedMidiDriver::Register(std::list<Open>& opens, UINT port, DWORD_PTR user,
                                 DWORD_PTR parameter1, DWORD_PTR parameter2, FrameKind kind,
                                 const std::string& name, UINT notice) {
    const auto* description = reinterpret_cast<const MIDIOPENDESC*>(parameter1);
    const Client client{description->hMidi, description->dwCallback, description->dwInstance,
                        static_cast<DWORD>(parameter2)};
    {
        const std::lock_guard lock(mutex_);
        Open& open = opens.emplace_back(Open{port, client});
        *reinterpret_cast<DWORD_PTR*>(user) = reinterpret_cast<DWORD_PTR>(&open);
    }
    Tell(kind, port);
    log_.Write(Now(), name + ": open");
    Notify(client, notice, 0, 0);
    return MMSYSERR_NOERROR;
}

DWORD SharedMidiDriver::HandleInput(UINT port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                                    DWORD_PTR parameter2) {
    auto* open = reinterpret_cast<InputOpen*>(user);
    if (open == nullptr || open->port != port)
        return MMSYSERR_INVALHANDLE;
    switch (message) {
        case MIDM_CLOSE:
            return CloseInput(*open);
        case MIDM_PREPARE:
        case MIDM_UNPREPARE:
            return Prepare(parameter1, parameter2, message == MIDM_PREPARE);
        case MIDM_ADDBUFFER: {
            if (const MMRESULT result = Queueable(parameter1, parameter2))
                return result;
            auto* header = reinterpret_cast<MIDIHDR*>(parameter1);
            const std::lock_guard lock(mutex_);
            header->dwFlags = (header->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
            header->dwBytesRecorded = 0;
            open->buffers.push_back(header);
            changed_.notify_all();
            return MMSYSERR_NOERROR;
        }
        case MIDM_START: {
            const std::lock_guard lock(mutex_);
            if (!open->started) {
                open->started = true;
                open->startedAt = Now();
                Tell(FrameKind::startInput, port);
                log_.Write(Now(), InputName(port) + ": started");
            }
            return MMSYSERR_NOERROR;
        }
        case MIDM_STOP:
            StopInput(*open);
            return MMSYSERR_NOERROR;
        case MIDM_RESET:
            ResetInput(*open);
            return MMSYSERR_NOERROR;
        default:
            return MMSYSERR_NOTSUPPORTED;
    }
}

DWORD SharedMidiDriver::CloseInput(InputOpen& open) {
    {
        const std::lock_guard lock(mutex_);
        open.closeRequested = true;
        if (!open.buffers.empty()) {
            log_.Write(Now(), InputName(open.port) + ": close refused, " +
                                  std::to_string(open.buffers.size()) + " buffers queued");
            return MIDIERR_STILLPLAYING;
        }
    }
    StopInput(open);
    Client client;
    {
        const std::lock_guard lock(mutex_);
        Tell(FrameKind::closeInput, open.port);
        log_.Write(Now(), InputName(open.port) + ": closed");
        client = open.client;
        inputOpens_.remove_if([&open](const InputOpen& each) { return &each == &open; });
    }
    Notify(client, MIM_CLOSE, 0, 0);
    return MMSYSERR_NOERROR;
}

// As the MIDI Service's stop, it waits for a callback in progress to end, whichever thread
// asks: a stop from inside the callback never returns.
void SharedMidiDriver::StopInput(InputOpen& open) {
    std::unique_lock lock(mutex_);
    if (std::exchange(open.started, false))
        Tell(FrameKind::stopInput, open.port);
    changed_.notify_all();
    changed_.wait(lock, [&open] { return !open.inCallback; });
}

// As the MIDI Service's reset: it stops, then hands the queued buffers back on the caller's
// thread until none is left, so that a callback that queues its buffer again keeps it going.
void SharedMidiDriver::ResetInput(InputOpen& open) {
    StopInput(open);
    std::size_t handedBack = 0;
    for (;;) {
        MIDIHDR* header;
        DWORD_PTR timestamp;
        {
            const std::lock_guard lock(mutex_);
            if (open.buffers.empty())
                break;
            header = open.buffers.front();
            open.buffers.pop_front();
            timestamp = static_cast<DWORD_PTR>((Now() - open.startedAt).count() / 1000);
        }
        header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        Notify(open.client, header->dwBytesRecorded == 0 ? MIM_LONGDATA : MIM_LONGERROR,
               reinterpret_cast<DWORD_PTR>(header), timestamp);
        if (++handedBack == resetRoundsNoted) {
            log_.Write(Now(), InputName(open.port) + ": reset still handing buffers back after " +
                                  std::to_string(handedBack) + ", the callback queues them again");
        }
    }
    log_.Write(Now(), InputName(open.port) + ": reset, " + std::to_string(handedBack) +
                          " buffers handed back");
}

DWORD SharedMidiDriver::HandleOutput(UINT port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                                     DWORD_PTR parameter2) {
    auto* open = reinterpret_cast<OutputOpen*>(user);
    if (open == nullptr || open->port != port)
        return MMSYSERR_INVALHANDLE;
    switch (message) {
        case MODM_CLOSE: {
            const Client client = open->client;
            Tell(FrameKind::closeOutput, port);
            log_.Write(Now(), OutputName(port) + ": closed");
            {
                const std::lock_guard lock(mutex_);
                outputOpens_.remove_if([open](const OutputOpen& each) { return &each == open; });
            }
            Notify(client, MOM_CLOSE, 0, 0);
            return MMSYSERR_NOERROR;
        }
        case MODM_PREPARE:
        case MODM_UNPREPARE:
            return Prepare(parameter1, parameter2, message == MODM_PREPARE);
        case MODM_DATA:
            return Send(port, ShortMessage(static_cast<DWORD>(parameter1)));
        case MODM_LONGDATA: {
            if (const MMRESULT result = Queueable(parameter1, parameter2))
                return result;
            auto* header = reinterpret_cast<MIDIHDR*>(parameter1);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(header->lpData);
            if (const MMRESULT result = Send(port, {bytes, header->dwBufferLength}))
                return result;
            header->dwFlags |= MHDR_DONE;
            Notify(open->client, MOM_DONE, parameter1, 0);
            return MMSYSERR_NOERROR;
        }
        case MODM_RESET:
            // Nothing is ever left queued.
            return MMSYSERR_NOERROR;
        default:
            return MMSYSERR_NOTSUPPORTED;
    }
}

MMRESULT SharedMidiDriver::Send(UINT port, std::span<const std::uint8_t> message) {
    OutputPort& output = outputs_[port];
    const std::lock_guard sending(output.sending);
    std::unique_lock lock(mutex_);
    output.result.reset();
    MMRESULT result = MMSYSERR_NODRIVER;
    if (link_->Write({FrameKind::send, ServiceNumber(outputs_, port),
                      std::vector<std::uint8_t>(message.begin(), message.end())}) &&
        changed_.wait_for(lock, longestSendWait,
                          [this, &output] { return output.result.has_value() || gone_; }) &&
        output.result) {
        result = *output.result;
    }
    if (result != MMSYSERR_NOERROR) {
        log_.Write(Now(), OutputName(port) + ": send of " + std::to_string(message.size()) +
                              " bytes failed with " + ResultName(result));
    }
    return result;
}

void SharedMidiDriver::Tell(FrameKind kind, UINT port) {
    const bool input = kind >= FrameKind::openInput && kind <= FrameKind::closeInput;
    link_->Write({kind, input ? ServiceNumber(inputs_, port) : ServiceNumber(outputs_, port), {}});
}

std::string SharedMidiDriver::InputName(UINT port) const {
    return "input " + std::to_string(port) + " " + inputs_[port].name;
}

std::string SharedMidiDriver::OutputName(UINT port) const {
    return "output " + std::to_string(port) + " " + outputs_[port].name;
}

void SharedMidiDriver::Notify(const Client& client, UINT message, DWORD_PTR parameter1,
                              DWORD_PTR parameter2) {
    DriverCallback(client.callback, HIWORD(client.flags), reinterpret_cast<HDRVR>(client.handle),
                   message, client.instance, parameter1, parameter2);
}

SimulatorTime SharedMidiDriver::Now() const {
    return std::chrono::duration_cast<SimulatorTime>(std::chrono::steady_clock::now() - start_);
}
