// The machine's MIDI system through RtMidi: the ALSA sequencer where it opens, otherwise a
// running JACK server. Every RtMidi object is a client of its own, created for one port or
// one look at the port lists, and made quiet before it is used.
#include <RtMidi.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/midi_host.h"
#include "platform/midi_system_posix.h"

namespace {

// RtMidi's JACK output goes through a ring buffer of 16 KiB, which also holds each message's
// length; RtMidi drops a longer message without a word.
constexpr std::size_t kLargestMessage = 16383 - sizeof(int);

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

// A new client of the chosen system, or null. The constructor runs before an error callback
// can be set, so a JACK client is made only while the server is known to be there.
template <class Midi>
std::unique_ptr<Midi> CreateClient(const MidiSystem& system, ErrorFlag& errors) {
    if (!system.IsAvailable())
        return nullptr;
    try {
        auto midi = std::make_unique<Midi>(system.Api(), system.ClientName());
        errors.SetOn(*midi);
        return midi;
    } catch (const RtMidiError&) {
        return nullptr;
    }
}

template <class Midi>
std::vector<std::string> ListPorts(const MidiSystem& system) {
    std::vector<std::string> names;
    ErrorFlag errors;
    const std::unique_ptr<Midi> midi = CreateClient<Midi>(system, errors);
    if (!midi)
        return names;
    try {
        const unsigned int count = midi->getPortCount();
        for (unsigned int index = 0; index < count; ++index) {
            std::string name = midi->getPortName(index);
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
            // lost.
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

// What the input thread of RtMidi calls into. The lock lets the port's destructor wait for a
// delivery under way and keeps any later one from reaching the handler.
struct Receiver {
    explicit Receiver(SysExHandler messageHandler) : handler(std::move(messageHandler)) {}

    static void Deliver(double, std::vector<unsigned char>* message, void* receiver) {
        auto& self = *static_cast<Receiver*>(receiver);
        std::lock_guard lock(self.mutex);
        if (!self.open || message == nullptr || message->empty())
            return;
        self.handler(std::span<const std::uint8_t>(message->data(), message->size()));
    }

    void Close() {
        std::lock_guard lock(mutex);
        open = false;
    }

    std::mutex mutex;
    bool open = true;
    SysExHandler handler;
};

class RtMidiInputPort final : public MidiInputPort {
public:
    RtMidiInputPort(std::shared_ptr<MidiSystem> system, const std::string& localName,
                    SysExHandler handler)
        : system_(std::move(system)),
          ownName_(*system_, localName),
          receiver_(std::make_unique<Receiver>(std::move(handler))),
          input_(CreateClient<RtMidiIn>(*system_, errors_)) {
        if (!input_)
            return;
        try {
            // Timing clock and active sensing would only wake the handler for nothing.
            input_->ignoreTypes(false, true, true);
            input_->setCallback(&Receiver::Deliver, receiver_.get());
        } catch (const RtMidiError&) {
            input_.reset();
        }
    }

    ~RtMidiInputPort() override {
        receiver_->Close();
        if (!input_)
            return;
        // RtMidi joins its ALSA input thread when the port closes; JACK's process thread
        // stops with the client. The receiver outlives both all the same.
        try {
            input_->closePort();
        } catch (const RtMidiError&) {
        }
        input_.reset();
    }

    bool Connect(const std::string& name) {
        return input_ && ConnectByName(*system_, *input_, errors_, name, ownName_.Name());
    }
    bool CreateVirtual(const std::string& name) {
        return input_ && OpenVirtualPort(*input_, errors_, name);
    }

private:
    std::shared_ptr<MidiSystem> system_;
    OwnPortName ownName_;
    ErrorFlag errors_;
    std::unique_ptr<Receiver> receiver_;
    std::unique_ptr<RtMidiIn> input_;
};

class RtMidiOutputPort final : public MidiOutputPort {
public:
    RtMidiOutputPort(std::shared_ptr<MidiSystem> system, const std::string& localName)
        : system_(std::move(system)),
          ownName_(*system_, localName),
          output_(CreateClient<RtMidiOut>(*system_, errors_)) {}

    ~RtMidiOutputPort() override {
        if (!output_)
            return;
        // On JACK the last messages wait in RtMidi's ring buffer for the next cycle, and the
        // receiver reads them later in that cycle; a port that goes away before it has done
        // so takes them along. RtMidi's closePort waits for one cycle only: not enough.
        if (sent_)
            system_->AwaitCycles(3);
        try {
            output_->closePort();
        } catch (const RtMidiError&) {
        }
        system_->KeepClosedOutput(std::move(output_));
    }

    bool Connect(const std::string& name) {
        return output_ && ConnectByName(*system_, *output_, errors_, name, ownName_.Name());
    }
    bool CreateVirtual(const std::string& name) {
        return output_ && OpenVirtualPort(*output_, errors_, name);
    }

    bool Send(std::span<const std::uint8_t> message) override {
        if (message.empty() || message.size() > kLargestMessage)
            return false;
        // RtMidi waits for room in JACK's ring buffer, which only a running server empties.
        if (!system_->IsAvailable())
            return false;
        try {
            errors_.Clear();
            [[maybe_unused]] const UncheckedByThreadSanitizer unchecked;
            output_->sendMessage(message.data(), message.size());
            sent_ = true;
            return !errors_.Raised();
        } catch (const RtMidiError&) {
            return false;
        }
    }

    // On ALSA, sendMessage has handed the whole message to the sequencer when it returns. On
    // JACK it has only reached RtMidi's ring buffer, which the next process cycle empties;
    // RtMidi gives no way to see that happen, so a message counts as taken once it is there.
    bool IsSending() override { return false; }

private:
    std::shared_ptr<MidiSystem> system_;
    OwnPortName ownName_;
    ErrorFlag errors_;
    std::unique_ptr<RtMidiOut> output_;
    bool sent_ = false;
};

class RtMidiHost final : public MidiHost {
public:
    explicit RtMidiHost(std::shared_ptr<MidiSystem> system) : system_(std::move(system)) {}

    std::vector<std::string> ListInputs() override { return ListPorts<RtMidiIn>(*system_); }
    std::vector<std::string> ListOutputs() override { return ListPorts<RtMidiOut>(*system_); }

    std::unique_ptr<MidiInputPort> OpenInput(const std::string& name,
                                             SysExHandler handler) override {
        auto port = std::make_unique<RtMidiInputPort>(system_, "input", std::move(handler));
        if (!port->Connect(name))
            return nullptr;
        return port;
    }

    std::unique_ptr<MidiOutputPort> OpenOutput(const std::string& name) override {
        auto port = std::make_unique<RtMidiOutputPort>(system_, "output");
        if (!port->Connect(name))
            return nullptr;
        return port;
    }

    std::unique_ptr<MidiInputPort> CreateVirtualInput(const std::string& name,
                                                      SysExHandler handler) override {
        auto port = std::make_unique<RtMidiInputPort>(system_, name, std::move(handler));
        if (!port->CreateVirtual(name))
            return nullptr;
        return port;
    }

    std::unique_ptr<MidiOutputPort> CreateVirtualOutput(const std::string& name) override {
        auto port = std::make_unique<RtMidiOutputPort>(system_, name);
        if (!port->CreateVirtual(name))
            return nullptr;
        return port;
    }

private:
    std::shared_ptr<MidiSystem> system_;
};

}  // namespace

std::unique_ptr<MidiHost> CreateSystemMidiHost(const std::string& clientName) {
    return std::make_unique<RtMidiHost>(MidiSystem::Choose(clientName));
}
