// The frames between the test MIDI driver inside each program and the device process, over a
// named pipe of the Wine server that both run under: a kind, a port and the bytes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

enum class FrameKind : std::uint8_t {
    // From a driver. hello: the bytes are the client's name.
    hello,
    openInput,
    startInput,
    stopInput,
    closeInput,
    openOutput,
    closeOutput,
    // One whole MIDI message for the output.
    send,
    // From the device process. ports: the inputs' names and then the outputs', each ended by
    // a line end; the port field holds the number of inputs.
    ports,
    // The result of the client's latest send on the port: one byte, an MMRESULT.
    sent,
    // Bytes as they came off the input's cable, a whole message or what is left of one.
    input,
};

struct Frame {
    FrameKind kind = FrameKind::hello;
    std::uint8_t port = 0;
    std::vector<std::uint8_t> bytes;
};

// "\\.\pipe\NAME".
std::string PipePath(const std::string& name);

// One end of a pipe opened for overlapped I/O: one thread reads while others write, which a
// synchronous handle would serialise. Each frame is one write, and a read takes all that has
// come: every call crosses to Wine's server, and the benchmark counts each crossing. The link
// closes the handle.
class PipeLink {
public:
    explicit PipeLink(HANDLE pipe);
    ~PipeLink();
    PipeLink(const PipeLink&) = delete;
    PipeLink& operator=(const PipeLink&) = delete;

    // False once the pipe is broken.
    bool Write(const Frame& frame);
    // From one thread only; nothing once the pipe is broken.
    std::optional<Frame> Read();

private:
    // One read or write; how many bytes it moved, 0 once the pipe is broken.
    DWORD Transfer(void* bytes, DWORD size, bool reading);

    HANDLE pipe_;
    HANDLE readDone_;
    HANDLE writeDone_;
    std::mutex writing_;
    // What has been read and not yet taken as a frame.
    std::vector<std::uint8_t> received_;
};
