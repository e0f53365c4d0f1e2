#include <windows.h>

#include "platform/platform.h"

std::optional<std::string> FindFirstDirectoryEntry(const char* pattern) {
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE)
        return std::nullopt;
    FindClose(search);
    return std::string(entry.cFileName);
}

std::FILE* OpenRegularFileForReading(const std::string& name) {
    // The C runtime refuses to open a folder here, so no further test is needed.
    return std::fopen(name.c_str(), "rb");
}
