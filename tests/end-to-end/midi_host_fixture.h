// The RtMidi host on a private JACK server: two hosts in one process, one playing the device
// with virtual ports, the other connecting to them by name as the program does.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "jack_server.h"
#include "platform/midi_host/midi_host.h"

using Message = std::vector<std::uint8_t>;

// The clients with which a host connects to other programs' ports carry the process id.
inline std::string ConnectingClient(const std::string& hostName) {
    return hostName + "." + std::to_string(getpid());
}

inline Message SysEx(std::size_t length, std::uint8_t seed) {
    Message message(length);
    for (std::size_t index = 0; index < length; ++index) {
        message[index] = static_cast<std::uint8_t>((seed + index * 7) & 0x7F);
    }
    message.front() = 0xF0;
    message.back() = 0xF7;
    return message;
}

// Collects what a handler receives on the host's thread.
class Inbox {
public:
    SysExHandler Handler() {
        return [this](std::span<const std::uint8_t> message) {
            std::lock_guard lock(mutex_);
            if (closed_)
                calledAfterClose_ = true;
            messages_.emplace_back(message.begin(), message.end());
            arrived_.notify_all();
        };
    }

    // The messages received once count have come, or when the wait gives up.
    std::vector<Message> WaitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, std::chrono::seconds(5), [&] { return messages_.size() >= count; });
        return messages_;
    }

    // Marks the port as closed: from now on the handler must stay silent.
    void MarkClosed() {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    bool CalledAfterClose() {
        std::lock_guard lock(mutex_);
        return calledAfterClose_;
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Message> messages_;
    bool closed_ = false;
    bool calledAfterClose_ = false;
};

class MidiHostOnJack : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.IsRunning()) << server_.Log();
        server_.UseInThisProcess();
        device_ = CreateSystemMidiHost("sim");
        deviceOutput_ = device_->CreateVirtualOutput("out");
        deviceInput_ = device_->CreateVirtualInput("in", deviceInbox_.Handler());
        ASSERT_TRUE(deviceOutput_ && deviceInput_);
        clientsWithoutProgram_ = server_.ClientCount();
        program_ = CreateSystemMidiHost("update");
    }

    // A message each way between the program's open pair and the device.
    void ExpectBothWays(MidiOutputPort& output, Inbox& inbox) {
        const std::size_t received = deviceInbox_.WaitFor(0).size();
        const Message toDevice = SysEx(9, 8);
        const Message toProgram = SysEx(9, 9);
        EXPECT_TRUE(output.Send(toDevice));
        EXPECT_TRUE(deviceOutput_->Send(toProgram));
        const std::vector<Message> atDevice = deviceInbox_.WaitFor(received + 1);
        const std::vector<Message> atProgram = inbox.WaitFor(1);
        EXPECT_EQ(atDevice.size(), received + 1);
        EXPECT_TRUE(!atDevice.empty() && atDevice.back() == toDevice);
        EXPECT_EQ(atProgram, std::vector<Message>{toProgram});
    }

    PrivateJackServer server_;
    int clientsWithoutProgram_ = 0;
    std::unique_ptr<SystemMidiHost> device_;
    Inbox deviceInbox_;
    std::unique_ptr<MidiInputPort> deviceInput_;
    std::unique_ptr<MidiOutputPort> deviceOutput_;
    std::unique_ptr<SystemMidiHost> program_;
};
