#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/system/name_pattern.h"

namespace {

bool ComesBefore(const std::string& left, const std::string& right) {
    for (std::size_t index = 0; index < left.size() && index < right.size(); ++index) {
        const auto leftCharacter = static_cast<unsigned char>(ToUpperAscii(left[index]));
        const auto rightCharacter = static_cast<unsigned char>(ToUpperAscii(right[index]));
        if (leftCharacter != rightCharacter)
            return leftCharacter < rightCharacter;
    }
    return left.size() < right.size();
}

}  // namespace

std::optional<std::string> FindFirstDirectoryEntry(const char* pattern) {
    DIR* folder = opendir(".");
    if (folder == nullptr)
        return std::nullopt;
    std::optional<std::string> first;
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if (MatchesNamePattern(pattern, name.c_str()) && (!first || ComesBefore(name, *first))) {
            first = name;
        }
    }
    closedir(folder);
    return first;
}

std::FILE* OpenRegularFileForReading(const std::string& name) {
    // The entry's type is checked before it is opened: opening a FIFO waits for a writer,
    // and opening a device can act on it (a serial line raises its modem lines).
    struct stat status {};
    if (stat(name.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return nullptr;
    // The entry can be replaced between the check and the open, so the open does not wait
    // either, and what it opened is checked again.
    const int descriptor = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0)
        return nullptr;
    // Reads then wait as usual: a file system that honours O_NONBLOCK on a regular file would
    // answer a slow read with EAGAIN, which would pass for a damaged image.
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) ||
        fcntl(descriptor, F_SETFL, 0) != 0) {
        close(descriptor);
        return nullptr;
    }
    std::FILE* file = fdopen(descriptor, "rb");
    if (file == nullptr)
        close(descriptor);
    return file;
}
