#include "image_writer.h"

#include <fstream>

Bytes MakeRecord(std::span<const std::uint8_t> payload) {
    const std::size_t lengthField = payload.size() + 2;
    std::uint16_t sum = 0;
    for (std::uint8_t byte : payload)
        sum = static_cast<std::uint16_t>(sum + byte);
    const auto checksum = static_cast<std::uint16_t>(0u - sum);
    Bytes record;
    record.reserve(payload.size() + 4);
    record.push_back(static_cast<std::uint8_t>(lengthField >> 8));
    record.push_back(static_cast<std::uint8_t>(lengthField & 0xFF));
    record.insert(record.end(), payload.begin(), payload.end());
    record.push_back(static_cast<std::uint8_t>(checksum & 0xFF));
    record.push_back(static_cast<std::uint8_t>(checksum >> 8));
    return record;
}

Bytes Concatenate(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes MakeImage(const std::vector<Bytes>& payloads) {
    std::vector<Bytes> records;
    for (const Bytes& payload : payloads)
        records.push_back(MakeRecord(payload));
    return Concatenate(records);
}

Bytes MakePayload(std::size_t size, std::uint32_t seed) {
    Bytes payload(size);
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::uint8_t& byte : payload) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 16);
    }
    return payload;
}

Bytes MakeSampleImage(std::size_t totalBytes, std::size_t maxPayload, std::uint32_t seed) {
    std::vector<Bytes> payloads;
    std::size_t size = 0;
    for (std::uint32_t index = 0; size < totalBytes; ++index) {
        const std::size_t payloadSize = (index * 37u + seed) % (maxPayload + 1);
        payloads.push_back(MakePayload(payloadSize, seed + index));
        size += payloadSize + 4;
    }
    return MakeImage(payloads);
}

std::string WriteImageText(std::span<const std::uint8_t> bytes, std::size_t bytesPerLine) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        text += digits[bytes[index] >> 4];
        text += digits[bytes[index] & 0x0F];
        const bool lineEnds = (index + 1) % bytesPerLine == 0 || index + 1 == bytes.size();
        text += lineEnds ? "\r\n" : " ";
    }
    return text;
}

bool WriteTextFile(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
    return static_cast<bool>(file);
}
