// Runs a built program in a scratch folder of its own and captures what it prints.
#pragma once

#include <string>

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

// Runs the command in folder with standard input from input (nothing by default) and the
// extra environment assignments (NAME=value ...) given.
ProgramResult RunProgram(const std::string& folder, const std::string& command,
                         const std::string& environment = "", const std::string& input = "");

std::string ReadFile(const std::string& path);
