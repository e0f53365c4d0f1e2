#include "device_session.h"

#include <gtest/gtest.h>

#include "case_name.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image_writer.h"
#include "updater_messages.h"

namespace {

using namespace std::chrono_literals;

const Bytes handshake = {0xF0, 0x53, 0x2F, 0x6B, 0x31, 0x4E, 0x25, 0x39, 0xF7};

ScriptEntry Silent(std::uint32_t record, std::uint32_t attempt) {
    ScriptEntry entry{record, attempt, {}};
    entry.action.silent = true;
    return entry;
}

ScriptEntry Late(std::uint32_t record, std::uint32_t attempt, std::chrono::milliseconds delay) {
    ScriptEntry entry{record, attempt, {}};
    entry.action.delay = delay;
    return entry;
}

ScriptEntry Code(std::uint32_t record, std::uint32_t attempt, std::uint8_t code) {
    ScriptEntry entry{record, attempt, {}};
    entry.action.code = code;
    return entry;
}

struct SentReply {
    SimulatorTime at;
    std::uint8_t code;
    bool operator==(const SentReply&) const = default;
};

// Runs a session on virtual time and records what it does.
class DeviceSessionTest : public testing::Test, private DeviceEvents {
protected:
    void Start(DeviceBehaviour behaviour) {
        session_ = std::make_unique<DeviceSession>(std::move(behaviour),
                                                   static_cast<DeviceEvents&>(*this));
    }
    // The messages arrive at `at`; the session runs to there.
    void Send(const std::vector<Bytes>& messages, SimulatorTime at) {
        RunUntil(at);
        for (const Bytes& message : messages)
            session_->Receive(message, at);
        RunUntil(at);
    }
    void RunUntil(SimulatorTime limit) {
        for (auto next = session_->NextDue(); next && *next <= limit; next = session_->NextDue()) {
            now_ = *next;
            session_->Advance(now_);
        }
        now_ = limit;
    }
    bool Logged(const std::string& line) const {
        return std::find(log_.begin(), log_.end(), line) != log_.end();
    }

    std::vector<SentReply> replies_;
    Bytes accepted_;
    std::vector<std::string> log_;
    std::unique_ptr<DeviceSession> session_;

private:
    void SendReply(std::span<const std::uint8_t> message) override {
        ASSERT_EQ(message.size(), 3u);
        EXPECT_EQ(message[0], 0xF0);
        EXPECT_EQ(message[2], 0xF7);
        replies_.push_back({now_, message[1]});
    }
    void AcceptRecord(std::span<const std::uint8_t> record) override {
        accepted_.insert(accepted_.end(), record.begin(), record.end());
    }
    void Log(const std::string& line) override { log_.push_back(line); }

    SimulatorTime now_{0};
};

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

struct ScriptCase {
    const char* name;
    std::vector<ScriptEntry> script;
    // Receptions, one every 100 ms: the record's index, negative for a damaged copy.
    std::vector<int> sent;
    std::vector<std::optional<std::uint8_t>> replies;
    std::vector<int> accepted;
};

void PrintTo(const ScriptCase& testCase, std::ostream* stream) {
    *stream << testCase.name;
}

class Scripts : public DeviceSessionTest, public testing::WithParamInterface<ScriptCase> {
protected:
    static Bytes RecordFor(int index) {
        Bytes record = MakeRecord(MakePayload(index == 1 || index == -1 ? 25 : 50, 1));
        if (index < 0)
            record[3] ^= 0x01;
        return record;
    }
};

TEST_P(Scripts, ReplyAndAcceptAsScripted) {
    DeviceBehaviour behaviour;
    for (const ScriptEntry& entry : GetParam().script)
        behaviour.script.Add(entry);
    Start(behaviour);
    for (std::size_t index = 0; index < GetParam().sent.size(); ++index) {
        const std::size_t repliesBefore = replies_.size();
        Send(UpdaterMessages(RecordFor(GetParam().sent[index])), static_cast<int>(index) * 100ms);
        std::optional<std::uint8_t> reply;
        if (replies_.size() > repliesBefore)
            reply = replies_.back().code;
        EXPECT_EQ(reply, GetParam().replies[index]) << "reception " << index + 1;
    }
    Bytes expected;
    for (int index : GetParam().accepted) {
        const Bytes record = RecordFor(index);
        expected.insert(expected.end(), record.begin(), record.end());
    }
    EXPECT_EQ(accepted_, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Actions, Scripts,
    testing::Values(
        ScriptCase{"None", {}, {1, -2, 2}, {0x1A, 0x20, 0x1A}, {1, 2}},
        ScriptCase{"SilentOnce", {Silent(1, 1)}, {1, 1, 2}, {std::nullopt, 0x1A, 0x1A}, {1, 2}},
        ScriptCase{"CodeOnEveryAttempt", {Code(1, 0, 0x24)}, {1, 1, 1}, {0x24, 0x24, 0x24}, {}},
        ScriptCase{"LaterEntryWins",
                   {Code(1, 0, 0x24), Code(1, 2, 0x1A)},
                   {1, 1, 2},
                   {0x24, 0x1A, 0x1A},
                   {1, 2}},
        ScriptCase{"AttemptsCountBadReceptions",
                   {Code(1, 3, 0x22)},
                   {-1, -1, 1, 1},
                   {0x20, 0x20, 0x22, 0x1A},
                   {1}},
        ScriptCase{"CodeReplacesChecksumError", {Code(1, 1, 0x25)}, {-1}, {0x25}, {}},
        ScriptCase{"AcceptedBadRecordMovesOn", {Code(1, 1, 0x1A)}, {-1, 1}, {0x1A, 0x1A}, {-1, 1}},
        ScriptCase{"RestartKeepsAGoodRecord", {Code(2, 0, 0x77)}, {1, 2}, {0x1A, 0x77}, {1, 2}},
        ScriptCase{"RestartLeavesABadRecord", {Code(1, 0, 0x77)}, {-1}, {0x77}, {}}),
    NameCase);

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

TEST(DinCable, QueuesMessagesAtThreeHundredTwentyMicrosecondsAByte) {
    DinCable cable(true);
    EXPECT_EQ(cable.Cross(0us, 48), 15360us);
    EXPECT_EQ(cable.Cross(0us, 3), 16320us);
    EXPECT_EQ(cable.Cross(1s, 3), 1000960us);
    DinCable unpaced(false);
    EXPECT_EQ(unpaced.Cross(1s, 48), 1s);
}

TEST_F(DeviceSessionTest, DinPacingDelaysWhatComesInAndWhatGoesOut) {
    DeviceBehaviour behaviour;
    behaviour.dinCable = true;
    behaviour.script.Add(Late(2, 1, 100ms));
    Start(behaviour);
    // Nine bytes in, three out; the second handshake waits for the first on the cable.
    Send({handshake, handshake}, 0ms);
    // A 24-byte record: 48 digits in two messages of 48 and 4 bytes.
    const Bytes record = MakeRecord(MakePayload(20, 5));
    Send(UpdaterMessages(record), 10ms);
    Send(UpdaterMessages(record), 1s);
    RunUntil(2s);
    EXPECT_EQ(replies_, (std::vector<SentReply>{{3840us, 0x39},
                                                {6720us, 0x39},
                                                {10ms + 52 * 320us + 3 * 320us, 0x1A},
                                                {1s + 52 * 320us + 100ms + 3 * 320us, 0x1A}}));
}

}  // namespace
