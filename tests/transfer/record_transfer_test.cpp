#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "transfer_fixture.h"

namespace {

TEST_F(TransferTest, SendsTheRecordAsUpperCaseDigitsBetweenF0AndF7) {
    const Bytes record = {0x00, 0x05, 0x01, 0x02, 0x03, 0xFA, 0xFF};
    EXPECT_EQ(Transfer(record), TransferEnding::completed);
    const std::string digitText = "0005010203FAFF";
    Message expected = {0xF0};
    expected.insert(expected.end(), digitText.begin(), digitText.end());
    expected.push_back(0xF7);
    ASSERT_EQ(host.Sent().size(), 1u);
    EXPECT_EQ(host.Sent()[0].bytes, expected);
}

TEST_F(TransferTest, ShowsEveryAttemptThenClosesTheLine) {
    // Records of 4, 7 and 10 bytes: 0, 4 and 11 of 21 bytes accepted before each.
    const Bytes image = MakeImage({{}, MakePayload(3, 1), MakePayload(6, 2)});
    EXPECT_EQ(Transfer(image), TransferEnding::completed);
    EXPECT_EQ(console, ProgressLine('-', 0) + ProgressLine('-', 19) + ProgressLine('\\', 52) +
                           transferDone + updateSucceeded);
    EXPECT_EQ(Concatenate(records), image);
}

TEST_F(TransferTest, PercentStopsShortOfAHundredBeforeTheClosingLine) {
    // 1000 of 1004 bytes accepted before the last record: 99.6 percent, and a hundred times
    // 1000 does not fit in 16 bits.
    const Bytes image = MakeImage({MakePayload(996, 3), {}});
    EXPECT_EQ(Transfer(image), TransferEnding::completed);
    EXPECT_EQ(console,
              ProgressLine('-', 0) + ProgressLine('-', 99) + transferDone + updateSucceeded);
}

TEST_F(TransferTest, EmptyImageClosesAtOnce) {
    EXPECT_EQ(Transfer({}), TransferEnding::completed);
    EXPECT_EQ(console, transferDone + updateSucceeded);
    EXPECT_TRUE(host.Sent().empty());
}

TEST_F(TransferTest, DeliversEveryRecordOfALargerImage) {
    const Bytes image = MakeSampleImage(3000, 120, 5);
    EXPECT_EQ(Transfer(image), TransferEnding::completed);
    EXPECT_EQ(Concatenate(records), image);
}

struct SplitCase {
    std::size_t recordSize;
    std::vector<std::size_t> digitCounts;
};

class TransferMessages : public TransferTest, public testing::WithParamInterface<SplitCase> {};

TEST_P(TransferMessages, RecordLeavesIn23ByteMessagesAndAShorterLast) {
    const Bytes image = MakeImage({MakePayload(GetParam().recordSize - 4, 9)});
    EXPECT_EQ(Transfer(image), TransferEnding::completed);
    std::vector<std::size_t> digitCounts;
    for (const std::string& text : digits)
        digitCounts.push_back(text.size());
    EXPECT_EQ(digitCounts, GetParam().digitCounts);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], image);
}

INSTANTIATE_TEST_SUITE_P(Sizes, TransferMessages,
                         testing::Values(SplitCase{4, {8}}, SplitCase{23, {46}},
                                         SplitCase{24, {46, 2}}, SplitCase{46, {46, 46}}),
                         [](const testing::TestParamInfo<SplitCase>& test) {
                             return "Bytes" + std::to_string(test.param.recordSize);
                         });

struct ReplyCase {
    std::uint8_t code;
    const char* message;
};

class TransferReplies : public TransferTest, public testing::WithParamInterface<ReplyCase> {};

// The second record fails once: its repeat shows the same glyph and percentage, which the
// next glyph would not.
TEST_P(TransferReplies, ErrorCodeRepeatsTheRecordAfterItsMessage) {
    answers = {Reply(0x1A), Reply(GetParam().code)};
    const Bytes image = MakeImage({MakePayload(2, 1), MakePayload(2, 2)});
    EXPECT_EQ(Transfer(image), TransferEnding::completed);
    EXPECT_EQ(console, ProgressLine('-', 0) + ProgressLine('-', 50) + GetParam().message +
                           ProgressLine('-', 50) + transferDone + updateSucceeded);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2], records[1]);
}

std::string CodeName(const testing::TestParamInfo<ReplyCase>& test) {
    char name[8];
    std::snprintf(name, sizeof name, "Code%02X", test.param.code);
    return name;
}

INSTANTIATE_TEST_SUITE_P(Codes, TransferReplies,
                         testing::Values(ReplyCase{0x20,
                                                   "\nThe CRC of the download file is error!\n"},
                                         ReplyCase{0x21, "\nThe download file has been damaged!\n"},
                                         ReplyCase{0x22, "\nThe download file has been damaged!\n"},
                                         ReplyCase{0x24, "\nThe download file verifies error!\n"},
                                         ReplyCase{0x25, "\nThe MCU erases error!\n"},
                                         // A handshake's answer is dropped; the attempt
                                         // then ends unanswered.
                                         ReplyCase{0x15, ""}, ReplyCase{0x39, ""},
                                         // Neighbours of the codes above.
                                         ReplyCase{0x23, ""}, ReplyCase{0x1B, ""}),
                         CodeName);

TEST_F(TransferTest, RestartAnnouncementEndsTheTransfer) {
    answers = {Reply(0x1A), Reply(0x77)};
    const Bytes image = MakeImage({MakePayload(2, 1), MakePayload(2, 2), MakePayload(2, 3)});
    EXPECT_EQ(Transfer(image), TransferEnding::deviceRestarting);
    EXPECT_EQ(console, ProgressLine('-', 0) + ProgressLine('-', 33) + restartEnding);
    EXPECT_EQ(records.size(), 2u);
}

}  // namespace
