#include "simulated_device.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <utility>

#include "program_runner.h"

namespace {

using namespace std::chrono_literals;

constexpr auto readyTimeout = 10s;

}  // namespace

SimulatedDevice::SimulatedDevice(const PrivateJackServer& server,
                                 std::vector<std::string> arguments)
    : SimulatedDevice(server.Environment(), std::move(arguments)) {}

SimulatedDevice::SimulatedDevice(const std::vector<std::string>& environmentAssignments,
                                 std::vector<std::string> arguments) {
    const std::string logPath = folder_.File("log");
    arguments.insert(arguments.begin(), {DEVICE_SIMULATOR, "--accepted", folder_.File("accepted")});
    // Everything the child needs is made before fork: a threaded process's child may only
    // make async-signal-safe calls.
    std::vector<char*> pointers = ExecPointers(arguments);
    std::vector<std::string> environment = ChildEnvironment(environmentAssignments);
    std::vector<char*> environmentPointers = ExecPointers(environment);

    pid_ = fork();
    if (pid_ == 0) {
        const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, STDIN_FILENO);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        execve(pointers[0], pointers.data(), environmentPointers.data());
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + readyTimeout;
    while (!ready_ && std::chrono::steady_clock::now() < deadline) {
        ready_ = ReadFile(logPath).find("device-sim: ready\n") != std::string::npos;
        if (!ready_)
            std::this_thread::sleep_for(20ms);
    }
}

SimulatedDevice::~SimulatedDevice() {
    Stop();
}

std::string SimulatedDevice::Stop() {
    Finish(SIGINT);
    return ReadFile(folder_.File("log"));
}

void SimulatedDevice::Kill() {
    Finish(SIGKILL);
}

void SimulatedDevice::Finish(int signal) {
    if (pid_ > 0) {
        kill(pid_, signal);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

std::string SimulatedDevice::AcceptedRecords() const {
    return ReadFile(folder_.File("accepted"));
}
