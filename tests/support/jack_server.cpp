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
#include <thread>
#include <vector>

#include "program_runner.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

constexpr auto startTimeout = 10s;
constexpr auto pollInterval = 20ms;

std::string UniqueName() {
    static std::atomic<int> counter{0};
    return "update-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

// The server that scripts/jack-server runs, as a child of this process. Everything the child
// needs is made before fork, as the child of a threaded process may only make
// async-signal-safe calls.
pid_t StartJackd(const std::string& script, const std::string& name, const std::string& logPath) {
    std::vector<std::string> arguments = {script, "run", name};
    std::vector<char*> argumentPointers = ExecPointers(arguments);
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
    // A test that crashes or is killed takes its server with it: the script hands its process
    // over to jackd, which keeps this request.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        _exit(127);
    execv(argumentPointers[0], argumentPointers.data());
    _exit(127);
}

// Whether scripts/jack-server's command for the named server succeeds; what it prints is of
// no use to the tests.
bool RunScript(const std::string& script, const std::string& command, const std::string& name) {
    std::vector<std::string> arguments = {script, command, name};
    std::vector<char*> argumentPointers = ExecPointers(arguments);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int failed =
        posix_spawn(&pid, argumentPointers[0], &actions, nullptr, argumentPointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool HasEnded(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

}  // namespace

PrivateJackServer::PrivateJackServer() : PrivateJackServer(JACK_SERVER_SCRIPT) {}

PrivateJackServer::PrivateJackServer(std::string script)
    : script_(std::move(script)),
      name_(UniqueName()),
      logPath_(
          (std::filesystem::temp_directory_path() / ("jack-server-" + name_ + ".log")).string()) {
    pid_ = StartJackd(script_, name_, logPath_);
    if (pid_ < 0)
        return;
    const auto deadline = std::chrono::steady_clock::now() + startTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (HasEnded(pid_)) {
            pid_ = -1;
            return;
        }
        if (RunScript(script_, "answers", name_)) {
            running_ = true;
            return;
        }
        std::this_thread::sleep_for(pollInterval);
    }
}

// The script stops the server, waits for its end and removes its pid file and what its
// clients left behind, even of a server that ended by itself; the ended process is then this
// one's to reap.
PrivateJackServer::~PrivateJackServer() {
    RunScript(script_, "stop", name_);
    if (pid_ > 0)
        waitpid(pid_, nullptr, 0);
    std::error_code ignored;
    std::filesystem::remove(logPath_, ignored);
}

std::vector<std::string> PrivateJackServer::Environment() const {
    return {"UPDATE_MIDI_SYSTEM=jack", "JACK_DEFAULT_SERVER=" + name_};
}

void PrivateJackServer::UseInThisProcess() const {
    for (const std::string& assignment : Environment()) {
        const std::size_t equals = assignment.find('=');
        setenv(assignment.substr(0, equals).c_str(), assignment.substr(equals + 1).c_str(), 1);
    }
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
    return ReadFile(logPath_);
}

// jackd reports each on standard error, which is not buffered: a line is in the log by the time
// the cycle after it has run.
std::size_t PrivateJackServer::MissedCycles() const {
    const std::string log = Log();
    std::size_t count = 0;
    // A cycle that the driver's timer starts late is reported as an XRun too, and loses nothing.
    const std::string late = "JackEngine::XRun: client";
    for (std::size_t found = log.find(late); found != std::string::npos;
         found = log.find(late, found + 1))
        ++count;
    return count;
}
