// midi-neighbour.exe: another program on the device's ports while an update runs, as on a
// studio PC. "hold NAME" keeps the input NAME open and started, taking every message;
// "clock NAME" sends MIDI clock (F8) to the output NAME every 10 ms. Both run until ended.
#include <windows.h>

#include <mmsystem.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr DWORD clockMilliseconds = 10;
constexpr DWORD clockMessage = 0xF8;

HMIDIIN input = nullptr;
std::array<MIDIHDR, 4> headers{};
std::array<std::array<char, 256>, 4> buffers{};

void CALLBACK Heard(HMIDIIN handle, UINT message, DWORD_PTR, DWORD_PTR parameter1, DWORD_PTR) {
    if (message != MIM_LONGDATA && message != MIM_LONGERROR)
        return;
    auto* header = reinterpret_cast<MIDIHDR*>(parameter1);
    midiInUnprepareHeader(handle, header, sizeof *header);
    midiInPrepareHeader(handle, header, sizeof *header);
    midiInAddBuffer(handle, header, sizeof *header);
}

// The port of that name, counted first as Windows 11 wants; -1 for none.
template <typename Capabilities>
int FindPort(UINT count, MMRESULT (*query)(UINT_PTR, Capabilities*, UINT), const char* name) {
    for (UINT port = 0; port < count; ++port) {
        Capabilities capabilities{};
        if (query(port, &capabilities, sizeof capabilities) == MMSYSERR_NOERROR &&
            std::strcmp(capabilities.szPname, name) == 0)
            return static_cast<int>(port);
    }
    return -1;
}

int Hold(const char* name) {
    const int port = FindPort<MIDIINCAPSA>(midiInGetNumDevs(), midiInGetDevCapsA, name);
    if (port < 0 || midiInOpen(&input, port, reinterpret_cast<DWORD_PTR>(&Heard), 0,
                               CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        return 1;
    for (std::size_t index = 0; index < headers.size(); ++index) {
        headers[index].lpData = buffers[index].data();
        headers[index].dwBufferLength = buffers[index].size();
        midiInPrepareHeader(input, &headers[index], sizeof headers[index]);
        midiInAddBuffer(input, &headers[index], sizeof headers[index]);
    }
    midiInStart(input);
    std::printf("holding %s\n", name);
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

int Clock(const char* name) {
    HMIDIOUT output = nullptr;
    const int port = FindPort<MIDIOUTCAPSA>(midiOutGetNumDevs(), midiOutGetDevCapsA, name);
    if (port < 0 || midiOutOpen(&output, port, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR)
        return 1;
    std::printf("clocking %s\n", name);
    std::fflush(stdout);
    for (;;) {
        midiOutShortMsg(output, clockMessage);
        Sleep(clockMilliseconds);
    }
}

}  // namespace

int main(int argumentCount, char** arguments) {
    if (argumentCount != 3) {
        std::fprintf(stderr, "usage: midi-neighbour hold|clock PORT\n");
        return 2;
    }
    const std::string mode = arguments[1];
    if (mode == "hold")
        return Hold(arguments[2]);
    if (mode == "clock")
        return Clock(arguments[2]);
    std::fprintf(stderr, "midi-neighbour: no mode '%s'\n", mode.c_str());
    return 2;
}
