// Messages as the updater sends them, for feeding the simulated device.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "image_writer.h"

// The record's bytes as upper-case digits, 23 bytes (46 digits) to a message, each message
// framed F0 ... F7 unless bare.
inline std::vector<Bytes> UpdaterMessages(std::span<const std::uint8_t> record, bool bare = false) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::vector<Bytes> messages;
    for (std::size_t start = 0; start < record.size(); start += 23) {
        Bytes message;
        if (!bare)
            message.push_back(0xF0);
        for (std::size_t index = start; index < std::min(start + 23, record.size()); ++index) {
            message.push_back(static_cast<std::uint8_t>(digits[record[index] >> 4]));
            message.push_back(static_cast<std::uint8_t>(digits[record[index] & 0x0F]));
        }
        if (!bare)
            message.push_back(0xF7);
        messages.push_back(message);
    }
    return messages;
}

inline Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}
