#include "driver_log.h"

DriverLog::~DriverLog() {
    if (file_ != nullptr)
        std::fclose(file_);
}

void DriverLog::Open(const std::string& path) {
    if (!path.empty())
        file_ = std::fopen(path.c_str(), "ab");
}

void DriverLog::Write(SimulatorTime time, const std::string& line) {
    const std::lock_guard lock(mutex_);
    if (file_ == nullptr)
        return;
    std::fprintf(file_, "%10.3f %s\n", static_cast<double>(time.count()) / 1000.0, line.c_str());
    std::fflush(file_);
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (std::uint8_t byte : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02X ", byte);
        text += digits;
    }
    if (!text.empty())
        text.pop_back();
    return text;
}
