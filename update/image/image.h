// The firmware image: finding the image file, reading its hexadecimal text into the
// image buffer, and checking every image record before any MIDI port is touched.
//
// An image record is a 2-byte big-endian length field N (the bytes after it), N - 2
// payload bytes and a 2-byte little-endian checksum, the two's complement of the payload
// sum. Its record size is N + 2. Records follow each other with nothing in between.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

inline constexpr std::size_t imageCapacity = 131072;

struct ImageBuffer {
    std::array<std::uint8_t, imageCapacity> imageBytes;
    std::uint16_t loadedCount = 0;
    // Loading stopped before the file's fields ended: the file held more fields than a 16-bit
    // count can number, or reading it failed. What was loaded may still tile into whole
    // records, so validation refuses the image rather than send it shortened.
    bool incomplete = false;
};

// The name of the first "*.led" entry of the current folder, when it begins with "TB615R"
// (ASCII case ignored). Prints the failure message otherwise.
std::optional<std::string> FindImageFile();

// Opens the named file, prints that it is open, and reads its hexadecimal fields into the
// buffer. Fails, with a message, only when the name is not a regular file that opens.
bool LoadImage(const std::string& name, ImageBuffer& image);

// Reads hexadecimal fields from the file until the first character that cannot begin one.
// A read error ends the fields as the end of the file would, and marks the image incomplete.
void ReadImageFields(std::FILE* file, ImageBuffer& image);

// Checks that the image was loaded whole, holds at least one record, that every record's
// checksum holds and that the records tile the loaded bytes exactly. Prints the failure
// message otherwise.
bool ValidateImage(const ImageBuffer& image);

// Whether the record at position lies within the loaded bytes and its checksum holds.
bool IsRecordValid(const ImageBuffer& image, std::uint16_t position);

// The big-endian length field of the record at position.
unsigned LengthFieldAt(const std::uint8_t* imageBytes, std::uint16_t position);

// The record size at position: the length field plus 2, modulo 65536.
std::uint16_t RecordSizeAt(const std::uint8_t* imageBytes, std::uint16_t position);
inline std::uint16_t RecordSizeAt(const ImageBuffer& image, std::uint16_t position) {
    return RecordSizeAt(image.imageBytes.data(), position);
}
