#include "pipe_link.h"

#include <array>

namespace {

constexpr std::size_t headSize = 4;
constexpr DWORD readSize = 4096;

}  // namespace

std::string PipePath(const std::string& name) {
    return "\\\\.\\pipe\\" + name;
}

PipeLink::PipeLink(HANDLE pipe)
    : pipe_(pipe),
      readDone_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      writeDone_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

PipeLink::~PipeLink() {
    CloseHandle(pipe_);
    CloseHandle(readDone_);
    CloseHandle(writeDone_);
}

DWORD PipeLink::Transfer(void* bytes, DWORD size, bool reading) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = reading ? readDone_ : writeDone_;
    DWORD done = 0;
    const BOOL finished = reading ? ReadFile(pipe_, bytes, size, &done, &overlapped)
                                  : WriteFile(pipe_, bytes, size, &done, &overlapped);
    if (!finished && (GetLastError() != ERROR_IO_PENDING ||
                      !GetOverlappedResult(pipe_, &overlapped, &done, TRUE))) {
        return 0;
    }
    return done;
}

bool PipeLink::Write(const Frame& frame) {
    std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(frame.kind), frame.port,
                                       static_cast<std::uint8_t>(frame.bytes.size() & 0xFF),
                                       static_cast<std::uint8_t>(frame.bytes.size() >> 8)};
    bytes.insert(bytes.end(), frame.bytes.begin(), frame.bytes.end());
    const std::lock_guard lock(writing_);
    for (std::size_t written = 0; written < bytes.size();) {
        const DWORD done =
            Transfer(bytes.data() + written, static_cast<DWORD>(bytes.size() - written), false);
        if (done == 0)
            return false;
        written += done;
    }
    return true;
}

std::optional<Frame> PipeLink::Read() {
    const auto whole = [this] {
        return received_.size() >= headSize &&
               received_.size() >= headSize + (received_[2] | received_[3] << 8);
    };
    while (!whole()) {
        std::array<std::uint8_t, readSize> bytes;
        const DWORD done = Transfer(bytes.data(), readSize, true);
        if (done == 0)
            return std::nullopt;
        received_.insert(received_.end(), bytes.begin(), bytes.begin() + done);
    }
    const std::size_t end = headSize + (received_[2] | received_[3] << 8);
    Frame frame{static_cast<FrameKind>(received_[0]), received_[1],
                std::vector<std::uint8_t>(received_.begin() + headSize, received_.begin() + end)};
    received_.erase(received_.begin(), received_.begin() + end);
    return frame;
}
