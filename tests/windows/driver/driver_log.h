// The driver's log: one line per event, each with the milliseconds since the driver
// started, written out at once so that the tests can read it as soon as the program ends.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>

#include "device_session.h"

class DriverLog {
public:
    DriverLog() = default;
    ~DriverLog();
    DriverLog(const DriverLog&) = delete;
    DriverLog& operator=(const DriverLog&) = delete;

    // Appends to the file at path; an empty path or a file that cannot be opened: no log.
    void Open(const std::string& path);
    void Write(SimulatorTime time, const std::string& line);

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
};

// "F0 39 F7".
std::string HexBytes(std::span<const std::uint8_t> bytes);
