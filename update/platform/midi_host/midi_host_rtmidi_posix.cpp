// The machine's MIDI system through RtMidi: the ALSA sequencer or a JACK server. The ports that
// the host connects to are carried by a few clients kept for the host's whole life and moved
// from port to port; each virtual port is a client of its own.
#include <RtMidi.h>

#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/midi_host/midi_host.h"
#include "platform/midi_host/midi_system_posix.h"
#include "platform/midi_host/rtmidi_clients_posix.h"

namespace {

// RtMidi's JACK output goes through a ring buffer of 16 KiB, which also holds each message's
// length; RtMidi drops a longer message without a word.
constexpr std::size_t largestMessage = 16383 - sizeof(int);

// libjack's ring buffer orders its reads and writes with memory barriers, which
// ThreadSanitizer cannot see; the copy of a message into it is left out of its checks, so
// that it neither reports the ring buffer nor stalls JACK's process thread with reports.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
struct UncheckedByThreadSanitizer {
    UncheckedByThreadSanitizer() { __tsan_ignore_thread_begin(); }
    ~UncheckedByThreadSanitizer() { __tsan_ignore_thread_end(); }
};
#else
struct UncheckedByThreadSanitizer {};
#endif

template <class Midi>
std::vector<std::string> ListPorts(const MidiSystem& system, Midi& midi) {
    std::vector<std::string> names;
    try {
        const unsigned int count = midi.getPortCount();
        for (unsigned int index = 0; index < count; ++index) {
            std::string name = midi.getPortName(index);
            if (!name.empty() && !system.IsOwnPort(name))
                names.push_back(std::move(name));
        }
    } catch (const RtMidiError&) {
        names.clear();
    }
    return names;
}

// Connects to the port now called name. RtMidi opens by index and looks the name up again
// inside openPort, so the index is taken here, just before, from the same client's list.
template <class Midi>
bool ConnectByName(const MidiSystem& system, Midi& midi, ErrorFlag& errors, const std::string& name,
                   const std::string& localName) {
    try {
        const unsigned int count = midi.getPortCount();
        for (unsigned int index = 0; index < count; ++index) {
            if (midi.getPortName(index) != name)
                continue;
            errors.Clear();
            midi.openPort(index, localName);
            // RtMidi does not check JACK's connection: the port at that index must still be
            // the one meant.
            if (errors.Raised() || !midi.isPortOpen() || midi.getPortName(index) != name) {
                return false;
            }
            // A message that goes out before the new connection is part of a JACK cycle is
            // lost; and a cycle of the port before, still under way on a client moved from
            // port to port, is over by then.
            system.AwaitCycles(2);
            return true;
        }
    } catch (const RtMidiError&) {
    }
    return false;
}

template <class Midi>
bool OpenVirtualPort(Midi& midi, ErrorFlag& errors, const std::string& name) {
    try {
        errors.Clear();
        midi.openVirtualPort(name);
        return !errors.Raised();
    } catch (const RtMidiError&) {
        return false;
    }
}

// What a port holds besides its client: the pool that the client goes back to (none for a
// virtual port, whose client goes with it), the lock that keeps the port to this updater, the
// name that keeps a virtual port out of the host's lists, and the full name of the port
// connected to (none for a virtual port).
template <class Client>
struct PortHolding {
    std::shared_ptr<MidiSystem> system;
    std::shared_ptr<ClientPool<Client>> pool;
    std::shared_ptr<PortLock> lock;
    std::unique_ptr<OwnPortName> ownName;
    std::string connectedTo;
};

template <class Client>
void Release(PortHolding<Client>& holding, std::unique_ptr<Client> client) {
    if (holding.pool)
        holding.pool->Return(std::move(client));
    else
        Dispose(*holding.system, std::move(client));
}

class RtMidiInputPort final : public MidiInputPort {
public:
    RtMidiInputPort(PortHolding<InputClient> holding, std::unique_ptr<InputClient> client)
        : holding_(std::move(holding)), client_(std::move(client)) {}

    ~RtMidiInputPort() override {
        client_->receiver.Close();
        ClosePort(*client_->midi);
        Release(holding_, std::move(client_));
    }

private:
    PortHolding<InputClient> holding_;
    std::unique_ptr<InputClient> client_;
};

class RtMidiOutputPort final : public MidiOutputPort {
public:
    RtMidiOutputPort(PortHolding<OutputClient> holding, std::unique_ptr<OutputClient> client)
        : holding_(std::move(holding)), client_(std::move(client)) {}

    ~RtMidiOutputPort() override {
        // On JACK the last messages wait in RtMidi's ring buffer for the next cycle, and the
        // receiver reads them later in that cycle; a port that goes away before it has done
        // so takes them along, and a client moved on would carry them to the next port.
        // RtMidi's closePort waits for one cycle only: not enough.
        if (client_->sentAt)
            holding_.system->AwaitCycles(3, *client_->sentAt);
        client_->sentAt.reset();
        ClosePort(*client_->midi);
        Release(holding_, std::move(client_));
    }

