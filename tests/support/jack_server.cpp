#include "jack_server.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;

constexpr auto startTimeout = 10s;
constexpr auto stopTimeout = 5s;
constexpr auto pollInterval = 20ms;

std::string UniqueName() {
    static std::atomic<int> counter{0};
    return "update-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

// The test's environment, less its JACK settings, with the server's own: no D-Bus device
// reservation, and no second server started on anyone's behalf.
std::vector<std::string> ServerEnvironment(const std::string& name) {
    std::vector<std::string> environment = {"JACK_NO_AUDIO_RESERVATION=1", "JACK_NO_START_SERVER=1",
                                            "JACK_DEFAULT_SERVER=" + name};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view assignment(*entry);
        if (!assignment.starts_with("JACK_"))
            environment.emplace_back(assignment);
    }
    return environment;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// The same server as scripts/jack-server starts. Everything the child needs is made before
// fork, as the child of a threaded process may only make async-signal-safe calls.
pid_t StartJackd(const std::string& name, const std::string& logPath) {
    std::vector<std::string> arguments = {
        "jackd",     "--no-realtime", "--name",    name,    "--port-max", "128",
        "--timeout", "5000",          "-d",        "dummy", "--rate",     "48000",
        "--period",  "256",           "--capture", "0",     "--playback", "0"};
    std::vector<std::string> environment = ServerEnvironment(name);
    std::vector<char*> argumentPointers = Pointers(arguments);
    std::vector<char*> environmentPointers = Pointers(environment);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Its output goes to a file: jackd must neither fill nor hold open the test's pipes.
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int nothing = open("/dev/null", O_RDONLY);
    if (log < 0 || nothing < 0)
        _exit(127);
    dup2(nothing, STDIN_FILENO);
    dup2(log, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
    close_range(3, ~0U, 0);
    // A test that crashes or is killed takes its server with it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        _exit(127);
    execvpe("jackd", argumentPointers.data(), environmentPointers.data());
    _exit(127);
}

// Whether a client reaches the server: jack_lsp in a process of its own, so that this
// process's libjack keeps its defaults for the tests.
bool Answers(const std::string& name) {
    std::vector<std::string> arguments = {"jack_lsp"};
    std::vector<std::string> environment = ServerEnvironment(name);
    std::vector<char*> argumentPointers = Pointers(arguments);
    std::vector<char*> environmentPointers = Pointers(environment);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, "jack_lsp", &actions, nullptr, argumentPointers.data(),
                                    environmentPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// jackd leaves a client's semaphore behind when it ends before the client, and its socket
// when it is killed; libjack keeps both in /dev/shm, named after the server.
void RemoveLeftovers(const std::string& name) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ignored)) {
        const std::string file = entry.path().filename().string();
        if (file.starts_with("jack_") && file.find("_" + name + "_") != std::string::npos) {
            std::filesystem::remove(entry.path(), ignored);
        }
    }
}

bool HasEnded(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

}  // namespace

PrivateJackServer::PrivateJackServer()
    : name_(UniqueName()),
      logPath_(
          (std::filesystem::temp_directory_path() / ("jack-server-" + name_ + ".log")).string()) {
    pid_ = StartJackd(name_, logPath_);
    if (pid_ < 0)
        return;
    const auto deadline = std::chrono::steady_clock::now() + startTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (HasEnded(pid_)) {
            pid_ = -1;
            return;
        }
        if (Answers(name_)) {
            running_ = true;
            return;
        }
        std::this_thread::sleep_for(pollInterval);
    }
}

PrivateJackServer::~PrivateJackServer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + stopTimeout;
        bool ended = HasEnded(pid_);
        while (!ended && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(pollInterval);
            ended = HasEnded(pid_);
        }
        if (!ended) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        RemoveLeftovers(name_);
    }
    std::error_code ignored;
    std::filesystem::remove(logPath_, ignored);
}

std::vector<std::string> PrivateJackServer::EnvironmentAssignments() const {
    return {"UPDATE_MIDI_SYSTEM=jack", "JACK_DEFAULT_SERVER=" + name_};
}

std::string PrivateJackServer::Environment() const {
    std::string words;
    for (const std::string& assignment : EnvironmentAssignments())
        words += (words.empty() ? "" : " ") + assignment;
    return words;
}

void PrivateJackServer::UseInThisProcess() const {
    setenv("UPDATE_MIDI_SYSTEM", "jack", 1);
    setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
}

// jackd2 keeps one semaphore for each client in /dev/shm, named after the user, the server and
// the client, from the client's opening to its closing; JACK has no call that counts clients.
int PrivateJackServer::ClientCount() const {
    const std::string prefix = "jack_sem." + std::to_string(getuid()) + "_" + name_ + "_";
    int count = 0;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ignored)) {
        if (entry.path().filename().string().starts_with(prefix))
            ++count;
    }
    return count;
}

std::string PrivateJackServer::Log() const {
    std::ifstream file(logPath_);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}
