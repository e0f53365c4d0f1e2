#include "platform/platform.h"

// The page's console panel shows a line written over in place as a console does, so the
// search's progress line is drawn there too.
bool StandardOutputIsConsole() {
    return true;
}
