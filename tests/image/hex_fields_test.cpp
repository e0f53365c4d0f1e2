#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "image/image.h"
#include "image_writer.h"

namespace {

Bytes LoadText(const std::string& text, bool* incomplete = nullptr) {
    auto image = std::make_unique<ImageBuffer>();
    std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    if (text.empty())
        file = std::tmpfile();
    ReadImageFields(file, *image);
    std::fclose(file);
    if (incomplete != nullptr)
        *incomplete = image->incomplete;
    return Bytes(image->imageBytes.begin(), image->imageBytes.begin() + image->loadedCount);
}

struct FieldCase {
    const char* text;
    Bytes bytes;
};

class HexFields : public testing::TestWithParam<FieldCase> {};

TEST_P(HexFields, LoadTheBytesTheTextSpells) {
    EXPECT_EQ(LoadText(GetParam().text), GetParam().bytes) << "text: " << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, HexFields,
    testing::Values(FieldCase{"", {}}, FieldCase{"  \t\r\n\v\f", {}},
                    FieldCase{"0A 1B", {0x0A, 0x1B}}, FieldCase{"0A1B", {0x0A, 0x1B}},
                    FieldCase{"0A,\n1B", {0x0A}}, FieldCase{"0A\r\n1B", {0x0A, 0x1B}},
                    FieldCase{"0A\t1B\v2C\f3D\r4E", {0x0A, 0x1B, 0x2C, 0x3D, 0x4E}},
                    FieldCase{"fa FA fA", {0xFA, 0xFA, 0xFA}}, FieldCase{"123", {0x12, 0x03}},
                    FieldCase{"7", {0x07}}, FieldCase{"7 8", {0x07, 0x08}},
                    // A sign takes one of the two places; a minus negates modulo 256.
                    FieldCase{"-1", {0xFF}}, FieldCase{"+12", {0x01, 0x02}},
                    FieldCase{"-12", {0xFF, 0x02}}, FieldCase{"-0", {0x00}},
                    // The prefix takes none of the places and is never read as a digit.
                    FieldCase{"0x1F", {0x1F}}, FieldCase{"0X1f2", {0x1F, 0x02}},
                    FieldCase{"-0x1", {0xFF}}, FieldCase{"0x", {}}, FieldCase{"0xG1", {}},
                    FieldCase{"0 1", {0x00, 0x01}}, FieldCase{"00x1", {0x00}},
                    // The first character that cannot begin a field ends the image.
                    FieldCase{":10 00", {}}, FieldCase{"01 02 zz 03 04", {0x01, 0x02}},
                    FieldCase{"01 - 02", {0x01}}, FieldCase{"01 +", {0x01}}));

TEST(HexFields, StopBeforeTheCountWouldWrap) {
    bool incomplete = true;
    // 65535 fields exactly still fit the count.
    EXPECT_EQ(LoadText(std::string(65535 * 2, 'A'), &incomplete).size(), 65535u);
    EXPECT_FALSE(incomplete);
    EXPECT_EQ(LoadText(std::string(65536 * 2, 'A'), &incomplete).size(), 65535u);
    EXPECT_TRUE(incomplete);
}

// A stream that hands out its text and then fails, as a failing disk or network file does.
struct FailingSource {
    std::string text;
    std::size_t offset = 0;
};

ssize_t ReadThenFail(void* cookie, char* buffer, std::size_t size) {
    auto& source = *static_cast<FailingSource*>(cookie);
    if (source.offset == source.text.size()) {
        errno = EIO;
        return -1;
    }
    const std::size_t count = std::min(size, source.text.size() - source.offset);
    std::memcpy(buffer, source.text.data() + source.offset, count);
    source.offset += count;
    return static_cast<ssize_t>(count);
}

TEST(ReadError, AfterWholeRecordsRefusesTheShortenedImage) {
    const Bytes record = MakeRecord(MakePayload(30, 5));
    FailingSource source{WriteImageText(record) + "\n"};
    std::FILE* file = fopencookie(&source, "rb", {ReadThenFail, nullptr, nullptr, nullptr});
    ASSERT_NE(file, nullptr);
    auto image = std::make_unique<ImageBuffer>();
    ReadImageFields(file, *image);
    std::fclose(file);
    // The bytes before the error tile into a valid record: only the error tells them apart
    // from a whole image.
    EXPECT_EQ(Bytes(image->imageBytes.begin(), image->imageBytes.begin() + image->loadedCount),
              record);
    EXPECT_TRUE(image->incomplete);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ValidateImage(*image));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: The upgrade file is error!\n\n");
}

TEST(ReadError, FromTheSystemMarksTheImageIncomplete) {
    // Linux opens a folder for reading, and reading it fails with EISDIR.
    std::FILE* file = std::fopen(".", "rb");
    ASSERT_NE(file, nullptr);
    auto image = std::make_unique<ImageBuffer>();
    ReadImageFields(file, *image);
    std::fclose(file);
    EXPECT_EQ(image->loadedCount, 0u);
    EXPECT_TRUE(image->incomplete);
}

}  // namespace
