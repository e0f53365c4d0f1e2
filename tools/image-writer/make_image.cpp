// make-image: writes a sample image file of records of many sizes.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "image_writer.h"

int main(int argc, char** argv) {
    if (argc < 3 || std::string(argv[1]) == "--help") {
        std::printf(
            "usage: make-image FILE BYTES [MAX_PAYLOAD [SEED]]\n"
            "Writes an image of about BYTES bytes, in records of 0 to MAX_PAYLOAD (default 250)\n"
            "payload bytes, as hexadecimal text to FILE.\n");
        return argc < 3 ? 2 : 0;
    }
    const std::size_t totalBytes = std::strtoul(argv[2], nullptr, 10);
    const std::size_t maxPayload = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 250;
    const auto seed = static_cast<std::uint32_t>(argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 1);
    const Bytes image = MakeSampleImage(totalBytes, maxPayload, seed);
    if (!WriteTextFile(argv[1], WriteImageText(image))) {
        std::fprintf(stderr, "make-image: cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("make-image: %s holds %zu bytes\n", argv[1], image.size());
    return 0;
}
