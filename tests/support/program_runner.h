// Runs a built program in a scratch folder of its own and captures what it prints.
#pragma once

#include <string>
#include <vector>

struct ProgramResult {
    std::string output;
    std::string errors;
    int exitStatus = -1;
};

// A fresh empty folder below the system's temporary folder, removed by the destructor.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    void Write(const std::string& name, const std::string& text) const;

private:
    std::string path_;
};

// Runs the shell command in folder with standard input from input (nothing by default) and
// the environment assignments (NAME=value) given.
ProgramResult RunProgram(const std::string& folder, const std::string& command,
                         const std::vector<std::string>& environment = {},
                         const std::string& input = "");

// The environment of a child process: this process's own, with each assignment (NAME=value)
// in turn setting its variable, as env(1) does.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& assignments);
// The texts as exec takes them, ending in a null; valid as long as the texts are.
std::vector<char*> ExecPointers(std::vector<std::string>& texts);

std::string ReadFile(const std::string& path);
