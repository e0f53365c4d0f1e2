// What the program needs of its platform beyond standard C++: the Windows multimedia MIDI
// services (real on Windows, stood in for elsewhere), millisecond sleeps, the directory
// search, opening the image file and the closing pause.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "platform/winmm.h"

// The name of the first entry of the current folder matching pattern, in the order in which
// Windows lists a folder: ASCII case ignored in matching and in name order, folders included.
std::optional<std::string> FindFirstDirectoryEntry(const char* pattern);

// The named regular file opened for binary reading, or null (a folder is no image file).
std::FILE* OpenRegularFileForReading(const std::string& name);

// Holds the console until the user presses a key, after flushing standard output.
void PauseConsole();
