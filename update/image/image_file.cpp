#include <cstdio>

#include "image/image.h"
#include "platform/platform.h"

namespace {

constexpr const char* searchPattern = "*.led";
constexpr const char* namePrefix = "TB615R";
constexpr std::size_t namePrefixLength = 6;

char ToLowerAscii(char character) {
    return (character >= 'A' && character <= 'Z') ? static_cast<char>(character + 0x20) : character;
}

bool HasNamePrefix(const std::string& name) {
    for (std::size_t index = 0; index < namePrefixLength; ++index) {
        // A shorter name mismatches at its terminator, as c_str() provides one.
        const char character = name.c_str()[index];
        if (character != namePrefix[index] &&
            ToLowerAscii(character) != ToLowerAscii(namePrefix[index])) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> FindImageFile() {
    std::optional<std::string> name = FindFirstDirectoryEntry(searchPattern);
    if (!name) {
        std::printf("Error: File '%s' is not found.\n\n", searchPattern);
        return std::nullopt;
    }
    if (!HasNamePrefix(*name)) {
        std::printf("Error: The fit file is not found.\n\n");
        return std::nullopt;
    }
    return name;
}

bool LoadImage(const std::string& name, ImageBuffer& image) {
    std::FILE* file = OpenRegularFileForReading(name);
    if (file == nullptr) {
        std::printf("Error: File '%s' is not found.\n\n", name.c_str());
        return false;
    }
    std::printf("OK: File '%s' is open.\n", name.c_str());
    ReadImageFields(file, image);
    std::fclose(file);
    return true;
}
