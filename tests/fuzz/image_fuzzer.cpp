// Drives loading and validation with arbitrary file content. Neither may read or write outside
// the image buffer, validation may read no position that was never loaded, and an image that
// passes must be one that the transfer can walk: whole records of 4 bytes or more that end
// exactly at the last loaded byte.
#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "image/image.h"

namespace {

// The walk of the transfer, over an image that validation passed.
void CheckWalk(const ImageBuffer& image) {
    unsigned position = 0;
    while (position < image.loadedCount) {
        const unsigned recordSize = RecordSizeAt(image, static_cast<std::uint16_t>(position));
        if (recordSize < 4 || position + recordSize > image.loadedCount)
            std::abort();
        position += recordSize;
    }
    if (position != image.loadedCount || image.loadedCount == 0 || image.incomplete)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto image = std::make_unique<ImageBuffer>();
    // Validation prints its verdict; the fuzzer's own output goes to standard error.
    static std::FILE* silence = std::freopen("/dev/null", "w", stdout);
    if (silence == nullptr)
        return 0;
    std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (file == nullptr)
        return 0;
    ReadImageFields(file, *image);
    std::fclose(file);

    std::uint8_t* unloaded = image->imageBytes.data() + image->loadedCount;
    const std::size_t unloadedSize = image->imageBytes.size() - image->loadedCount;
    ASAN_POISON_MEMORY_REGION(unloaded, unloadedSize);
    const bool valid = ValidateImage(*image);
    ASAN_UNPOISON_MEMORY_REGION(unloaded, unloadedSize);
    if (valid)
        CheckWalk(*image);
    return 0;
}
