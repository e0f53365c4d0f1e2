#include <termios.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

// On a terminal one key press ends the wait, without Enter and without echo.
void ReadOneKeyFromTerminal() {
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) != 0)
        return;
    termios raw = saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    char key = 0;
    [[maybe_unused]] const ssize_t count = read(STDIN_FILENO, &key, 1);
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

}  // namespace

void PauseConsole() {
    std::printf("Press any key to continue . . . ");
    std::fflush(stdout);
    if (isatty(STDIN_FILENO)) {
        ReadOneKeyFromTerminal();
    } else {
        // One byte of input stands for the key; the end of input ends the wait at once.
        char key = 0;
        [[maybe_unused]] const ssize_t count = read(STDIN_FILENO, &key, 1);
    }
    std::printf("\n");
    std::fflush(stdout);
}
