// How the device tells records, their repeats and the next ones apart, answers each, and drops
// a record left unfinished.
#include "device_session_fixture.h"

#include <optional>
#include <vector>

#include "image_writer.h"
#include "updater_messages.h"

namespace {

using namespace std::chrono_literals;

TEST_F(DeviceSessionTest, RepliesToEachRecordAndCountsRepeats) {
    Start({});
    const Bytes first = MakeRecord(MakePayload(60, 1));
    const Bytes second = MakeRecord(MakePayload(19, 2));
    Bytes damaged = second;
    damaged[5] ^= 0x40;
    Send({handshake}, 0ms);
    Send(UpdaterMessages(first), 10ms);
    Send(UpdaterMessages(damaged), 20ms);
    Send(UpdaterMessages(second), 30ms);
    Send(UpdaterMessages(first), 40ms);
    EXPECT_EQ(replies_, (std::vector<SentReply>{
                            {0ms, 0x39}, {10ms, 0x1A}, {20ms, 0x20}, {30ms, 0x1A}, {40ms, 0x1A}}));
    const Bytes expected = Concatenate({first, second, first});
    EXPECT_EQ(accepted_, expected);
    EXPECT_EQ(session_->AcceptedRecords(), 3u);
    EXPECT_EQ(session_->AcceptedBytes(), expected.size());
    EXPECT_TRUE(Logged("handshake 1: reply 39"));
    EXPECT_TRUE(Logged("record 2 (23 bytes) attempt 1: checksum bad, reply 20"));
    EXPECT_TRUE(Logged("record 2 (23 bytes) attempt 2: checksum good, reply 1A, accepted"));
    EXPECT_TRUE(Logged("record 3 (64 bytes) attempt 1: checksum good, reply 1A, accepted"));
}

TEST_F(DeviceSessionTest, AHandshakeCountsRecordsFromOneAgain) {
    DeviceBehaviour behaviour;
    behaviour.script.Add(Silent(1, 1));
    Start(behaviour);
    const Bytes record = MakeRecord(MakePayload(5, 1));
    Send(UpdaterMessages(record), 0ms);
    Send({handshake}, 10ms);
    Send(UpdaterMessages(record), 20ms);
    Send(UpdaterMessages(record), 30ms);
    EXPECT_EQ(replies_, (std::vector<SentReply>{{10ms, 0x39}, {30ms, 0x1A}}));
    EXPECT_TRUE(Logged("record 1 (9 bytes) attempt 2: checksum good, reply 1A, accepted"));
}

// The updater gives up waiting after 500 ms and sends the record again; a reply that is still
// on its way then cannot have moved it on to the next record.
TEST_F(DeviceSessionTest, ARepeatAfterALateReplyIsTheSameRecord) {
    DeviceBehaviour behaviour;
    behaviour.script.Add(Silent(2, 1));
    behaviour.script.Add(Late(2, 2, 700ms));
    Start(behaviour);
    const Bytes first = MakeRecord(MakePayload(30, 1));
    const Bytes second = MakeRecord(MakePayload(30, 2));
    const Bytes third = MakeRecord(MakePayload(30, 3));
    Send(UpdaterMessages(first), 0ms);
    Send(UpdaterMessages(second), 10ms);
    Send(UpdaterMessages(second), 510ms);
    Send(UpdaterMessages(second), 1010ms);
    Send(UpdaterMessages(third), 1011ms);
    RunUntil(2s);
    // Answered in the order received: none before the late reply.
    EXPECT_EQ(replies_, (std::vector<SentReply>{
                            {0ms, 0x1A}, {1210ms, 0x1A}, {1210ms, 0x1A}, {1210ms, 0x1A}}));
    EXPECT_TRUE(Logged("record 2 (34 bytes) attempt 1: checksum good, silent (scripted)"));
    EXPECT_TRUE(Logged(
        "record 2 (34 bytes) attempt 2: checksum good, reply 1A in 700 ms (scripted), accepted"));
    EXPECT_TRUE(Logged("record 2 (34 bytes) attempt 3: checksum good, reply 1A"));
    EXPECT_TRUE(Logged("record 3 (34 bytes) attempt 1: checksum good, reply 1A, accepted"));
    EXPECT_TRUE(Logged("record 2 attempt 2: late reply 1A sent"));
    EXPECT_EQ(accepted_, Concatenate({first, second, third}));
}

// A device that holds a record answers its repeat, which it keeps once, in its own way; and a
// thru loop brings every reply twice.
TEST_F(DeviceSessionTest, RepeatsOfTheAcceptedRecordAreAnsweredByTheDevicesKind) {
    struct KindCase {
        const char* name;
        DeviceBehaviour::RepeatAnswer kind;
        std::optional<std::chrono::milliseconds> twice;
        std::vector<SentReply> expected;
    };
    using enum DeviceBehaviour::RepeatAnswer;
    const std::vector<KindCase> cases = {
        {"Accept", accept, {}, {{700ms, 0x1A}, {700ms, 0x1A}, {1000ms, 0x1A}}},
        {"Refuse", refuse, {}, {{700ms, 0x1A}, {700ms, 0x21}, {1000ms, 0x1A}}},
        {"Silent", silent, {}, {{700ms, 0x1A}, {1000ms, 0x1A}}},
        {"Twice",
         accept,
         20ms,
         {{700ms, 0x1A},
          {700ms, 0x1A},
          {720ms, 0x1A},
          {720ms, 0x1A},
          {1000ms, 0x1A},
          {1020ms, 0x1A}}},
    };
    const Bytes first = MakeRecord(MakePayload(30, 1));
    const Bytes second = MakeRecord(MakePayload(30, 2));
    for (const KindCase& kind : cases) {
        SCOPED_TRACE(kind.name);
        DeviceBehaviour behaviour;
        behaviour.repeatAnswer = kind.kind;
        behaviour.replyRepeat = kind.twice;
        behaviour.script.Add(Late(1, 1, 700ms));
        Start(behaviour);
        replies_.clear();
        accepted_.clear();
        Send(UpdaterMessages(first), 0ms);
        Send(UpdaterMessages(first), 500ms);
        Send(UpdaterMessages(second), 1000ms);
        RunUntil(2s);
        EXPECT_EQ(replies_, kind.expected);
        EXPECT_EQ(accepted_, Concatenate({first, second}));
    }
}

// The updater that reads one reply behind (it took a stray message for a record's reply) has
// already sent a record again, or the next one, when the late reply goes out: a record equal to
// the accepted one is its repeat, any other is the next, and an equal one after the reply is
// the image's next record.
TEST_F(DeviceSessionTest, RecordsBeforeALateReplyAreCountedByTheirContent) {
    DeviceBehaviour behaviour;
    behaviour.replyDelay = 30ms;
    behaviour.script.Add(Code(2, 1, 0x20));
    Start(behaviour);
    const Bytes first = MakeRecord(MakePayload(30, 1));
    const Bytes second = MakeRecord(MakePayload(30, 2));
    const Bytes third = MakeRecord(MakePayload(30, 3));
    Send(UpdaterMessages(first), 0ms);
    Send(UpdaterMessages(first), 10ms);
    Send(UpdaterMessages(second), 30ms);
    Send(UpdaterMessages(second), 60ms);
    Send(UpdaterMessages(third), 70ms);
    Send(UpdaterMessages(third), 110ms);
    RunUntil(1s);
    EXPECT_EQ(
        replies_,
        (std::vector<SentReply>{
            {30ms, 0x1A}, {40ms, 0x1A}, {60ms, 0x20}, {90ms, 0x1A}, {100ms, 0x1A}, {140ms, 0x1A}}));
    EXPECT_TRUE(Logged("record 1 (34 bytes) attempt 2: checksum good, reply 1A in 30 ms"));
    EXPECT_TRUE(
        Logged("record 2 (34 bytes) attempt 1: checksum good, reply 20 in 30 ms (scripted)"));
    EXPECT_TRUE(
        Logged("record 4 (34 bytes) attempt 1: checksum good, reply 1A in 30 ms, accepted"));
    EXPECT_EQ(accepted_, Concatenate({first, second, third, third}));
}

TEST_F(DeviceSessionTest, AnUnfinishedRecordIsDroppedAndTheNextStartsClean) {
    Start({});
    const Bytes record = MakeRecord(MakePayload(40, 4));
    const std::vector<Bytes> messages = UpdaterMessages(record);
    ASSERT_EQ(messages.size(), 2u);
    Send({messages[0]}, 0ms);
    Send(messages, 600ms);
    Send({messages[0]}, 700ms);
    Send({handshake}, 710ms);
    Send({messages[0], {0xF0, '0', 'g', 0xF7}}, 800ms);
    Send(messages, 810ms);
    EXPECT_EQ(replies_, (std::vector<SentReply>{{600ms, 0x1A}, {710ms, 0x39}, {810ms, 0x1A}}));
    EXPECT_TRUE(Logged("record dropped after a silence, at 46 of 88 digits"));
    EXPECT_TRUE(Logged("record dropped for a handshake, at 46 of 88 digits"));
    EXPECT_TRUE(Logged("message with non-hexadecimal data: record dropped, at 46 of 88 digits"));
    Bytes expected = record;
    expected.insert(expected.end(), record.begin(), record.end());
    EXPECT_EQ(accepted_, expected);
}

}  // namespace
