// The RtMidi host on a private JACK server: two hosts in one process, one playing the device
// with virtual ports, the other connecting to them by name as the program does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "jack_server.h"
#include "platform/midi_host.h"
#include "program_runner.h"

namespace {

using namespace std::chrono_literals;
using Message = std::vector<std::uint8_t>;

Message SysEx(std::size_t length, std::uint8_t seed) {
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
        arrived_.wait_for(lock, 5s, [&] { return messages_.size() >= count; });
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

// Sends what this process writes to standard error into a file while it lives.
class StandardErrorCapture {
public:
    StandardErrorCapture()
        : saved_(dup(STDERR_FILENO)),
          file_(open(folder_.File("errors").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)) {
        dup2(file_, STDERR_FILENO);
    }
    ~StandardErrorCapture() { Stop(); }

    // Everything written since the start.
    std::string Stop() {
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            close(file_);
            saved_ = -1;
        }
        return ReadFile(folder_.File("errors"));
    }

private:
    ScratchFolder folder_;
    int saved_;
    int file_;
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
        program_ = CreateSystemMidiHost("update");
    }

    PrivateJackServer server_;
    std::unique_ptr<MidiHost> device_;
    Inbox deviceInbox_;
    std::unique_ptr<MidiInputPort> deviceInput_;
    std::unique_ptr<MidiOutputPort> deviceOutput_;
    std::unique_ptr<MidiHost> program_;
};

TEST_F(MidiHostOnJack, ListsOtherClientsPortsByFullNameAndLeavesOutItsOwn) {
    // RtMidi makes one JACK client for each port, so the device's second port gets the name
    // that JACK gives a second client of the same name.
    const std::vector<std::string> deviceOutputs = {"sim:out"};
    const std::vector<std::string> deviceInputs = {"sim-01:in"};
    EXPECT_EQ(program_->ListInputs(), deviceOutputs);
    EXPECT_EQ(program_->ListOutputs(), deviceInputs);
    EXPECT_TRUE(device_->ListInputs().empty());
    EXPECT_TRUE(device_->ListOutputs().empty());

    Inbox inbox;
    const auto input = program_->OpenInput("sim:out", inbox.Handler());
    const auto output = program_->OpenOutput("sim-01:in");
    ASSERT_TRUE(input && output);
    EXPECT_EQ(program_->ListInputs(), deviceOutputs);
    EXPECT_EQ(program_->ListOutputs(), deviceInputs);
    // The program's ports are another client's to the device.
    EXPECT_EQ(device_->ListInputs(), std::vector<std::string>{"update-01:output"});
    EXPECT_EQ(device_->ListOutputs(), std::vector<std::string>{"update:input"});

    EXPECT_EQ(program_->OpenInput("sim:in", inbox.Handler()), nullptr);
    EXPECT_EQ(program_->OpenOutput("sim:none"), nullptr);
}

TEST_F(MidiHostOnJack, CarriesWholeSysExMessagesBothWays) {
    Inbox inbox;
    const auto input = program_->OpenInput("sim:out", inbox.Handler());
    auto output = program_->OpenOutput("sim-01:in");
    ASSERT_TRUE(input && output);

    const std::vector<Message> toDevice = {SysEx(9, 1), SysEx(200, 2), SysEx(400, 3)};
    const std::vector<Message> toProgram = {SysEx(9, 4), SysEx(200, 5), SysEx(400, 6)};
    for (const Message& message : toDevice) {
        EXPECT_TRUE(output->Send(message));
        EXPECT_FALSE(output->IsSending());
    }
    for (const Message& message : toProgram)
        EXPECT_TRUE(deviceOutput_->Send(message));
    EXPECT_EQ(deviceInbox_.WaitFor(toDevice.size()), toDevice);
    EXPECT_EQ(inbox.WaitFor(toProgram.size()), toProgram);

    // A message sent just before the port closes still goes out.
    const Message last = SysEx(200, 7);
    EXPECT_TRUE(output->Send(last));
    output.reset();
    EXPECT_EQ(deviceInbox_.WaitFor(toDevice.size() + 1).back(), last);
}

TEST_F(MidiHostOnJack, HandlerIsNotCalledOnceTheInputIsClosed) {
    Inbox inbox;
    auto input = program_->OpenInput("sim:out", inbox.Handler());
    ASSERT_TRUE(input);
    ASSERT_TRUE(deviceOutput_->Send(SysEx(9, 1)));
    ASSERT_EQ(inbox.WaitFor(1).size(), 1u);

    for (int round = 0; round < 20; ++round)
        EXPECT_TRUE(deviceOutput_->Send(SysEx(100, 2)));
    input.reset();
    inbox.MarkClosed();
    for (int round = 0; round < 20; ++round)
        EXPECT_TRUE(deviceOutput_->Send(SysEx(100, 3)));
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(inbox.CalledAfterClose());
}

TEST(MidiHostServerGone, FailsQuietlyAndWithoutHanging) {
    auto server = std::make_unique<PrivateJackServer>();
    ASSERT_TRUE(server->IsRunning()) << server->Log();
    server->UseInThisProcess();
    const auto device = CreateSystemMidiHost("sim");
    auto deviceInput = device->CreateVirtualInput("in", [](std::span<const std::uint8_t>) {});
    const auto program = CreateSystemMidiHost("update");
    auto output = program->OpenOutput("sim:in");
    ASSERT_TRUE(deviceInput && output);

    StandardErrorCapture errors;
    server.reset();
    // The host learns of the end from the server's closed socket, a moment later.
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(output->Send(SysEx(9, 1)));
    EXPECT_TRUE(program->ListInputs().empty());
    EXPECT_EQ(program->OpenOutput("sim:in"), nullptr);
    output.reset();
    deviceInput.reset();
    EXPECT_EQ(errors.Stop(), "");
}

// Without a JACK server (and without the ALSA sequencer, which this test needs missing), the
// host has no ports, and nothing reaches standard error on the way.
TEST(MidiHostWithoutSystem, HasNoPortsAndStaysQuiet) {
    if (std::filesystem::exists("/dev/snd/seq"))
        GTEST_SKIP() << "the ALSA sequencer is here";
    setenv("JACK_DEFAULT_SERVER", ("update-test-none-" + std::to_string(getpid())).c_str(), 1);
    StandardErrorCapture errors;
    Inbox inbox;
    const auto host = CreateSystemMidiHost("update");
    EXPECT_TRUE(host->ListInputs().empty());
    EXPECT_TRUE(host->ListOutputs().empty());
    EXPECT_EQ(host->OpenInput("sim:out", inbox.Handler()), nullptr);
    EXPECT_EQ(host->OpenOutput("sim:in"), nullptr);
    EXPECT_EQ(host->CreateVirtualOutput("out"), nullptr);
    EXPECT_EQ(errors.Stop(), "");
}

}  // namespace
