// The shared driver's thread: the device process's answers to sends, and what the cables of
// the inputs bring, cut into messages as Windows 11's MIDI Service cuts them and handed to
// every open of the port.
#include <algorithm>
#include <cstring>
#include <utility>

#include "shared_midi_driver.h"

namespace {

constexpr std::uint8_t sysExStart = 0xF0;
constexpr std::uint8_t sysExEnd = 0xF7;
// A System Exclusive message that finds no buffer waits this long for one, longer once part of
// it has gone into a buffer; then it is dropped.
constexpr auto firstBufferWait = std::chrono::milliseconds(1);
constexpr auto nextBufferWait = std::chrono::milliseconds(10);

bool IsUndefined(std::uint8_t byte) {
    return byte == 0xF4 || byte == 0xF5 || byte == 0xF9 || byte == 0xFD;
}

}  // namespace

void SharedMidiDriver::Listen() {
    while (const std::optional<Frame> frame = link_->Read()) {
        const std::optional<UINT> output = ClientNumber(outputs_, frame->port);
        const std::optional<UINT> input = ClientNumber(inputs_, frame->port);
        if (frame->kind == FrameKind::sent && output && !frame->bytes.empty()) {
            const std::lock_guard lock(mutex_);
            outputs_[*output].result = frame->bytes.front();
            changed_.notify_all();
        } else if (frame->kind == FrameKind::input && input) {
            for (const InputEvent& event : Parse(inputs_[*input], frame->bytes))
                Deliver(*input, event);
        }
    }
    log_.Write(Now(), "the device process is gone");
    const std::lock_guard lock(mutex_);
    gone_ = true;
    changed_.notify_all();
}

// The device sends System Exclusive alone, and realtime bytes may come anywhere: other
// messages outside System Exclusive are not cut out.
std::vector<SharedMidiDriver::InputEvent> SharedMidiDriver::Parse(
    InputPort& port, std::span<const std::uint8_t> bytes) {
    std::vector<InputEvent> events;
    for (const std::uint8_t byte : bytes) {
        if (byte >= 0xF8 && !IsUndefined(byte)) {
            events.push_back({MIM_DATA, {byte}});
            continue;
        }
        if (port.inSysEx) {
            if (byte < 0x80 || byte == sysExEnd) {
                port.sysEx.push_back(byte);
                if (byte < 0x80)
                    continue;
                events.push_back({MIM_LONGDATA, std::exchange(port.sysEx, {})});
                port.inSysEx = false;
                continue;
            }
            events.push_back({MIM_LONGERROR, std::exchange(port.sysEx, {})});
            port.inSysEx = false;
        }
        if (byte == sysExStart) {
            port.inSysEx = true;
            port.sysEx = {byte};
        }
    }
    return events;
}

void SharedMidiDriver::Deliver(UINT port, const InputEvent& event) {
    std::vector<InputOpen*> listening;
    {
        const std::lock_guard lock(mutex_);
        for (InputOpen& open : inputOpens_) {
            if (open.port == port && open.started)
                listening.push_back(&open);
        }
    }
    for (InputOpen* open : listening) {
        if (event.message != MIM_DATA) {
            DeliverLong(port, open, event);
            continue;
        }
        Client client;
        DWORD_PTR timestamp;
        {
            const std::lock_guard lock(mutex_);
            if (!IsOpen(open) || !open->started)
                continue;
            client = open->client;
            timestamp = static_cast<DWORD_PTR>((Now() - open->startedAt).count() / 1000);
            open->inCallback = true;
        }
        log_.Write(Now(), InputName(port) + ": realtime " + HexBytes(event.bytes) + " delivered");
        Notify(client, MIM_DATA, event.bytes.front(), timestamp);
        EndCallback(open);
    }
}

void SharedMidiDriver::EndCallback(InputOpen* open) {
    const std::lock_guard lock(mutex_);
    open->inCallback = false;
    changed_.notify_all();
}

void SharedMidiDriver::DeliverLong(UINT port, InputOpen* open, const InputEvent& event) {
    const std::string line = InputName(port) + ": message " + HexBytes(event.bytes);
    std::size_t offset = 0;
    while (offset < event.bytes.size()) {
        Client client;
        MIDIHDR* header;
        DWORD_PTR timestamp;
        {
            std::unique_lock lock(mutex_);
            const auto ready = [this, open] {
                return !IsOpen(open) || !open->started || !open->buffers.empty();
            };
            changed_.wait_for(lock, offset == 0 ? firstBufferWait : nextBufferWait, ready);
            if (!IsOpen(open) || !open->started)
                return;
            if (open->buffers.empty()) {
                log_.Write(Now(), line + " dropped at byte " + std::to_string(offset) +
                                      ", no buffer queued in time");
                return;
            }
            header = open->buffers.front();
            open->buffers.pop_front();
            const std::size_t length =
                std::min<std::size_t>(event.bytes.size() - offset, header->dwBufferLength);
            std::memcpy(header->lpData, event.bytes.data() + offset, length);
            header->dwBytesRecorded = static_cast<DWORD>(length);
            header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
            open->inCallback = true;
            offset += length;
            client = open->client;
            timestamp = static_cast<DWORD_PTR>((Now() - open->startedAt).count() / 1000);
            if (open->closeRequested)
                log_.Write(Now(), line + " delivered after a close");
            else if (offset == event.bytes.size())
                log_.Write(Now(),
                           line + (event.message == MIM_LONGERROR ? " cut short" : " delivered"));
        }
        const bool last = offset == event.bytes.size();
        Notify(client, last ? event.message : MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header),
               timestamp);
        EndCallback(open);
    }
}

bool SharedMidiDriver::IsOpen(const InputOpen* open) const {
    return std::ranges::any_of(inputOpens_,
                               [open](const InputOpen& each) { return &each == open; });
}
