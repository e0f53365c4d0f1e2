#include <windows.h>

#include "platform/platform.h"

bool StandardOutputIsConsole() {
    // A pipe or a file has no console mode; a console does, whatever its mode.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}
