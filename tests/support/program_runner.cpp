#include "program_runner.h"

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

ProgramResult RunProgram(const std::string& folder, const std::string& command,
                         const std::string& environment, const std::string& input) {
    ScratchFolder capture;
    capture.Write("input", input);
    const std::string shell = "cd '" + folder + "' && env " + environment + " " + command + " <'" +
                              capture.File("input") + "' >'" + capture.File("output") + "' 2>'" +
                              capture.File("errors") + "'";
    const int status = std::system(shell.c_str());
    ProgramResult result;
    result.output = ReadFile(capture.File("output"));
    result.errors = ReadFile(capture.File("errors"));
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
