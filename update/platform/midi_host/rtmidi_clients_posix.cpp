#include "platform/midi_host/rtmidi_clients_posix.h"

#include <algorithm>

namespace {

// The constructor runs before an error callback can be set, so a JACK client is made only
// while the server is known to be there.
template <class Midi>
std::unique_ptr<Midi> CreateMidi(const MidiSystem& system, const std::string& name,
                                 ErrorFlag& errors) {
    if (!system.IsAvailable())
        return nullptr;
    try {
        auto midi = std::make_unique<Midi>(system.Api(), name);
        errors.SetOn(*midi);
        return midi;
    } catch (const RtMidiError&) {
        return nullptr;
    }
}

}  // namespace

void Receiver::Deliver(double, std::vector<unsigned char>* message, void* receiver) {
    auto& self = *static_cast<Receiver*>(receiver);
    std::lock_guard lock(self.mutex_);
    if (!self.handler_ || message == nullptr || message->empty())
        return;
    // RtMidi keeps its reading of a System Exclusive message across ports: one cut short on the
    // port before takes in what the next port brings up to its first F7. Data bytes are below
    // 0x80, so the message proper begins at the last F0.
    const auto start = std::find(message->rbegin(), message->rend(), 0xF0);
    const std::size_t skipped =
        start == message->rend() ? 0 : message->size() - 1 - (start - message->rbegin());
    self.handler_(
        std::span<const std::uint8_t>(message->data() + skipped, message->size() - skipped));
}

void Receiver::Open(SysExHandler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void Receiver::Close() {
    std::lock_guard lock(mutex_);
    handler_ = nullptr;
}

std::unique_ptr<InputClient> CreateClient(const MidiSystem& system, const std::string& name,
                                          std::type_identity<InputClient>) {
    auto client = std::make_unique<InputClient>();
    client->midi = CreateMidi<RtMidiIn>(system, name, client->errors);
    if (!client->midi)
        return nullptr;
    try {
        // Timing clock and active sensing would only wake the handler for nothing.
        client->midi->ignoreTypes(false, true, true);
        client->midi->setCallback(&Receiver::Deliver, &client->receiver);
        return client;
    } catch (const RtMidiError&) {
        return nullptr;
    }
}

std::unique_ptr<OutputClient> CreateClient(const MidiSystem& system, const std::string& name,
                                           std::type_identity<OutputClient>) {
    auto client = std::make_unique<OutputClient>();
    client->midi = CreateMidi<RtMidiOut>(system, name, client->errors);
    return client->midi ? std::move(client) : nullptr;
}

void Dispose(MidiSystem&, std::unique_ptr<InputClient> client) {
    // RtMidi joins its ALSA input thread when the port closes; JACK's process thread stops
    // with the client.
    client.reset();
}

void Dispose(MidiSystem& system, std::unique_ptr<OutputClient> client) {
    system.KeepClosedOutput(std::move(client->midi));
}