    bool Send(std::span<const std::uint8_t> message) override {
        if (message.empty() || message.size() > largestMessage)
            return false;
        // RtMidi waits for room in JACK's ring buffer, which only a running server empties.
        MidiSystem& system = *holding_.system;
        if (!system.IsAvailable())
            return false;
        // RtMidi sends on ALSA to whoever is connected, and so without an error to nobody once
        // the port connected to has gone.
        if (!holding_.connectedTo.empty() && !system.IsPortPresent(holding_.connectedTo))
            return false;
        try {
            client_->errors.Clear();
            client_->sentAt = system.CycleStart();
            [[maybe_unused]] const UncheckedByThreadSanitizer unchecked;
            client_->midi->sendMessage(message.data(), message.size());
            return !client_->errors.Raised();
        } catch (const RtMidiError&) {
            return false;
        }
    }

    // On ALSA, sendMessage has handed the whole message to the sequencer when it returns. On
    // JACK it has only reached RtMidi's ring buffer, which the next process cycle empties;
    // RtMidi gives no way to see that happen, so a message counts as taken once it is there.
    bool IsSending() override { return false; }

    // Only the host's own virtual ports are listened to by others; a port connected to is.
    bool IsListenedTo() override {
        return !holding_.ownName || holding_.system->IsListenedTo(holding_.ownName->Name());
    }

private:
    PortHolding<OutputClient> holding_;
    std::unique_ptr<OutputClient> client_;
};

template <class Client>
using PortOf =
    std::conditional_t<std::is_same_v<Client, InputClient>, RtMidiInputPort, RtMidiOutputPort>;

// A port just opened, with its client, or nulls.
template <class Client>
struct OpenedPort {
    std::unique_ptr<PortOf<Client>> port;
    Client* client = nullptr;
};

class RtMidiHost final : public SystemMidiHost {
public:
    explicit RtMidiHost(std::shared_ptr<MidiSystem> system)
        : system_(system),
          inputs_(std::make_shared<ClientPool<InputClient>>(system)),
          outputs_(std::make_shared<ClientPool<OutputClient>>(system)) {}

    std::vector<std::string> ListInputs() override { return List(*inputs_); }
    std::vector<std::string> ListOutputs() override { return List(*outputs_); }

    std::unique_ptr<MidiInputPort> OpenInput(const std::string& name,
                                             SysExHandler handler) override {
        OpenedPort<InputClient> opened = Connect(inputs_, name, "input");
        // Only now: a cycle of the client's port before may have been under way until the
        // connection was made.
        if (opened.port)
            opened.client->receiver.Open(std::move(handler));
        return std::move(opened.port);
    }

    std::unique_ptr<MidiOutputPort> OpenOutput(const std::string& name) override {
        return std::move(Connect(outputs_, name, "output").port);
    }

    std::string DisplayName(const std::string& name, std::size_t room) const override {
        return DisplayPortName(system_->Api(), name, room);
    }

    std::unique_ptr<MidiInputPort> CreateVirtualInput(const std::string& name,
                                                      SysExHandler handler) override {
        OpenedPort<InputClient> opened = CreateVirtual<InputClient>(name);
        if (opened.port)
            opened.client->receiver.Open(std::move(handler));
        return std::move(opened.port);
    }

    std::unique_ptr<MidiOutputPort> CreateVirtualOutput(const std::string& name) override {
        return std::move(CreateVirtual<OutputClient>(name).port);
    }

private:
    template <class Client>
    std::vector<std::string> List(ClientPool<Client>& pool) {
        std::unique_ptr<Client> client = pool.Lease();
        if (!client)
            return {};
        std::vector<std::string> names = ListPorts(*system_, *client->midi);
        pool.Return(std::move(client));
        return names;
    }

    // The lock is taken first: a port that another updater has open is never connected to.
    template <class Client>
    OpenedPort<Client> Connect(const std::shared_ptr<ClientPool<Client>>& pool,
                               const std::string& name, const std::string& localName) {
        PortHolding<Client> holding{system_, pool, system_->LockPort(name), nullptr, name};
        if (!holding.lock)
            return {};
        std::unique_ptr<Client> client = pool->Lease();
        if (!client)
            return {};
        if (!ConnectByName(*system_, *client->midi, client->errors, name, localName)) {
            ClosePort(*client->midi);
            pool->Return(std::move(client));
            return {};
        }
        Client* connected = client.get();
        return {std::make_unique<PortOf<Client>>(std::move(holding), std::move(client)), connected};
    }

    template <class Client>
    OpenedPort<Client> CreateVirtual(const std::string& name) {
        auto ownName = std::make_unique<OwnPortName>(*system_, name);
        std::unique_ptr<Client> client =
            CreateClient(*system_, system_->ClientName(), std::type_identity<Client>{});
        if (!client)
            return {};
        if (!OpenVirtualPort(*client->midi, client->errors, name)) {
            Dispose(*system_, std::move(client));
            return {};
        }
        Client* created = client.get();
        PortHolding<Client> holding{system_, nullptr, nullptr, std::move(ownName), ""};
        return {std::make_unique<PortOf<Client>>(std::move(holding), std::move(client)), created};
    }

    std::shared_ptr<MidiSystem> system_;
    std::shared_ptr<ClientPool<InputClient>> inputs_;
    std::shared_ptr<ClientPool<OutputClient>> outputs_;
};

}  // namespace

std::unique_ptr<SystemMidiHost> CreateSystemMidiHost(const std::string& clientName) {
    return std::make_unique<RtMidiHost>(MidiSystem::Choose(clientName));
}
