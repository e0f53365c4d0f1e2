#include <windows.h>

#include "platform/platform.h"
#include "platform/system/name_pattern.h"

std::optional<std::string> FindFirstDirectoryEntry(const char* pattern) {
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE)
        return std::nullopt;
    // The search also matches an entry's short 8.3 name: "TB615R.ledger" is found for "*.led"
    // through "TB615R~1.LED". Only an entry whose own name matches counts.
    std::optional<std::string> first;
    do {
        if (MatchesNamePattern(pattern, entry.cFileName))
            first = entry.cFileName;
    } while (!first && FindNextFileA(search, &entry));
    FindClose(search);
    return first;
}

std::FILE* OpenRegularFileForReading(const std::string& name) {
    // The C runtime refuses to open a folder here, so no further test is needed.
    return std::fopen(name.c_str(), "rb");
}
