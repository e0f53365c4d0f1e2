// The RtMidi host on a private JACK server: two hosts in one process, one playing the device
// with virtual ports, the other connecting to them by name as the program does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <unistd.h>

#include <algorithm>
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
#include "platform/midi_host/midi_host.h"
#include "platform/midi_host/midi_system_posix.h"
#include "program_runner.h"

namespace {

using namespace std::chrono_literals;
using Message = std::vector<std::uint8_t>;

// The clients with which a host connects to other programs' ports carry the process id.
std::string ConnectingClient(const std::string& hostName) {
    return hostName + "." + std::to_string(getpid());
}

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
    const std::string client = ConnectingClient("update");
    EXPECT_EQ(device_->ListInputs(), std::vector<std::string>{client + "-01:output"});
    EXPECT_EQ(device_->ListOutputs(), std::vector<std::string>{client + ":input"});

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
    const std::vector<Message> received = deviceInbox_.WaitFor(toDevice.size() + 1);
    ASSERT_EQ(received.size(), toDevice.size() + 1);
    EXPECT_EQ(received.back(), last);
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

// Each pair of a search opens and closes an output, and each input a search tries: the host
// moves a few clients from port to port, so the server's clients stay few however many ports
// were opened, and all go with the host.
TEST_F(MidiHostOnJack, PortsOpenedHundredsOfTimesKeepTheClientsFew) {
    int mostClients = 0;
    for (int round = 0; round < 150; ++round) {
        Inbox inbox;
        auto input = program_->OpenInput("sim:out", inbox.Handler());
        auto output = program_->OpenOutput("sim-01:in");
        ASSERT_TRUE(input && output) << "round " << round;
        mostClients = std::max(mostClients, server_.ClientCount());
        if (round % 2 == 0)
            input.reset();
        output.reset();
    }
    // The server watcher, one input and one output.
    EXPECT_LE(mostClients, clientsWithoutProgram_ + 3);

    Inbox inbox;
    const auto input = program_->OpenInput("sim:out", inbox.Handler());
    const auto output = program_->OpenOutput("sim-01:in");
    ASSERT_TRUE(input && output);
    ExpectBothWays(*output, inbox);
}

// The client that carries the program's input keeps RtMidi's reading of a System Exclusive
// message that one port cut short; the next port's messages still arrive as sent.
TEST_F(MidiHostOnJack, MessageCutShortOnOnePortLeavesTheNextPortsMessagesWhole) {
    const auto otherOutput = device_->CreateVirtualOutput("other");
    ASSERT_TRUE(otherOutput);
    ASSERT_EQ(program_->ListInputs(), (std::vector<std::string>{"sim:out", "sim-02:other"}));
    Inbox first;
    auto input = program_->OpenInput("sim:out", first.Handler());
    ASSERT_TRUE(input);
    EXPECT_TRUE(deviceOutput_->Send(Message{0xF0, 0x01, 0x02}));
    std::this_thread::sleep_for(100ms);
    input.reset();

    Inbox second;
    input = program_->OpenInput("sim-02:other", second.Handler());
    ASSERT_TRUE(input);
    const std::vector<Message> sent = {SysEx(9, 1), SysEx(40, 2)};
    for (const Message& message : sent)
        EXPECT_TRUE(otherOutput->Send(message));
    EXPECT_EQ(second.WaitFor(sent.size()), sent);
    EXPECT_TRUE(first.WaitFor(0).empty());
}

TEST_F(MidiHostOnJack, ClientsGoWithTheHost) {
    Inbox inbox;
    auto input = program_->OpenInput("sim:out", inbox.Handler());
    auto output = program_->OpenOutput("sim-01:in");
    ASSERT_TRUE(input && output);
    EXPECT_TRUE(output->Send(SysEx(9, 1)));
    output.reset();
    input.reset();
    EXPECT_GT(server_.ClientCount(), clientsWithoutProgram_);
    program_.reset();
    EXPECT_EQ(server_.ClientCount(), clientsWithoutProgram_);
}

// Another updater, here a second host in the same process, finds the device's ports and the
// first updater's own ports in use, as Windows refuses a port that another program has open.
TEST_F(MidiHostOnJack, PortsInUseByAnotherUpdaterAreRefusedUntilClosed) {
    Inbox inbox;
    auto input = program_->OpenInput("sim:out", inbox.Handler());
    auto output = program_->OpenOutput("sim-01:in");
    ASSERT_TRUE(input && output);

    const auto rival = CreateSystemMidiHost("rival");
    const std::string first = ConnectingClient("update");
    EXPECT_EQ(rival->ListInputs(), (std::vector<std::string>{"sim:out", first + "-01:output"}));
    EXPECT_EQ(rival->ListOutputs(), (std::vector<std::string>{"sim-01:in", first + ":input"}));
    Inbox rivalInbox;
    EXPECT_EQ(rival->OpenInput("sim:out", rivalInbox.Handler()), nullptr);
    EXPECT_EQ(rival->OpenOutput("sim-01:in"), nullptr);
    EXPECT_EQ(rival->OpenInput(first + "-01:output", rivalInbox.Handler()), nullptr);
    EXPECT_EQ(rival->OpenOutput(first + ":input"), nullptr);
    ExpectBothWays(*output, inbox);

    input.reset();
    output.reset();
    const auto rivalInput = rival->OpenInput("sim:out", rivalInbox.Handler());
    const auto rivalOutput = rival->OpenOutput("sim-01:in");
    ASSERT_TRUE(rivalInput && rivalOutput);
    EXPECT_EQ(program_->OpenInput("sim:out", inbox.Handler()), nullptr);
    EXPECT_EQ(program_->OpenOutput("sim-01:in"), nullptr);
}

// On the ALSA sequencer a USB interface is one port for both directions. One updater's input
// and output share the port's lock; another updater is refused it while either is open.
TEST_F(MidiHostOnJack, PortThatGoesBothWaysIsOneUpdatersInBothDirections) {
    const auto updater = MidiSystem::Choose("update");
    const auto rival = MidiSystem::Choose("rival");
    const std::string port = "Interface:Interface MIDI 1 24:0";
    auto input = updater->LockPort(port);
    auto output = updater->LockPort(port);
    ASSERT_TRUE(input && output);
    EXPECT_EQ(rival->LockPort(port), nullptr);
    input.reset();
    EXPECT_EQ(rival->LockPort(port), nullptr);
    output.reset();
    const auto rivals = rival->LockPort(port);
    EXPECT_NE(rivals, nullptr);
    EXPECT_EQ(updater->LockPort(port), nullptr);
}

// A JACK MIDI output carries whatever its buffer holds at each cycle: a bridge with nothing to
// send clears it.
int SendNothing(jack_nframes_t frames, void* port) {
    jack_midi_clear_buffer(jack_port_get_buffer(static_cast<jack_port_t*>(port), frames));
    return 0;
}

// A MIDI monitor and a bridge are plain JACK clients connected to the device's ports: they
// make no port unavailable.
TEST_F(MidiHostOnJack, ConnectionsOfOtherProgramsLeaveThePortsFree) {
    jack_client_t* monitor = jack_client_open("monitor", JackNoStartServer, nullptr);
    ASSERT_NE(monitor, nullptr);
    jack_port_t* listen =
        jack_port_register(monitor, "listen", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_port_t* feed =
        jack_port_register(monitor, "feed", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    ASSERT_TRUE(listen && feed);
    jack_set_process_callback(monitor, &SendNothing, feed);
    ASSERT_EQ(jack_activate(monitor), 0);
    EXPECT_EQ(jack_connect(monitor, "sim:out", jack_port_name(listen)), 0);
    EXPECT_EQ(jack_connect(monitor, jack_port_name(feed), "sim-01:in"), 0);

    Inbox inbox;
    const auto input = program_->OpenInput("sim:out", inbox.Handler());
    const auto output = program_->OpenOutput("sim-01:in");
    ASSERT_TRUE(input && output);
    ExpectBothWays(*output, inbox);
    jack_client_close(monitor);
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

// Without the JACK server that the environment names, the host has no ports, and nothing
// reaches standard error on the way.
TEST(MidiHostWithoutSystem, HasNoPortsAndStaysQuiet) {
    setenv("UPDATE_MIDI_SYSTEM", "jack", 1);
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
