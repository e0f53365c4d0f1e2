// The RtMidi objects behind the RtMidi host's ports. Each is a client of the MIDI system with
// one port at most; those that connect to other programs' ports are kept in a pool and moved
// from port to port. Used by the RtMidi host only.
#pragma once

#include <RtMidi.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/midi_host/midi_host.h"
#include "platform/midi_host/midi_system_posix.h"

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
    static void Deliver(double, std::vector<unsigned char>* message, void* receiver);
    void Open(SysExHandler handler);
    void Close();

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

// A new client called name, or null. An input delivers to its receiver, which starts closed.
std::unique_ptr<InputClient> CreateClient(const MidiSystem& system, const std::string& name,
                                          std::type_identity<InputClient>);
std::unique_ptr<OutputClient> CreateClient(const MidiSystem& system, const std::string& name,
                                           std::type_identity<OutputClient>);

// Ends a client whose port is closed.
void Dispose(MidiSystem& system, std::unique_ptr<InputClient> client);
void Dispose(MidiSystem& system, std::unique_ptr<OutputClient> client);

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
