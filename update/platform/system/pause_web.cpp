#include <cstdio>

#include "platform/platform.h"

// The page holds its panel after the run without being asked, and "Update again" starts the
// next run: there is no key to wait for and no prompt to show. What the run printed is handed
// to the panel before the page tells the outcome.
void PauseConsole() {
    std::fflush(stdout);
}
