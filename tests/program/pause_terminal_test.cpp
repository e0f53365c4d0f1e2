// The closing pause on a terminal: the program runs on a pseudo-terminal as its controlling
// terminal, and the test types at the pause as a user would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "case_name.h"
#include "program_runner.h"

namespace {

using namespace std::chrono_literals;

const std::string prompt = "Press any key to continue . . . ";

class PauseOnTerminal : public testing::Test {
protected:
    void SetUp() override {
        terminal_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(terminal_, 0);
        ASSERT_EQ(grantpt(terminal_), 0);
        ASSERT_EQ(unlockpt(terminal_), 0);
        sideName_ = ptsname(terminal_);
        // The test's own hold on the program's side keeps the terminal and its settings after
        // the program has ended.
        side_ = open(sideName_.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(side_, 0);
        ASSERT_EQ(tcgetattr(side_, &before_), 0);
    }

    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(side_);
        close(terminal_);
    }

    // Starts the program in a session of its own, with the terminal as controlling terminal
    // and standard streams, in a folder without an image: it goes straight to the pause.
    void Start() {
        const std::string program = UPDATE_PROGRAM;
        const std::string& folder = folder_.Path();
        const std::string& sideName = sideName_;
        pid_ = fork();
        if (pid_ == 0) {
            setsid();
            const int side = open(sideName.c_str(), O_RDWR);
            if (side < 0 || chdir(folder.c_str()) != 0)
                _exit(127);
            dup2(side, STDIN_FILENO);
            dup2(side, STDOUT_FILENO);
            dup2(side, STDERR_FILENO);
            close_range(3, ~0U, 0);
            execl(program.c_str(), program.c_str(), nullptr);
            _exit(127);
        }
    }

    // What the program wrote until text appeared, or until ten seconds passed.
    std::string ReadUntil(const std::string& text) {
        std::string output;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (output.find(text) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd ready{terminal_, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0)
                continue;
            char buffer[256];
            const ssize_t count = read(terminal_, buffer, sizeof buffer);
            if (count <= 0)
                break;
            output.append(buffer, static_cast<std::size_t>(count));
        }
        return output;
    }

    // Waits until the pause has the terminal in its keeping: a key typed earlier would meet
    // the terminal's line editing, not the pause.
    void AwaitThePause() {
        ASSERT_NE(ReadUntil(prompt).find(prompt), std::string::npos);
        termios now{};
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (tcgetattr(side_, &now) == 0 && (now.c_lflag & ICANON) != 0 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_EQ(now.c_lflag & ICANON, 0u);
    }

    void Type(const std::string& key) {
        ASSERT_EQ(write(terminal_, key.data(), key.size()), static_cast<ssize_t>(key.size()));
    }

    // The program's exit status, or -1 when a signal ended it or it ran on for ten seconds.
    int AwaitEnd() {
        int status = 0;
        for (auto waited = 0ms; waited < 10s; waited += 10ms) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

    void ExpectTerminalAsBefore() {
        termios after{};
        ASSERT_EQ(tcgetattr(side_, &after), 0);
        EXPECT_EQ(after.c_lflag, before_.c_lflag);
        EXPECT_EQ(after.c_iflag, before_.c_iflag);
        EXPECT_EQ(after.c_cc[VMIN], before_.c_cc[VMIN]);
        EXPECT_EQ(after.c_cc[VTIME], before_.c_cc[VTIME]);
        int queued = -1;
        ASSERT_EQ(ioctl(side_, FIONREAD, &queued), 0);
        EXPECT_EQ(queued, 0) << "bytes of the key left for the shell";
    }

    ScratchFolder folder_;
    int terminal_ = -1;
    std::string sideName_;
    int side_ = -1;
    termios before_{};
    pid_t pid_ = -1;
};

struct KeyCase {
    const char* name;
    std::string bytes;
};

class PauseKeys : public PauseOnTerminal, public testing::WithParamInterface<KeyCase> {};

TEST_P(PauseKeys, EndTheWaitAndLeaveTheTerminalAsItWas) {
    Start();
    AwaitThePause();
    Type(GetParam().bytes);
    // The terminal turns the line feed into a carriage return and a line feed.
    EXPECT_NE(ReadUntil("\r\n").find("\r\n"), std::string::npos);
    EXPECT_EQ(AwaitEnd(), 0);
    ExpectTerminalAsBefore();
}

INSTANTIATE_TEST_SUITE_P(Keys, PauseKeys,
                         testing::Values(KeyCase{"Letter", "x"}, KeyCase{"CtrlC", "\x03"},
                                         KeyCase{"ArrowUp", "\x1b[A"}),
                         NameCase);

TEST_F(PauseOnTerminal, EndedBySignalRestoresTheTerminal) {
    Start();
    AwaitThePause();
    kill(pid_, SIGTERM);
    EXPECT_EQ(AwaitEnd(), -1);
    ExpectTerminalAsBefore();
}

}  // namespace
