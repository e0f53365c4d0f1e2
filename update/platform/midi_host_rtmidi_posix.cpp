// The machine's MIDI system through RtMidi: the ALSA sequencer or a JACK server. Each RtMidi
// object is a client of the system with one port at most. The ports that the host connects to
// are carried by a few clients kept for the host's whole life and moved from port to port; each
// virtual port is a client of its own. Every client is made quiet before it is used.
#include <RtMidi.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/midi_host.h"
#include "platform/midi_system_posix.h"

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

// Errors go to this flag instead of standard error; with a callback set, RtMidi also stops
// throwing, so each operation reads the flag to learn whether it worked.
class ErrorFlag {
public:
    void Clear() { raised_ = false; }
    bool Raised() const { return raised_; }
    void SetOn(RtMidi& midi) { midi.setErrorCallback(&ErrorFlag::Record, this); }

private:
    static void Record(RtMidiError::Type, const std::string&, void* flag) {
        static_cast<ErrorFlag*>(flag)->raised_ = true;
    }
    std::atomic<bool> raised_{false};
};

// What the input thread of RtMidi calls into. The lock lets a port's close wait for a delivery
// under way and keeps any later one from reaching the handler.
class Receiver {
public:
    static void Deliver(double, std::vector<unsigned char>* message, void* receiver) {
        auto& self = *static_cast<Receiver*>(receiver);
        std::lock_guard lock(self.mutex_);
        if (!self.handler_ || message == nullptr || message->empty())
            return;
        // RtMidi keeps its reading of a System Exclusive message across ports: one cut short
        // on the port before takes in what the next port brings up to its first F7. Data bytes
        // are below 0x80, so the message proper begins at the last F0.
        const auto start = std::find(message->rbegin(), message->rend(), 0xF0);
        const std::size_t skipped =
            start == message->rend() ? 0 : message->size() - 1 - (start - message->rbegin());
        self.handler_(
            std::span<const std::uint8_t>(message->data() + skipped, message->size() - skipped));
    }

    void Open(SysExHandler handler) {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }

    void Close() {
        std::lock_guard lock(mutex_);
        handler_ = nullptr;
    }

private:
    std::mutex mutex_;
    SysExHandler handler_;
};

// The RtMidi object goes first: its threads stop before what they call into.
struct InputClient {
    Receiver receiver;
    ErrorFlag errors;
    std::unique_ptr<RtMidiIn> midi;
};

struct OutputClient {
    ErrorFlag errors;
    std::unique_ptr<RtMidiOut> midi;
    // The JACK cycle in which the last message was sent, if one was sent on this port.
    std::optional<jack_nframes_t> sentAt;
};

// A new client of the chosen system, or null. The constructor runs before an error callback
// can be set, so a JACK client is made only while the server is known to be there.
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

template <class Midi>
void ClosePort(Midi& midi) {
    try {
        midi.closePort();
    } catch (const RtMidiError&) {
    }
}

// The clients that connect to other programs' ports. A JACK server holds a limited number of
// clients, and RtMidi cannot destroy a JACK output safely while it runs (see
// MidiSystem::KeepClosedOutput): a client whose port has closed waits here for the next port.
template <class Client>
class ClientPool {
public:
    explicit ClientPool(std::shared_ptr<MidiSystem> system) : system_(std::move(system)) {}
    ~ClientPool() {
        for (std::unique_ptr<Client>& client : idle_)
            Dispose(*system_, std::move(client));
    }
    ClientPool(const ClientPool&) = delete;
    ClientPool& operator=(const ClientPool&) = delete;

    MidiSystem& System() { return *system_; }

    // An idle client, or a new one while none is idle; null when none can be made.
    std::unique_ptr<Client> Lease() {
        {
            std::lock_guard lock(mutex_);
            if (!idle_.empty()) {
                std::unique_ptr<Client> client = std::move(idle_.back());
                idle_.pop_back();
                return client;
            }
        }
        system_->MarkConnectingClients();
        return CreateClient(*system_, system_->ConnectingName(), std::type_identity<Client>{});
    }

    // Takes back a client whose port is closed.
    void Return(std::unique_ptr<Client> client) {
        std::lock_guard lock(mutex_);
        idle_.push_back(std::move(client));
    }

private:
    std::shared_ptr<MidiSystem> system_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Client>> idle_;
};

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
// virtual port, whose client goes with it), the lock that keeps the port to this updater, and
// the name that keeps a virtual port out of the host's lists.
template <class Client>
struct PortHolding {
    std::shared_ptr<MidiSystem> system;
    std::shared_ptr<ClientPool<Client>> pool;
    std::unique_ptr<PortLock> lock;
    std::unique_ptr<OwnPortName> ownName;
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

class RtMidiHost final : public MidiHost {
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
        PortHolding<Client> holding{system_, pool, system_->LockPort(name), nullptr};
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
        PortHolding<Client> holding{system_, nullptr, nullptr, std::move(ownName)};
        return {std::make_unique<PortOf<Client>>(std::move(holding), std::move(client)), created};
    }

    std::shared_ptr<MidiSystem> system_;
    std::shared_ptr<ClientPool<InputClient>> inputs_;
    std::shared_ptr<ClientPool<OutputClient>> outputs_;
};

}  // namespace

std::unique_ptr<MidiHost> CreateSystemMidiHost(const std::string& clientName) {
    return std::make_unique<RtMidiHost>(MidiSystem::Choose(clientName));
}
