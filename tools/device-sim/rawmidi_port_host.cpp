#include "rawmidi_port_host.h"

#include <alsa/asoundlib.h>
#include <poll.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr int stopCheckMilliseconds = 50;
// Longer than any message of the updater's; a message that runs on past it is damaged.
constexpr std::size_t longestMessage = 1 << 16;

// Gathers System Exclusive messages from the byte stream of a raw node, where real-time
// bytes may come between any two bytes and any other status byte ends a message unfinished.
class SysExGatherer {
public:
    explicit SysExGatherer(SysExHandler handler) : handler_(std::move(handler)) {}

    void Take(std::uint8_t byte) {
        if (byte >= 0xF8)
            return;
        if (byte == 0xF0) {
            message_.assign(1, byte);
            inMessage_ = true;
        } else if (!inMessage_) {
            return;
        } else if (byte == 0xF7) {
            message_.push_back(byte);
            handler_(message_);
            inMessage_ = false;
        } else if (byte >= 0x80 || message_.size() == longestMessage) {
            inMessage_ = false;
        } else {
            message_.push_back(byte);
        }
    }

private:
    SysExHandler handler_;
    std::vector<std::uint8_t> message_;
    bool inMessage_ = false;
};

class RawMidiInput : public MidiInputPort {
public:
    RawMidiInput(snd_rawmidi_t* handle, SysExHandler handler)
        : handle_(handle), gatherer_(std::move(handler)), reader_([this] { Read(); }) {}
    ~RawMidiInput() override {
        stop_ = true;
        reader_.join();
        snd_rawmidi_close(handle_);
    }

private:
    // Waits for bytes in short turns, so that the destructor need not wake it.
    void Read() {
        std::vector<pollfd> descriptors(
            static_cast<std::size_t>(snd_rawmidi_poll_descriptors_count(handle_)));
        snd_rawmidi_poll_descriptors(handle_, descriptors.data(),
                                     static_cast<unsigned>(descriptors.size()));
        std::uint8_t buffer[256];
        while (!stop_) {
            if (poll(descriptors.data(), descriptors.size(), stopCheckMilliseconds) <= 0)
                continue;
            ssize_t count;
            while ((count = snd_rawmidi_read(handle_, buffer, sizeof buffer)) > 0) {
                for (ssize_t index = 0; index < count; ++index)
                    gatherer_.Take(buffer[index]);
            }
        }
    }

    snd_rawmidi_t* handle_;
    SysExGatherer gatherer_;
    std::atomic<bool> stop_ = false;
    std::thread reader_;
};

class RawMidiOutput : public MidiOutputPort {
public:
    explicit RawMidiOutput(snd_rawmidi_t* handle) : handle_(handle) {}
    ~RawMidiOutput() override { snd_rawmidi_close(handle_); }

    bool Send(std::span<const std::uint8_t> message) override {
        while (!message.empty()) {
            const ssize_t written = snd_rawmidi_write(handle_, message.data(), message.size());
            if (written < 0)
                return false;
            message = message.subspan(static_cast<std::size_t>(written));
        }
        return snd_rawmidi_drain(handle_) == 0;
    }
    // Send returns once the node has passed the message on.
    bool IsSending() override { return false; }

private:
    snd_rawmidi_t* handle_;
};

class RawMidiPortHost : public VirtualPortHost {
public:
    RawMidiPortHost(snd_rawmidi_t* input, snd_rawmidi_t* output) : input_(input), output_(output) {}
    ~RawMidiPortHost() override {
        if (input_ != nullptr)
            snd_rawmidi_close(input_);
        if (output_ != nullptr)
            snd_rawmidi_close(output_);
    }

    std::unique_ptr<MidiInputPort> CreateVirtualInput(const std::string&,
                                                      SysExHandler handler) override {
        if (input_ == nullptr)
            return nullptr;
        return std::make_unique<RawMidiInput>(std::exchange(input_, nullptr), std::move(handler));
    }
    std::unique_ptr<MidiOutputPort> CreateVirtualOutput(const std::string&) override {
        if (output_ == nullptr)
            return nullptr;
        return std::make_unique<RawMidiOutput>(std::exchange(output_, nullptr));
    }

private:
    snd_rawmidi_t* input_;
    snd_rawmidi_t* output_;
};

}  // namespace

std::unique_ptr<VirtualPortHost> OpenRawMidiPortHost(const std::string& device,
                                                     std::string& error) {
    // The input does not block, so that its reader can look for a stop; the output blocks
    // until the node has taken the whole message.
    snd_rawmidi_t* input = nullptr;
    snd_rawmidi_t* output = nullptr;
    int result = snd_rawmidi_open(&input, nullptr, device.c_str(), SND_RAWMIDI_NONBLOCK);
    if (result == 0) {
        result = snd_rawmidi_open(nullptr, &output, device.c_str(), 0);
        if (result < 0)
            snd_rawmidi_close(input);
    }
    if (result < 0) {
        error = "cannot open the raw MIDI device " + device + ": " + snd_strerror(result);
        return nullptr;
    }
    return std::make_unique<RawMidiPortHost>(input, output);
}
