#include <cstdio>

#include "image/image.h"

namespace {

// Below 2 the record has no room for its checksum; at 0xFFFE and above the record size
// wraps to 0 or 1 and a walk over such records would never advance past them.
constexpr unsigned smallestLengthField = 2;
constexpr unsigned largestLengthField = 0xFFFD;

}  // namespace

unsigned LengthFieldAt(const std::uint8_t* imageBytes, std::uint16_t position) {
    return imageBytes[position] * 256u + imageBytes[position + 1u];
}

std::uint16_t RecordSizeAt(const std::uint8_t* imageBytes, std::uint16_t position) {
    return static_cast<std::uint16_t>(LengthFieldAt(imageBytes, position) + 2);
}

bool IsRecordValid(const ImageBuffer& image, std::uint16_t position) {
    // A record needs its length field within the loaded bytes before it can be read.
    if (position + 2u > image.loadedCount)
        return false;
    const unsigned lengthField = LengthFieldAt(image.imageBytes.data(), position);
    if (lengthField < smallestLengthField || lengthField > largestLengthField)
        return false;
    const unsigned end = position + lengthField + 2u;
    if (end > image.loadedCount)
        return false;

    std::uint16_t sum = 0;
    for (unsigned index = position + 2u; index < position + lengthField; ++index) {
        sum = static_cast<std::uint16_t>(sum + image.imageBytes[index]);
    }
    const std::uint16_t checksum =
        static_cast<std::uint16_t>(image.imageBytes[position + lengthField] +
                                   image.imageBytes[position + lengthField + 1u] * 256u);
    return static_cast<std::uint16_t>(sum + checksum) == 0;
}

bool ValidateImage(const ImageBuffer& image) {
    // An image that loads no byte would pass with no record examined, and the run would go on
    // to report a successful update in which nothing was sent.
    bool valid = !image.incomplete && image.loadedCount > 0;
    // A record is walked past only once it is known to lie within the loaded bytes: the walk
    // neither wraps nor reads a length field that was never loaded.
    unsigned position = 0;
    while (valid && position < image.loadedCount) {
        valid = IsRecordValid(image, static_cast<std::uint16_t>(position));
        if (valid)
            position += RecordSizeAt(image, static_cast<std::uint16_t>(position));
    }
    if (!valid)
        std::printf("Error: The upgrade file is error!\n\n");
    return valid;
}
