// Matching folder entries' names against a search pattern the way the program means it,
// whatever the platform's own search does. Used by the directory search only.
#pragma once

// Wildcard match with '*' and '?', ASCII case ignored, against the entry's own name.
bool MatchesNamePattern(const char* pattern, const char* name);

// The character in upper case when it is an ASCII letter, as it stands otherwise.
char ToUpperAscii(char character);
