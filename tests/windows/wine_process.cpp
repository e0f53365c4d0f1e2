#include "wine_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "driver_options.h"
#include "wine_program.h"

namespace {

// Wine's first start of a program in a prefix in use takes about a second, more on a busy
// machine.
constexpr double longestDeviceStart = 30;

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

}  // namespace

WineProcess::WineProcess(const std::string& folder, const std::string& program,
                         const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment) {
    capture_.Write("input", "");
    std::string command =
        "cd " + Quoted(folder) + " && exec " + Quoted(WineLoader()) + " " + Quoted(program);
    for (const std::string& argument : arguments)
        command += " " + Quoted(argument);
    command += " <" + Quoted(capture_.File("input")) + " >" + Quoted(capture_.File("output")) +
               " 2>" + Quoted(capture_.File("errors"));
    std::vector<std::string> shell = {"/bin/sh", "-c", command};
    std::vector<std::string> childEnvironment = ChildEnvironment(environment);
    if (posix_spawn(&pid_, shell[0].c_str(), nullptr, nullptr, ExecPointers(shell).data(),
                    ExecPointers(childEnvironment).data()) != 0) {
        throw std::runtime_error("cannot start " + program);
    }
}

WineProcess::~WineProcess() {
    if (!result_) {
        Kill();
        Wait();
    }
}

void WineProcess::Kill() {
    if (!result_)
        kill(pid_, SIGKILL);
}

const ProgramResult& WineProcess::Wait() {
    if (!result_) {
        int status = -1;
        waitpid(pid_, &status, 0);
        result_ =
            ProgramResult{ReadFile(capture_.File("output")), ReadFile(capture_.File("errors")),
                          WIFEXITED(status) ? WEXITSTATUS(status) : -1};
    }
    return *result_;
}

bool AwaitText(const std::string& path, const std::string& text, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (ReadFile(path).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

DeviceProcess::DeviceProcess(const std::string& options) {
    static std::atomic<int> made{0};
    pipe_ = "update-testmidi-" + std::to_string(getpid()) + "-" + std::to_string(++made);
    std::vector<std::string> arguments = {"--log",      WindowsPath(LogPath()),
                                          "--accepted", WindowsPath(records_.File("accepted.bin")),
                                          "--pipe",     pipe_};
    for (std::size_t start = 0; start < options.size();) {
        const std::size_t end = std::min(options.find(' ', start), options.size());
        if (end > start)
            arguments.push_back(options.substr(start, end - start));
        start = end + 1;
    }
    process_.emplace(records_.Path(), Required("UPDATE_TEST_DEVICE"), arguments,
                     std::vector<std::string>{});
    if (!AwaitText(LogPath(), "device process ready", longestDeviceStart))
        throw std::runtime_error("the device process did not start:\n" + Log());
}

std::string DeviceProcess::ClientVariable(const std::string& client,
                                          const std::string& logPath) const {
    return std::string(driverOptionsVariable) + "=--shared-ports --pipe " + pipe_ + " --client " +
           client + " --log " + WindowsPath(logPath);
}

std::string DeviceProcess::Log() const {
    return ReadFile(LogPath());
}

std::string DeviceProcess::Accepted() const {
    return ReadFile(records_.File("accepted.bin"));
}

void DeviceProcess::Stop() {
    if (process_) {
        process_->Kill();
        process_->Wait();
    }
}
