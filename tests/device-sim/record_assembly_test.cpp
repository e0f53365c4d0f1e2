#include "record_assembly.h"

#include <gtest/gtest.h>

#include "case_name.h"

#include "image_writer.h"
#include "updater_messages.h"

namespace {

class RecordSizes : public testing::TestWithParam<std::size_t> {};

// Records of 4, 23, 24, 46 and 104 bytes: one short message, one full, a full one and a
// short one, two full ones, four full ones and a short one.
TEST_P(RecordSizes, RebuildTheRecordFromItsLastMessage) {
    const Bytes record = MakeRecord(MakePayload(GetParam() - 4, 3));
    const std::vector<Bytes> messages = UpdaterMessages(record, true);
    RecordAssembly assembly;
    for (std::size_t index = 0; index + 1 < messages.size(); ++index) {
        EXPECT_EQ(assembly.Add(messages[index]), AssemblyStatus::Incomplete);
        EXPECT_TRUE(assembly.InProgress());
        EXPECT_EQ(assembly.ExpectedDigits(), record.size() * 2);
    }
    ASSERT_EQ(assembly.Add(messages.back()), AssemblyStatus::Complete);
    EXPECT_EQ(assembly.TakeRecord(), record);
    EXPECT_FALSE(assembly.InProgress());
    EXPECT_TRUE(RecordChecksumHolds(record));
}

INSTANTIATE_TEST_SUITE_P(UpdaterSplits, RecordSizes, testing::Values(4, 23, 24, 46, 104));

TEST(RecordAssembly, TakesDigitPairsSplitBetweenMessages) {
    RecordAssembly assembly;
    EXPECT_EQ(assembly.Add(Text("000")), AssemblyStatus::Incomplete);
    EXPECT_EQ(assembly.HeldDigits(), 3u);
    EXPECT_EQ(assembly.Add(Text("5010203FAFF")), AssemblyStatus::Complete);
    EXPECT_EQ(assembly.TakeRecord(), (Bytes{0x00, 0x05, 0x01, 0x02, 0x03, 0xFA, 0xFF}));
}

TEST(RecordAssembly, OtherBytesDropTheRecordAndTheNextStartsClean) {
    const Bytes record = MakeRecord(MakePayload(40, 9));
    const std::vector<Bytes> messages = UpdaterMessages(record, true);
    RecordAssembly assembly;
    ASSERT_EQ(assembly.Add(messages[0]), AssemblyStatus::Incomplete);
    // Lower case is no digit of the updater's.
    EXPECT_EQ(assembly.Add(Text("0a")), AssemblyStatus::NotHexadecimal);
    EXPECT_FALSE(assembly.InProgress());
    EXPECT_EQ(assembly.Add(Text("00 2")), AssemblyStatus::NotHexadecimal);
    EXPECT_EQ(assembly.Add(Bytes{0x30, 0x80}), AssemblyStatus::NotHexadecimal);
    EXPECT_EQ(assembly.Add(messages[0]), AssemblyStatus::Incomplete);
    EXPECT_EQ(assembly.Add(messages[1]), AssemblyStatus::Complete);
    EXPECT_EQ(assembly.TakeRecord(), record);
}

TEST(RecordAssembly, DigitsAfterTheRecordEndAreIgnored) {
    RecordAssembly assembly;
    EXPECT_EQ(assembly.Add(Text("0002000012")), AssemblyStatus::Complete);
    EXPECT_EQ(assembly.IgnoredDigits(), 2u);
    EXPECT_EQ(assembly.TakeRecord(), (Bytes{0x00, 0x02, 0x00, 0x00}));
    EXPECT_EQ(assembly.Add(Text("0002")), AssemblyStatus::Incomplete);
    EXPECT_EQ(assembly.IgnoredDigits(), 0u);
}

TEST(RecordAssembly, ShortLengthFieldsCompleteAtTheirOwnSize) {
    RecordAssembly assembly;
    EXPECT_EQ(assembly.Add(Text("0000")), AssemblyStatus::Complete);
    EXPECT_EQ(assembly.TakeRecord(), (Bytes{0x00, 0x00}));
    EXPECT_EQ(assembly.Add(Text("000100")), AssemblyStatus::Complete);
    EXPECT_EQ(assembly.TakeRecord(), (Bytes{0x00, 0x01, 0x00}));
}

struct ChecksumCase {
    const char* name;
    Bytes record;
    bool holds;
};

void PrintTo(const ChecksumCase& testCase, std::ostream* stream) {
    *stream << testCase.name;
}

class Checksums : public testing::TestWithParam<ChecksumCase> {};

TEST_P(Checksums, HoldAsExpected) {
    EXPECT_EQ(RecordChecksumHolds(GetParam().record), GetParam().holds);
}

Bytes WithByteChanged(Bytes record, std::size_t index) {
    record[index] ^= 0x01;
    return record;
}

INSTANTIATE_TEST_SUITE_P(
    Records, Checksums,
    testing::Values(ChecksumCase{"Example", {0x00, 0x05, 0x01, 0x02, 0x03, 0xFA, 0xFF}, true},
                    ChecksumCase{
                        "ChecksumBytesSwapped", {0x00, 0x05, 0x01, 0x02, 0x03, 0xFF, 0xFA}, false},
                    ChecksumCase{"NoPayload", {0x00, 0x02, 0x00, 0x00}, true},
                    ChecksumCase{"SumWraps", MakeRecord(Bytes(300, 0xFF)), true},
                    ChecksumCase{"PayloadByteChanged",
                                 WithByteChanged(MakeRecord(MakePayload(50, 1)), 20), false},
                    ChecksumCase{"ChecksumByteChanged",
                                 WithByteChanged(MakeRecord(MakePayload(50, 1)), 53), false},
                    // The length field is not part of the sum, but it must match the record's size.
                    ChecksumCase{"LengthFieldChanged",
                                 WithByteChanged(MakeRecord(MakePayload(50, 1)), 1), false},
                    ChecksumCase{"NoRoomForChecksum", {0x00, 0x01, 0x00}, false},
                    ChecksumCase{"LengthOnly", {0x00, 0x00}, false}),
    NameCase);

}  // namespace
