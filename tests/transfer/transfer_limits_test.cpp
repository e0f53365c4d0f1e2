#include <gtest/gtest.h>

#include <string>

#include "transfer_fixture.h"

namespace {

std::string Repeated(const std::string& text, std::size_t times) {
    std::string all;
    for (std::size_t time = 0; time < times; ++time)
        all += text;
    return all;
}

// Failed attempts of both kinds, silence first: an error code without a message of its own.
void AddFailures(std::deque<Answer>& answers, std::size_t count) {
    for (std::size_t failure = 0; failure < count; ++failure) {
        answers.push_back(failure % 2 == 0 ? Silence() : Reply(0x42));
    }
}

// Two records of 4 bytes: the second shows 50 percent and the glyph that the first showed.
const Bytes twoRecords = MakeImage({{}, {}});

TEST_F(TransferTest, NineteenFailuresThenAcceptedLeaveTheNextRecordTwentyAttempts) {
    AddFailures(answers, 19);
    answers.push_back(Reply(0x1A));
    AddFailures(answers, 19);
    EXPECT_EQ(Transfer(twoRecords), TransferEnding::completed);
    EXPECT_EQ(console, Repeated(ProgressLine('-', 0), 20) + Repeated(ProgressLine('-', 50), 20) +
                           transferDone + updateSucceeded);
    EXPECT_EQ(records.size(), 40u);
}

struct LimitCase {
    const char* name;
    std::size_t failuresBefore;
    Answer last;
    TransferEnding ending;
    std::string closing;
};

class TransferRetryLimit : public TransferTest, public testing::WithParamInterface<LimitCase> {};

TEST_P(TransferRetryLimit, TwentiethAttemptInARowEndsByItsAnswer) {
    answers.push_back(Reply(0x1A));
    AddFailures(answers, GetParam().failuresBefore);
    answers.push_back(GetParam().last);
    EXPECT_EQ(Transfer(twoRecords), GetParam().ending);
    const std::size_t attempts = GetParam().failuresBefore + 1;
    EXPECT_EQ(console, ProgressLine('-', 0) + Repeated(ProgressLine('-', 50), attempts) +
                           GetParam().closing);
    EXPECT_EQ(records.size(), 1 + attempts);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, TransferRetryLimit,
    testing::Values(LimitCase{"Silence", 19, Silence(), TransferEnding::notResponding,
                              "\nFailed: Target is not responding.\n\n"},
                    // The limit wins over the code's own message.
                    LimitCase{"ErrorCode", 19, Reply(0x24), TransferEnding::updateError,
                              "\nError in updating.\n"},
                    // A restart is no failure: the device has finished, whatever the attempt.
                    LimitCase{"Restart", 19, Reply(0x77), TransferEnding::deviceRestarting,
                              restartEnding},
                    // A handshake's answer is no reply: the attempt ends as silence does.
                    LimitCase{"HandshakeAnswer", 19, Reply(0x39), TransferEnding::notResponding,
                              "\nFailed: Target is not responding.\n\n"}),
    NameCase);

struct WaitCase {
    const char* name;
    std::uint64_t sendingTime;
    std::uint64_t replyDelay;
    std::size_t recordsSent;
    std::uint64_t finishedAt;
};

class TransferReplyWait : public TransferTest, public testing::WithParamInterface<WaitCase> {};

// The device answers the first attempt only; the repeat, if any, goes unanswered. A record
// answered after its wait has its answers taken until a whole wait brings no further one, and
// the last record is followed by one more wait in which nothing may come.
TEST_P(TransferReplyWait, LateReplyAnswersTheRepeat) {
    host.sendingTime = std::chrono::milliseconds(GetParam().sendingTime);
    answers = {Reply(0x1A, GetParam().replyDelay), Silence()};
    EXPECT_EQ(Transfer(MakeImage({{}})), TransferEnding::completed);
    EXPECT_EQ(records.size(), GetParam().recordsSent);
    EXPECT_EQ(host.Now(), GetParam().finishedAt);
}

INSTANTIATE_TEST_SUITE_P(
    Delays, TransferReplyWait,
    testing::Values(WaitCase{"OnTheLastSleep", 0, 500, 1, 500 + 500},
                    WaitCase{"AfterTheLastSleep", 0, 501, 2, 501 + 500 + 500},
                    // Each send keeps the output busy for 100 ms: the wait runs from 100 to
                    // 600, and the reply comes while the repeat is being sent.
                    WaitCase{"WhileTheRepeatIsSent", 100, 650, 2, 700 + 500 + 500}),
    NameCase);

TEST_F(TransferTest, OneByteReplyCountsAsSilence) {
    // A stale accepting code, which the one-byte message must not bring back.
    midiLink.rxBuffer[1] = 0x1A;
    answers = {{{0xF0}, 1}};
    EXPECT_EQ(Transfer(MakeImage({{}})), TransferEnding::completed);
    ASSERT_EQ(host.Sent().size(), 2u);
    EXPECT_EQ(host.Sent()[1].time, 500u);
    EXPECT_EQ(console, Repeated(ProgressLine('-', 0), 2) + transferDone + updateSucceeded);
}

struct StrayCase {
    const char* name;
    std::uint8_t code;
    std::uint64_t arrival;
};

class TransferStrayAnswer : public TransferTest, public testing::WithParamInterface<StrayCase> {};

// A handshake's answer still on its way when the records go out. Taken as the first record's
// reply, it would put every later reply one record behind: the refusal of the second record
// would then repeat the third, and the second would never be sent again.
TEST_P(TransferStrayAnswer, IsDroppedAndTheRecordsOwnReplyTaken) {
    host.Schedule("device in", ReplyMessage(GetParam().code), GetParam().arrival);
    answers = {Reply(0x1A, 30), Reply(0x20, 30), Reply(0x1A, 30), Reply(0x1A, 30)};
    const Bytes image = MakeImage({MakePayload(2, 1), MakePayload(2, 2), MakePayload(2, 3)});
    EXPECT_EQ(Transfer(image), TransferEnding::completed);
    EXPECT_EQ(console, ProgressLine('-', 0) + ProgressLine('-', 33) +
                           "\nThe CRC of the download file is error!\n" + ProgressLine('-', 33) +
                           ProgressLine('\\', 66) + transferDone + updateSucceeded);
    const std::vector<Bytes> expected = {
        Bytes(image.begin(), image.begin() + 6), Bytes(image.begin() + 6, image.begin() + 12),
        Bytes(image.begin() + 6, image.begin() + 12), Bytes(image.begin() + 12, image.end())};
    EXPECT_EQ(records, expected);
    EXPECT_EQ(host.Now(), 4u * 30u + 500u);
}

INSTANTIATE_TEST_SUITE_P(Answers, TransferStrayAnswer,
                         testing::Values(StrayCase{"TargetCodeBeforeTheReply", 0x39, 5},
                                         StrayCase{"ResetRequestBeforeTheReply", 0x15, 5},
                                         // In the wait for the repeated record's reply.
                                         StrayCase{"TargetCodeDuringTheRepeat", 0x39, 75}),
                         NameCase);

TEST_F(TransferTest, StrayAnswerAloneLeavesTheAttemptToItsWholeWait) {
    host.Schedule("device in", ReplyMessage(0x39), 5);
    answers = {Silence()};
    EXPECT_EQ(Transfer(MakeImage({{}})), TransferEnding::completed);
    ASSERT_EQ(host.Sent().size(), 2u);
    EXPECT_EQ(host.Sent()[1].time, 500u);
    EXPECT_EQ(console, Repeated(ProgressLine('-', 0), 2) + transferDone + updateSucceeded);
}

struct RefusalCase {
    const char* name;
    std::size_t refusedSend;
    std::size_t sentBefore;
};

class TransferOutputLost : public TransferTest, public testing::WithParamInterface<RefusalCase> {};

TEST_P(TransferOutputLost, RefusedFullMessageEndsAtOnce) {
    host.refusedSends = {GetParam().refusedSend};
    EXPECT_EQ(Transfer(MakeImage({MakePayload(42, 4)})), TransferEnding::outputLost);
    EXPECT_EQ(console, ProgressLine('-', 0) + outputMissing);
    EXPECT_EQ(host.Sent().size(), GetParam().sentBefore);
}

INSTANTIATE_TEST_SUITE_P(Messages, TransferOutputLost,
                         testing::Values(RefusalCase{"First", 1, 0}, RefusalCase{"Second", 2, 1}),
                         NameCase);

TEST_F(TransferTest, RefusedShortMessageIsJudgedByTheMissingReply) {
    host.refusedSends = {1};
    EXPECT_EQ(Transfer(MakeImage({{}})), TransferEnding::completed);
    EXPECT_EQ(console, Repeated(ProgressLine('-', 0), 2) + transferDone + updateSucceeded);
    ASSERT_EQ(host.Sent().size(), 1u);
    EXPECT_EQ(host.Sent()[0].time, 500u);
}

}  // namespace

namespace {

// Each message keeps the output busy for 0.3 ms, so the reply waits start off the millisecond
// that the replies keep: a wait that looked only every millisecond would take each reply 0.3 ms
// after it came, and every record would cost that much more.
TEST_F(TransferTest, ReplyIsTakenTheMomentItComes) {
    host.sendingTime = std::chrono::microseconds(300);
    EXPECT_EQ(Transfer(MakeImage({{}, {}, {}})), TransferEnding::completed);
    ASSERT_EQ(host.Sent().size(), 3u);
    // Sent at 0, 1 and 2 ms, the last answered at 3 ms, then the wait after the last record.
    EXPECT_EQ(host.Time(), std::chrono::microseconds(3000 + 500000));
}

}  // namespace
