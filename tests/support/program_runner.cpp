#include "program_runner.h"

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

extern char** environ;

namespace {

std::string_view VariableName(std::string_view assignment) {
    return assignment.substr(0, assignment.find('='));
}

}  // namespace

ScratchFolder::ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "update-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void ScratchFolder::Write(const std::string& name, const std::string& text) const {
    std::ofstream(File(name), std::ios::binary) << text;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& assignments) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
        environment.emplace_back(*entry);
    for (const std::string& assignment : assignments) {
        const auto same =
            std::find_if(environment.begin(), environment.end(), [&](const std::string& entry) {
                return VariableName(entry) == VariableName(assignment);
            });
        if (same != environment.end())
            *same = assignment;
        else
            environment.push_back(assignment);
    }
    return environment;
}

std::vector<char*> ExecPointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

ProgramResult RunProgram(const std::string& folder, const std::string& command,
                         const std::vector<std::string>& environment, const std::string& input) {
    ScratchFolder capture;
    capture.Write("input", input);
    std::vector<std::string> arguments = {
        "/bin/sh", "-c",
        "cd '" + folder + "' && " + command + " <'" + capture.File("input") + "' >'" +
            capture.File("output") + "' 2>'" + capture.File("errors") + "'"};
    std::vector<std::string> childEnvironment = ChildEnvironment(environment);
    pid_t pid = -1;
    int status = -1;
    if (posix_spawn(&pid, arguments[0].c_str(), nullptr, nullptr, ExecPointers(arguments).data(),
                    ExecPointers(childEnvironment).data()) == 0) {
        waitpid(pid, &status, 0);
    }
    ProgramResult result;
    result.output = ReadFile(capture.File("output"));
    result.errors = ReadFile(capture.File("errors"));
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
