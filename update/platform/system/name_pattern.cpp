#include "platform/system/name_pattern.h"

char ToUpperAscii(char character) {
    return (character >= 'a' && character <= 'z') ? static_cast<char>(character - 0x20) : character;
}

bool MatchesNamePattern(const char* pattern, const char* name) {
    if (*pattern == '\0')
        return *name == '\0';
    if (*pattern == '*') {
        for (const char* rest = name;; ++rest) {
            if (MatchesNamePattern(pattern + 1, rest))
                return true;
            if (*rest == '\0')
                return false;
        }
    }
    if (*name == '\0')
        return false;
    if (*pattern != '?' && ToUpperAscii(*pattern) != ToUpperAscii(*name))
        return false;
    return MatchesNamePattern(pattern + 1, name + 1);
}
