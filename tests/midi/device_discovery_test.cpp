#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "case_name.h"
#include "console_text.h"
#include "fake_midi_host.h"
#include "midi_fixture.h"

namespace {

const Message handshake = {0xF0, 0x53, 0x2F, 0x6B, 0x31, 0x4E, 0x25, 0x39, 0xF7};

// A device listening on output "device out" and answering on input "device in": from its
// answerFrom-th handshake on, it replies the code after delay milliseconds.
ScriptedDevice HandshakeDevice(std::uint8_t code, int answerFrom = 1, std::uint64_t delay = 10) {
    auto handshakes = std::make_shared<int>(0);
    return [=](const SentMessage& message) -> std::vector<ScriptedReply> {
        if (message.output != "device out" || message.bytes != handshake)
            return {};
        if (++*handshakes < answerFrom)
            return {};
        return {{"device in", ReplyMessage(code), delay}};
    };
}

struct DiscoveryCase {
    const char* name = "";
    std::vector<std::string> inputs = {};
    std::vector<std::string> outputs = {};
    ScriptedDevice device;
    DiscoveryResult result;
    std::string output;
    std::set<std::string> openAfterwards = {};
    std::size_t handshakesSent = 0;
};

class Discovery : public MidiTest, public testing::WithParamInterface<DiscoveryCase> {};

TEST_P(Discovery, FindsTheAnsweringPair) {
    const DiscoveryCase& scenario = GetParam();
    FakeMidiHost host(scenario.inputs, scenario.outputs);
    host.SetDevice(scenario.device);
    testing::internal::CaptureStdout();
    EXPECT_EQ(FindUpdateDevice(0x39), scenario.result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), scenario.output);
    EXPECT_EQ(host.OpenPorts(), scenario.openAfterwards);
    EXPECT_EQ(host.Sent().size(), scenario.handshakesSent);
    for (const SentMessage& sent : host.Sent())
        EXPECT_EQ(sent.bytes, handshake);
    ResetMidiLink();
}

std::vector<std::string> Names(const std::string& prefix, int count) {
    std::vector<std::string> names;
    for (int index = 0; index < count; ++index)
        names.push_back(prefix + std::to_string(index));
    return names;
}

std::vector<std::string> With(std::vector<std::string> names, std::size_t index,
                              const std::string& name) {
    names.insert(names.begin() + static_cast<std::ptrdiff_t>(index), name);
    return names;
}

constexpr std::size_t sendsPerSilentPair = 4;
const std::set<std::string> devicePairOpen = {"in device in", "out device out"};

INSTANTIATE_TEST_SUITE_P(
    Scenarios, Discovery,
    testing::Values(
        DiscoveryCase{.name = "NoPorts",
                      .device = HandshakeDevice(0x39),
                      .result = DiscoveryResult::noDevice,
                      .output = noDeviceFound},
        DiscoveryCase{.name = "InputsButNoOutputs",
                      .inputs = {"a", "b"},
                      .device = HandshakeDevice(0x39),
                      .result = DiscoveryResult::noDevice,
                      .output = noDeviceFound},
        DiscoveryCase{.name = "DeviceAtOnce",
                      .inputs = {"device in"},
                      .outputs = {"device out"},
                      .device = HandshakeDevice(0x39),
                      .result = DiscoveryResult::deviceFound,
                      .output = DeviceLines("device in", "device out"),
                      .openAfterwards = devicePairOpen,
                      .handshakesSent = 1},
        DiscoveryCase{.name = "ResetRequest",
                      .inputs = {"device in"},
                      .outputs = {"device out"},
                      .device = HandshakeDevice(0x15),
                      .result = DiscoveryResult::resetRequested,
                      .output = DeviceLines("device in", "device out"),
                      .openAfterwards = devicePairOpen,
                      .handshakesSent = 1},
        DiscoveryCase{.name = "OtherReplyIsNoAnswer",
                      .inputs = {"device in"},
                      .outputs = {"device out"},
                      .device = HandshakeDevice(0x1A),
                      .result = DiscoveryResult::noDevice,
                      .output = noDeviceFound,
                      .handshakesSent = sendsPerSilentPair},
        DiscoveryCase{.name = "AnswerToTheFourthSend",
                      .inputs = {"device in"},
                      .outputs = {"device out"},
                      .device = HandshakeDevice(0x39, 4),
                      .result = DiscoveryResult::deviceFound,
                      .output = DeviceLines("device in", "device out"),
                      .openAfterwards = devicePairOpen,
                      .handshakesSent = 4},
        DiscoveryCase{.name = "NoAnswerBeforeTheFifthSend",
                      .inputs = {"device in"},
                      .outputs = {"device out"},
                      .device = HandshakeDevice(0x39, 5),
                      .result = DiscoveryResult::noDevice,
                      .output = noDeviceFound,
                      .handshakesSent = sendsPerSilentPair},
        DiscoveryCase{.name = "ReplyDuringThe500thSleep",
                      .inputs = {"device in"},
                      .outputs = {"device out"},
                      .device = HandshakeDevice(0x39, 1, 500),
                      .result = DiscoveryResult::deviceFound,
                      .output = DeviceLines("device in", "device out"),
                      .openAfterwards = devicePairOpen,
                      .handshakesSent = 1},
        // Too late for the first wait: taken at the first poll of the second.
        DiscoveryCase{.name = "ReplyAfterThe500thSleep",
                      .inputs = {"device in"},
                      .outputs = {"device out"},
                      .device = HandshakeDevice(0x39, 1, 501),
                      .result = DiscoveryResult::deviceFound,
                      .output = DeviceLines("device in", "device out"),
                      .openAfterwards = devicePairOpen,
                      .handshakesSent = 2},
        // Both outputs are tried with the first input before the second input is opened.
        DiscoveryCase{.name = "BehindTheSecondInput",
                      .inputs = {"other in", "device in"},
                      .outputs = {"device out", "x"},
                      .device = HandshakeDevice(0x39),
                      .result = DiscoveryResult::deviceFound,
                      .output = DeviceLines("device in", "device out"),
                      .openAfterwards = devicePairOpen,
                      .handshakesSent = 2 * sendsPerSilentPair + 1},
        // Only the first ten outputs are counted.
        DiscoveryCase{.name = "BehindTheEleventhOutput",
                      .inputs = {"device in"},
                      .outputs = With(Names("output ", 11), 10, "device out"),
                      .device = HandshakeDevice(0x39),
                      .result = DiscoveryResult::noDevice,
                      .output = noDeviceFound,
                      .handshakesSent = 10 * sendsPerSilentPair}),
    NameCase);

