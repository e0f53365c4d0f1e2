#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "case_name.h"
#include "image/image.h"
#include "image_writer.h"

namespace {

struct RecordCase {
    const char* name;
    Bytes bytes;
    bool valid;
};

bool Validate(const Bytes& bytes, std::string* output) {
    auto image = std::make_unique<ImageBuffer>();
    // Bytes past the loaded ones are filled so that reading them would show.
    image->imageBytes.fill(0xA5);
    std::copy(bytes.begin(), bytes.end(), image->imageBytes.begin());
    image->loadedCount = static_cast<std::uint16_t>(bytes.size());
    testing::internal::CaptureStdout();
    const bool valid = ValidateImage(*image);
    *output = testing::internal::GetCapturedStdout();
    return valid;
}

class Records : public testing::TestWithParam<RecordCase> {};

TEST_P(Records, ValidateAsExpected) {
    std::string output;
    EXPECT_EQ(Validate(GetParam().bytes, &output), GetParam().valid);
    EXPECT_EQ(output, GetParam().valid ? "" : "Error: The upgrade file is error!\n\n");
}

const Bytes goodRecord = {0x00, 0x05, 0x01, 0x02, 0x03, 0xFA, 0xFF};

INSTANTIATE_TEST_SUITE_P(
    Images, Records,
    testing::Values(
        // An image needs at least one record: an empty one would report an update of nothing.
        RecordCase{"Empty", {}, false}, RecordCase{"NoPayload", {0x00, 0x02, 0x00, 0x00}, true},
        RecordCase{"ThreeBytes", goodRecord, true},
        RecordCase{"ChecksumBytesSwapped", {0x00, 0x05, 0x01, 0x02, 0x03, 0xFF, 0xFA}, false},
        RecordCase{"SumWrapsSixteenBits", MakeRecord(Bytes(300, 0xFF)), true},
        RecordCase{"ManyRecords", MakeSampleImage(5000, 200, 7), true},
        RecordCase{"SecondRecordBad",
                   Concatenate({goodRecord, {0x00, 0x03, 0x01, 0x00, 0x00}, goodRecord}), false},
        // Records that run past the loaded bytes would read bytes never loaded.
        RecordCase{"LastRecordCut", Bytes(goodRecord.begin(), goodRecord.end() - 1), false},
        RecordCase{"LengthFieldCut", Concatenate({goodRecord, {0x00}}), false},
        RecordCase{"TrailingByteAfterRecords", Concatenate({goodRecord, {0x07}}), false},
        RecordCase{"LengthPointsPastEnd", {0x00, 0x09, 0x01, 0x02, 0x03, 0xFA, 0xFF}, false},
        // Length fields that leave no room for a checksum, or whose size wraps to 0 or 1.
        RecordCase{"LengthZero", {0x00, 0x00, 0x00, 0x00}, false},
        RecordCase{"LengthOne", {0x00, 0x01, 0x00, 0x00}, false},
        RecordCase{"LengthFFFE", {0xFF, 0xFE, 0x00, 0x00}, false},
        RecordCase{"LengthFFFF", {0xFF, 0xFF, 0x00, 0x00}, false}),
    NameCase);

TEST(Records, LargestRecordThatFitsTheCount) {
    // A single record of 65535 bytes ends exactly at the largest count.
    std::string output;
    EXPECT_TRUE(Validate(MakeRecord(Bytes(65531, 0x01)), &output));
}

TEST(Records, IncompleteImageIsRefused) {
    auto image = std::make_unique<ImageBuffer>();
    const Bytes record = {0x00, 0x02, 0x00, 0x00};
    std::copy(record.begin(), record.end(), image->imageBytes.begin());
    image->loadedCount = 4;
    image->incomplete = true;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ValidateImage(*image));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: The upgrade file is error!\n\n");
}

}  // namespace
