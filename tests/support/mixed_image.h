// The image that the whole-run tests, on JACK and under Wine, send to their device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image_writer.h"

// Records of many sizes: empty ones, ones shorter than a message, ones that end exactly at
// a message's end, and ones of many messages.
inline Bytes MixedImage() {
    std::vector<Bytes> payloads;
    for (std::size_t size : {0, 1, 19, 21, 42, 250, 3, 700, 64, 1000, 7, 88}) {
        payloads.push_back(MakePayload(size, static_cast<std::uint32_t>(size)));
    }
    return MakeImage(payloads);
}

// 120 records of 4 to 53 bytes, no two alike: enough for a reply that arrives out of turn to
// meet a refusal later in the transfer.
inline Bytes ManyRecordsImage() {
    std::vector<Bytes> payloads;
    for (std::uint32_t index = 0; index < 120; ++index)
        payloads.push_back(MakePayload(index * 7 % 50, index));
    return MakeImage(payloads);
}
