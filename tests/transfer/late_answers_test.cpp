// Answers that do not come one per attempt: a record answered after its wait, whose repeat is
// then answered too, and every answer brought twice. The protocol has no sequence numbers, so
// a reply taken for the wrong record puts every later one a record behind; a refusal is then
// blamed on the next record, and the refused one is never sent again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transfer_fixture.h"

namespace {

// Three records of 6 bytes.
const Bytes image = MakeImage({MakePayload(2, 1), MakePayload(2, 2), MakePayload(2, 3)});

Bytes RecordOf(std::size_t index) {
    return Bytes(image.begin() + static_cast<std::ptrdiff_t>(6 * index),
                 image.begin() + static_cast<std::ptrdiff_t>(6 * index + 6));
}

struct LateCase {
    const char* name;
    std::deque<Answer> answers;
    TransferEnding ending;
    std::string console;
    // The records that the device received, by their index in the image.
    std::vector<std::size_t> received;
    std::uint64_t finishedAt;
};

class TransferLateAnswers : public TransferTest, public testing::WithParamInterface<LateCase> {};

TEST_P(TransferLateAnswers, EachRecordIsJudgedByItsOwnAnswers) {
    answers = GetParam().answers;
    EXPECT_EQ(Transfer(image), GetParam().ending);
    EXPECT_EQ(console, GetParam().console);
    std::vector<Bytes> expected;
    for (const std::size_t index : GetParam().received)
        expected.push_back(RecordOf(index));
    EXPECT_EQ(records, expected);
    EXPECT_EQ(host.Now(), GetParam().finishedAt);
}

const std::string firstTwice = ProgressLine('-', 0) + ProgressLine('-', 0);
const std::string crcError = "\nThe CRC of the download file is error!\n";

// The first record is answered at 700 ms, as after an erase; the device answers its repeat,
// received at 500 ms, right after (in order). Its answers are taken until 500 ms pass without
// one, at 1201; the second record's reply takes 30 ms, and so on.
INSTANTIATE_TEST_SUITE_P(
    Schedules, TransferLateAnswers,
    testing::Values(
        LateCase{
            "AcceptedLateAndRepeatAcceptedThenARefusal",
            {Reply(0x1A, 700), Reply(0x1A, 201), Reply(0x1A, 30), Reply(0x20, 30), Reply(0x1A, 30)},
            TransferEnding::completed,
            firstTwice + ProgressLine('-', 33) + ProgressLine('\\', 66) + crcError +
                ProgressLine('\\', 66) + transferDone + updateSucceeded,
            {0, 0, 1, 2, 2},
            1201 + 3 * 30 + 500},
        // The same, the refusal coming at the very moment of the late acceptance: both are
        // recorded before the updater looks.
        LateCase{"AcceptedLateAndRepeatRefusedAtOnce",
                 {Reply(0x1A, 700), Reply(0x21, 200)},
                 TransferEnding::completed,
                 firstTwice + ProgressLine('-', 33) + ProgressLine('\\', 66) + transferDone +
                     updateSucceeded,
                 {0, 0, 1, 2},
                 1200 + 2 + 500},
        // A device that takes the repeat of a record it holds as damaged.
        LateCase{"AcceptedLateAndRepeatRefused",
                 {Reply(0x1A, 700), Reply(0x21, 201)},
                 TransferEnding::completed,
                 firstTwice + ProgressLine('-', 33) + ProgressLine('\\', 66) + transferDone +
                     updateSucceeded,
                 {0, 0, 1, 2},
                 1201 + 2 + 500},
        LateCase{"RefusedLateAndRepeatAccepted",
                 {Reply(0x20, 700), Reply(0x1A, 201)},
                 TransferEnding::completed,
                 firstTwice + ProgressLine('-', 33) + ProgressLine('\\', 66) + transferDone +
                     updateSucceeded,
                 {0, 0, 1, 2},
                 1201 + 2 + 500},
        // The last answer says what the device made of the record; the record goes again.
        LateCase{"RefusedLateAndRepeatRefused",
                 {Reply(0x20, 700), Reply(0x24, 201)},
                 TransferEnding::completed,
                 firstTwice + "\nThe download file verifies error!\n" + ProgressLine('-', 0) +
                     ProgressLine('-', 33) + ProgressLine('\\', 66) + transferDone +
                     updateSucceeded,
                 {0, 0, 0, 1, 2},
                 1201 + 3 + 500},
        // Every answer comes twice, 20 ms apart: the second is taken for the next record
        // before the device has it. Nothing tells them apart until the answers outnumber the
        // records sent, in the wait after the last record; what the device holds is unknown.
        LateCase{"EveryAnswerTwice",
                 {{ReplyMessage(0x1A), 30, 20},
                  {ReplyMessage(0x1A), 30, 20},
                  {ReplyMessage(0x1A), 30, 20}},
                 TransferEnding::updateError,
                 ProgressLine('-', 0) + ProgressLine('-', 33) + ProgressLine('\\', 66) +
                     "\nError in updating.\n",
                 {0, 1, 2},
                 80}),
    NameCase);

}  // namespace

namespace {

// Another sender on the device's input answers nothing, but its messages look like answers: the
// answers taken after a silence stop at what the sends could have drawn, and the record's
// attempts run out while the stream still goes on.
TEST_F(TransferTest, StreamOfAnswersAfterASilenceEndsInItsAttempts) {
    answers = {Silence()};
    for (std::uint64_t at = 600; at <= 60000; at += 100)
        host.Schedule("device in", ReplyMessage(0x42), at);
    EXPECT_EQ(Transfer(MakeImage({{}})), TransferEnding::updateError);
    EXPECT_EQ(console.substr(console.size() - 20), "\nError in updating.\n");
    EXPECT_LT(host.Now(), 10000u);
}

}  // namespace
