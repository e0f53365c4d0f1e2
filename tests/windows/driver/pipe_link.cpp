#include "pipe_link.h"

#include <array>

std::string PipePath(const std::string& name) {
    return "\\\\.\\pipe\\" + name;
}

PipeLink::~PipeLink() {
    CloseHandle(pipe_);
}

bool PipeLink::Transfer(void* bytes, DWORD size, bool reading) {
    auto* cursor = static_cast<std::uint8_t*>(bytes);
    const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr)
        return false;
    bool whole = true;
    while (size > 0 && whole) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        DWORD done = 0;
        const BOOL finished = reading ? ReadFile(pipe_, cursor, size, &done, &overlapped)
                                      : WriteFile(pipe_, cursor, size, &done, &overlapped);
        if (!finished && (GetLastError() != ERROR_IO_PENDING ||
                          !GetOverlappedResult(pipe_, &overlapped, &done, TRUE))) {
            whole = false;
        } else if (done == 0) {
            whole = false;
        }
        cursor += done;
        size -= done;
    }
    CloseHandle(event);
    return whole;
}

bool PipeLink::Write(const Frame& frame) {
    std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(frame.kind), frame.port,
                                       static_cast<std::uint8_t>(frame.bytes.size() & 0xFF),
                                       static_cast<std::uint8_t>(frame.bytes.size() >> 8)};
    bytes.insert(bytes.end(), frame.bytes.begin(), frame.bytes.end());
    const std::lock_guard lock(writing_);
    return Transfer(bytes.data(), static_cast<DWORD>(bytes.size()), false);
}

std::optional<Frame> PipeLink::Read() {
    std::array<std::uint8_t, 4> head{};
    if (!Transfer(head.data(), head.size(), true))
        return std::nullopt;
    Frame frame{static_cast<FrameKind>(head[0]), head[1],
                std::vector<std::uint8_t>(head[2] | head[3] << 8)};
    if (!frame.bytes.empty() && !Transfer(frame.bytes.data(), frame.bytes.size(), true))
        return std::nullopt;
    return frame;
}
