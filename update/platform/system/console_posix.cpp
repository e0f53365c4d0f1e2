#include <unistd.h>

#include "platform/platform.h"

bool StandardOutputIsConsole() {
    return isatty(STDOUT_FILENO) != 0;
}