TEST_F(MidiTest, PortsThatFailToOpenAreSkipped) {
    FakeMidiHost host({"busy in", "device in"}, {"busy out", "device out"});
    host.failingPorts = {"busy in", "busy out"};
    host.SetDevice(HandshakeDevice(0x39));
    testing::internal::CaptureStdout();
    EXPECT_EQ(FindUpdateDevice(0x39), DiscoveryResult::deviceFound);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(host.PortEvents(),
              (std::vector<std::string>{"open in device in", "open out device out"}));
    ResetMidiLink();
}

// The input that did not start still held the one receive buffer: had it stayed open, no
// later input could have queued the buffer, and the device would never have been heard.
TEST_F(MidiTest, InputThatFailsToStartIsClosedAndTheNextOneHears) {
    FakeMidiHost host({"stuck in", "device in"}, {"device out"});
    host.failingStarts = {"stuck in"};
    host.SetDevice(HandshakeDevice(0x39));
    testing::internal::CaptureStdout();
    EXPECT_EQ(FindUpdateDevice(0x39), DiscoveryResult::deviceFound);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(host.PortEvents(),
              (std::vector<std::string>{"open in stuck in", "close in stuck in",
                                        "open in device in", "open out device out"}));
    ResetMidiLink();
}

// The search greets the device's output while it listens on another input; the device's
// interface keeps the four answers until its input opens. Taken then, they would choose the
// device's input with the first output, and the image would go to that other port.
TEST_F(MidiTest, AnswersHeldWhileNobodyListenedChooseNoPair) {
    struct HeldCase {
        const char* name;
        std::uint64_t releasedAfter;
    };
    for (const HeldCase scenario : {HeldCase{"AtOnce", 0}, HeldCase{"Later", 60}}) {
        SCOPED_TRACE(scenario.name);
        FakeMidiHost host({"other in", "device in"}, {"other out", "device out"});
        host.holdingInputs = {{"device in", scenario.releasedAfter}};
        host.SetDevice(HandshakeDevice(0x39));
        testing::internal::CaptureStdout();
        EXPECT_EQ(FindUpdateDevice(0x39), DiscoveryResult::deviceFound);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), DeviceLines("device in", "device out"));
        EXPECT_EQ(host.OpenPorts(), devicePairOpen);
        // Four to each pair over the other input, four to the silent pair, one answered.
        EXPECT_EQ(host.Sent().size(), 3 * sendsPerSilentPair + 1);
        ResetMidiLink();
    }
}

// An answer that comes late to a pair's own handshake, within its later waits, still counts.
TEST_F(MidiTest, LateAnswerWithinThePairsWaitsCounts) {
    FakeMidiHost host({"device in"}, {"device out"});
    host.SetDevice(HandshakeDevice(0x39, 1, 1200));
    testing::internal::CaptureStdout();
    EXPECT_EQ(FindUpdateDevice(0x39), DiscoveryResult::deviceFound);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(host.Sent().size(), 3u);
    ResetMidiLink();
}

TEST_F(MidiTest, OneByteMessageUsesUpEveryWaitOfItsPair) {
    FakeMidiHost host({"device in"}, {"device out", "second out"});
    // After what the input held when it opened has been let out and dropped.
    host.Schedule("device in", {0xF0}, 120);
    host.SetDevice([&host](const SentMessage& message) -> std::vector<ScriptedReply> {
        // The device answers only its sixth handshake, over the second output.
        if (message.output == "second out" && host.Sent().size() == 6) {
            return {{"device in", ReplyMessage(0x39), 0}};
        }
        return {};
    });
    testing::internal::CaptureStdout();
    EXPECT_EQ(FindUpdateDevice(0x39), DiscoveryResult::deviceFound);
    testing::internal::GetCapturedStdout();
    // The count of 1 stayed over the first pair, whose waits then slept no more; the second
    // pair starts afresh, and its first wait runs out before the answer to its second send.
    EXPECT_EQ(host.Sent().size(), 6u);
    EXPECT_EQ(host.Now(), 620u);
    ResetMidiLink();
}

}  // namespace
