// Drives loading and validation with arbitrary file content: neither may read or write
// outside the image buffer, whatever the text and its length fields say.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "image/image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto image = std::make_unique<ImageBuffer>();
    std::FILE* file = std::tmpfile();
    if (file == nullptr) return 0;
    std::fwrite(data, 1, size, file);
    std::rewind(file);
    ReadImageFields(file, *image);
    std::fclose(file);
    std::FILE* silence = std::freopen("/dev/null", "w", stdout);
    (void)silence;
    ValidateImage(*image);
    return 0;
}
