// How the device answers handshakes: which ones, with what, how late and how often.
#include "device_session_fixture.h"

#include <optional>
#include <vector>

#include "case_name.h"

namespace {

using namespace std::chrono_literals;

struct HandshakeCase {
    const char* name;
    std::vector<std::optional<std::uint8_t>> replies;
    std::uint32_t answerFrom;
    Bytes message;
    // Replies to the message sent at 0 s, 1 s, 2 s and 3 s.
    std::vector<SentReply> expected;
};

void PrintTo(const HandshakeCase& testCase, std::ostream* stream) {
    *stream << testCase.name;
}

class Handshakes : public DeviceSessionTest, public testing::WithParamInterface<HandshakeCase> {};

TEST_P(Handshakes, AreAnsweredAsConfigured) {
    DeviceBehaviour behaviour;
    behaviour.handshakeReplies = GetParam().replies;
    behaviour.answerFromHandshake = GetParam().answerFrom;
    Start(behaviour);
    for (int second = 0; second < 4; ++second)
        Send({GetParam().message}, second * 1s);
    EXPECT_EQ(replies_, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, Handshakes,
    testing::Values(
        HandshakeCase{
            "TargetCode", {0x39}, 1, handshake, {{0s, 0x39}, {1s, 0x39}, {2s, 0x39}, {3s, 0x39}}},
        HandshakeCase{
            "ResetRequest", {0x15}, 1, handshake, {{0s, 0x15}, {1s, 0x15}, {2s, 0x15}, {3s, 0x15}}},
        HandshakeCase{"Never", {std::nullopt}, 1, handshake, {}},
        HandshakeCase{"FromTheThird", {0x39}, 3, handshake, {{2s, 0x39}, {3s, 0x39}}},
        HandshakeCase{"OneByOne",
                      {std::nullopt, 0x39, 0x15},
                      1,
                      handshake,
                      {{1s, 0x39}, {2s, 0x15}, {3s, 0x15}}},
        HandshakeCase{"OtherTargetCode",
                      {0x39},
                      1,
                      {0xF0, 0x53, 0x2F, 0x6B, 0x31, 0x4E, 0x25, 0x38, 0xF7},
                      {}},
        HandshakeCase{"LongerMessage",
                      {0x39},
                      1,
                      {0xF0, 0x53, 0x2F, 0x6B, 0x31, 0x4E, 0x25, 0x39, 0x39, 0xF7},
                      {}},
        HandshakeCase{"NotSystemExclusive", {0x39}, 1, {0x90, 0x3C, 0x40}, {}}),
    NameCase);

// A device waking up answers late, and discovery has sent the handshake again by then; a MIDI
// merger or a thru loop hands over every answer twice.
TEST_F(DeviceSessionTest, HandshakesAreAnsweredLateAndTwice) {
    DeviceBehaviour behaviour;
    behaviour.handshakeReplies = {0x39, 0x15};
    behaviour.answerFromHandshake = 2;
    behaviour.handshakeDelay = 700ms;
    behaviour.handshakeRepeat = 40ms;
    Start(behaviour);
    for (const SimulatorTime at : {0ms, 510ms, 1020ms})
        Send({handshake}, at);
    RunUntil(10s);
    EXPECT_EQ(replies_, (std::vector<SentReply>{
                            {1210ms, 0x15}, {1250ms, 0x15}, {1720ms, 0x15}, {1760ms, 0x15}}));
    EXPECT_TRUE(Logged("handshake 1: no reply (answers from handshake 2)"));
    EXPECT_TRUE(Logged("handshake 2: reply 15 (reset request) in 700 ms, again 40 ms later"));
    EXPECT_TRUE(Logged("handshake 2: reply 15 again"));
}

}  // namespace
