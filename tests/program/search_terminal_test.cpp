// The search for the device on a terminal: the program runs on a pseudo-terminal against
// ports that never answer, and shows that it is searching without changing what the screen
// reads once the search has ended.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "console_text.h"
#include "image_writer.h"
#include "jack_server.h"
#include "program_runner.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string imageName = "TB615R.led";
const std::string searchStart = OpenedLine(imageName);
// The terminal ends each line with a carriage return and a line feed.
const std::string searchStartOnTerminal = "OK: File '" + imageName + "' is open.\r\n";
const std::string progressText = "Searching..";

// The silent device's ports, started before the program and stopped after it.
class SilentDevice {
public:
    explicit SilentDevice(const PrivateJackServer& server) {
        std::vector<std::string> arguments = {DEVICE_SIMULATOR, "--handshake", "silent",
                                              "--extra-ports", "1"};
        std::vector<char*> pointers = ExecPointers(arguments);
        std::vector<std::string> environment = ChildEnvironment(server.Environment());
        std::vector<char*> environmentPointers = ExecPointers(environment);
        const std::string logPath = folder_.File("log");
        pid_ = fork();
        if (pid_ == 0) {
            const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(log, STDOUT_FILENO);
            dup2(log, STDERR_FILENO);
            execve(pointers[0], pointers.data(), environmentPointers.data());
            _exit(127);
        }
        const auto deadline = Clock::now() + 10s;
        while (!ready_ && Clock::now() < deadline) {
            ready_ = ReadFile(logPath).find("device-sim: ready\n") != std::string::npos;
            std::this_thread::sleep_for(20ms);
        }
    }
    ~SilentDevice() {
        kill(pid_, SIGINT);
        waitpid(pid_, nullptr, 0);
    }
    SilentDevice(const SilentDevice&) = delete;
    SilentDevice& operator=(const SilentDevice&) = delete;

    bool IsReady() const { return ready_; }

private:
    ScratchFolder folder_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// What the program wrote on the terminal, each piece with the time it was read.
struct Piece {
    Clock::time_point readAt;
    std::string text;
};

// Runs the program on a pseudo-terminal of its own until it ends, typing a key at the
// closing pause; at most a minute.
std::vector<Piece> RunOnTerminal(const std::string& folder,
                                 const std::vector<std::string>& assignments) {
    std::vector<std::string> arguments = {UPDATE_PROGRAM};
    std::vector<char*> pointers = ExecPointers(arguments);
    std::vector<std::string> environment = ChildEnvironment(assignments);
    std::vector<char*> environmentPointers = ExecPointers(environment);
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (chdir(folder.c_str()) == 0)
            execve(pointers[0], pointers.data(), environmentPointers.data());
        _exit(127);
    }
    std::vector<Piece> pieces;
    if (pid < 0)
        return pieces;
    std::string output;
    bool typed = false;
    const auto deadline = Clock::now() + 60s;
    while (Clock::now() < deadline) {
        pollfd ready{terminal, POLLIN, 0};
        if (poll(&ready, 1, 20) > 0) {
            char buffer[256];
            const ssize_t count = read(terminal, buffer, sizeof buffer);
            // The end of the program's side of the terminal reads as an error.
            if (count <= 0)
                break;
            pieces.push_back({Clock::now(), std::string(buffer, static_cast<std::size_t>(count))});
            output += pieces.back().text;
        }
        termios settings{};
        // The key counts once the pause has the terminal out of line editing.
        if (!typed && output.find("Press any key") != std::string::npos &&
            tcgetattr(terminal, &settings) == 0 && (settings.c_lflag & ICANON) == 0) {
            typed = write(terminal, "x", 1) == 1;
        }
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(terminal);
    return pieces;
}

// The lines that a terminal shows for the text: a carriage return goes back to the start of
// the line, a line feed on to the next line's start (as the terminal's output processing
// makes it), and blanks at a line's end look like nothing.
std::vector<std::string> Screen(const std::string& text) {
    std::vector<std::string> lines(1);
    std::size_t column = 0;
    for (const char character : text) {
        if (character == '\r') {
            column = 0;
        } else if (character == '\n') {
            lines.emplace_back();
            column = 0;
        } else {
            std::string& line = lines.back();
            if (line.size() <= column)
                line.resize(column + 1, ' ');
            line[column++] = character;
        }
    }
    for (std::string& line : lines)
        line.erase(line.find_last_not_of(' ') + 1);
    return lines;
}

// The progress lines in the order written, each with the time its last character was read:
// every text between carriage returns or line feeds that begins with the progress text.
std::vector<Piece> ProgressLines(const std::vector<Piece>& pieces) {
    std::vector<Piece> lines;
    Piece pending;
    for (const Piece& piece : pieces) {
        for (const char character : piece.text) {
            if (character != '\r' && character != '\n') {
                pending.text += character;
                pending.readAt = piece.readAt;
                continue;
            }
            if (pending.text.starts_with(progressText))
                lines.push_back(pending);
            pending.text.clear();
        }
    }
    return lines;
}

TEST(SearchOnTerminal, ShowsProgressAndEndsWithTheScreenOfAPipe) {
    const PrivateJackServer server;
    ASSERT_TRUE(server.IsRunning()) << server.Log();
    const SilentDevice device(server);
    ASSERT_TRUE(device.IsReady());
    ScratchFolder folder;
    folder.Write(imageName, WriteImageText(MakeImage({MakePayload(40, 2)})));

    const std::vector<Piece> pieces = RunOnTerminal(folder.Path(), server.Environment());
    std::string output;
    Clock::time_point searchStartedAt{};
    for (const Piece& piece : pieces) {
        output += piece.text;
        if (searchStartedAt == Clock::time_point{} &&
            output.find(searchStartOnTerminal) != std::string::npos) {
            searchStartedAt = piece.readAt;
        }
    }
    ASSERT_NE(searchStartedAt, Clock::time_point{}) << output;
    ASSERT_NE(output.find("Failed: Can't find"), std::string::npos) << output;

    const std::vector<Piece> lines = ProgressLines(pieces);
    ASSERT_FALSE(lines.empty()) << output;
    EXPECT_LE(lines.front().readAt - searchStartedAt, 500ms);
    std::set<std::string> texts;
    for (std::size_t index = 0; index < lines.size(); ++index) {
        texts.insert(lines[index].text);
        if (index > 0) {
            EXPECT_LE(lines[index].readAt - lines[index - 1].readAt, 1s) << lines[index].text;
        }
    }
    EXPECT_GE(texts.size(), 2u);
    // Two pairs of the device's ports, tried each way, the first pair first.
    EXPECT_EQ(lines.front().text, progressText + " - pair 1 of 4");
    std::set<std::string> forms;
    for (const char glyph : {'-', '\\', '|', '/'}) {
        for (const char pair : {'1', '2', '3', '4'})
            forms.insert(progressText + " " + glyph + " pair " + pair + " of 4");
    }
    for (const std::string& text : texts)
        EXPECT_EQ(forms.count(text), 1u) << text;

    // The same run through a pipe: what the screen reads in the end, and the text as before.
    const ProgramResult piped = RunProgram(folder.Path(), UPDATE_PROGRAM, server.Environment());
    EXPECT_EQ(piped.output, PosixConsole(searchStart + noDeviceFound));
    EXPECT_EQ(Screen(output), Screen(piped.output));
}

}  // namespace
