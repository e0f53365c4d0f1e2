#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

void PauseConsole() {
    std::fflush(stdout);
    // The command interpreter prints its own prompt; when it is missing the program simply
    // ends without waiting.
    [[maybe_unused]] const int result = std::system("pause");
}
