// Writes the updater's image format: checksummed records as hexadecimal text. The tests, the
// demo and the benchmark build their images with it instead of storing files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// One record: big-endian length field, the payload, little-endian checksum (the two's
// complement of the payload's 16-bit sum).
Bytes MakeRecord(std::span<const std::uint8_t> payload);

// The parts, one after the other.
Bytes Concatenate(const std::vector<Bytes>& parts);

// The records of the payloads, one after the other.
Bytes MakeImage(const std::vector<Bytes>& payloads);

// A payload of size bytes, filled from seed so that records differ.
Bytes MakePayload(std::size_t size, std::uint32_t seed);

// An image of records of many sizes (payloads of 0 to maxPayload bytes), about totalBytes long.
Bytes MakeSampleImage(std::size_t totalBytes, std::size_t maxPayload, std::uint32_t seed);

// The image's bytes as upper-case hexadecimal pairs, bytesPerLine to a line.
std::string WriteImageText(std::span<const std::uint8_t> bytes, std::size_t bytesPerLine = 16);

// Writes text to the file; false when it cannot be written.
bool WriteTextFile(const std::string& path, const std::string& text);
