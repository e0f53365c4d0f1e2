// What the RtMidi host on JACK lists, and how it carries System Exclusive messages both ways.
#include "midi_host_fixture.h"

#include <thread>

namespace {

using namespace std::chrono_literals;

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

}  // namespace
