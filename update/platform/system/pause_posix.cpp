#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>

#include "platform/platform.h"

namespace {

// The terminal's settings from before the pause, for a signal that ends the program while the
// pause has them changed.
termios savedSettings{};

constexpr std::array<int, 4> endingSignals = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

extern "C" void RestoreTerminalAndEnd(int signalNumber) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedSettings);
    // The handler was reset on entry: once it returns, the signal ends the program as usual.
    raise(signalNumber);
}

// After the first byte of a key, waits up to 0.1 s for the key's further bytes (an arrow key
// sends ESC [ A), which may trickle in over a remote line, so that they are dropped with it.
void AwaitRestOfKey(const termios& raw) {
    termios draining = raw;
    draining.c_cc[VMIN] = 0;
    draining.c_cc[VTIME] = 1;
    tcsetattr(STDIN_FILENO, TCSANOW, &draining);
    char rest[16];
    while (read(STDIN_FILENO, rest, sizeof rest) > 0) {
    }
}

// On a terminal one key press ends the wait, without Enter and without echo. Ctrl-C and
// Ctrl-Z are keys like the others then: the terminal turns no key into a signal, and flow
// control takes neither Ctrl-S nor Ctrl-Q.
void ReadOneKeyFromTerminal() {
    if (tcgetattr(STDIN_FILENO, &savedSettings) != 0)
        return;
    struct sigaction restoring {};
    restoring.sa_handler = RestoreTerminalAndEnd;
    restoring.sa_flags = SA_RESETHAND;
    sigemptyset(&restoring.sa_mask);
    std::array<struct sigaction, endingSignals.size()> previous{};
    for (std::size_t index = 0; index < endingSignals.size(); ++index) {
        sigaction(endingSignals[index], nullptr, &previous[index]);
        // A signal that the program was started to ignore stays ignored.
        if (previous[index].sa_handler != SIG_IGN)
            sigaction(endingSignals[index], &restoring, nullptr);
    }

    termios raw = savedSettings;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ISIG | IEXTEN));
    raw.c_iflag &= static_cast<tcflag_t>(~IXON);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    char key = 0;
    if (read(STDIN_FILENO, &key, 1) == 1)
        AwaitRestOfKey(raw);
    // TCSAFLUSH drops whatever input is still queued, so no part of the key reaches the shell.
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedSettings);

    for (std::size_t index = 0; index < endingSignals.size(); ++index)
        sigaction(endingSignals[index], &previous[index], nullptr);
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
