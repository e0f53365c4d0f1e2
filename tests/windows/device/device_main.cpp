// testmidi-device.exe: the one device that the test MIDI driver of every program reaches in its
// MIDI Service personality. It takes the driver's own options (the device's behaviour, the
// decoys, the instrument, --log, --accepted, --pipe) as its arguments, and serves on the named
// pipe until it is ended.
#include <cstdio>
#include <thread>

#include "midi_service.h"

namespace {

constexpr DWORD tickMilliseconds = 5;
constexpr DWORD pipeBufferSize = 65536;

// A new instance of the pipe, the first one only if no other process serves that name.
HANDLE MakePipe(const std::string& path, bool first) {
    return CreateNamedPipeA(
        path.c_str(),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, pipeBufferSize,
        pipeBufferSize, 0, nullptr);
}

bool AwaitClient(HANDLE pipe) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD ignored = 0;
    bool connected = ConnectNamedPipe(pipe, &overlapped) != FALSE;
    if (!connected) {
        const DWORD error = GetLastError();
        connected = error == ERROR_PIPE_CONNECTED ||
                    (error == ERROR_IO_PENDING &&
                     GetOverlappedResult(pipe, &overlapped, &ignored, TRUE) != FALSE);
    }
    CloseHandle(overlapped.hEvent);
    return connected;
}

}  // namespace

int main(int argumentCount, char** arguments) {
    std::string text;
    for (int index = 1; index < argumentCount; ++index)
        text += std::string(arguments[index]) + " ";
    const ParsedDriverOptions parsed = ParseDriverOptions(text);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "testmidi-device: %s\n", parsed.error.c_str());
        return 2;
    }
    // Never destroyed: the process ends by being ended.
    TestMidiDriver& driver = *new TestMidiDriver(parsed, MidiStack::service);
    MidiService& service =
        *new MidiService(driver, parsed.options.clockInReplies, parsed.options.portGap);
    std::thread([&service] {
        for (;;) {
            Sleep(tickMilliseconds);
            service.Tick();
        }
    }).detach();

    const std::string path = PipePath(parsed.options.pipeName);
    for (bool first = true;; first = false) {
        const HANDLE pipe = MakePipe(path, first);
        if (pipe == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "testmidi-device: cannot serve %s\n", path.c_str());
            return 1;
        }
        if (first)
            driver.Note("device process ready on " + path);
        if (!AwaitClient(pipe)) {
            CloseHandle(pipe);
            continue;
        }
        std::thread([&service, link = std::make_shared<PipeLink>(pipe)] {
            service.Serve(link);
        }).detach();
    }
}
