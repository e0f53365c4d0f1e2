// The Windows MIDI services over a MidiHost where Windows is missing: the part that input and
// output share. The stand-in keeps Windows' refusals, so that the program meets here what it
// meets on Windows.
#include "platform/winmm/winmm_standin_posix.h"

#include <cstring>
#include <vector>

namespace standin {

std::mutex hostMutex;

namespace {

MidiHost* installedHost = nullptr;
std::unique_ptr<MidiHost> systemHost;
bool listsTaken = false;
std::vector<std::string> inputNames;
std::vector<std::string> outputNames;

MidiHost& HostLocked() {
    if (installedHost != nullptr)
        return *installedHost;
    if (!systemHost)
        systemHost = CreateSystemMidiHost("update");
    return *systemHost;
}

// The port lists are taken once and then stay as they were, as Windows numbers its ports
// for the whole run; the program's own ports, opened later, never appear in them.
const std::vector<std::string>& ListLocked(Direction direction) {
    if (!listsTaken) {
        inputNames = HostLocked().ListInputs();
        outputNames = HostLocked().ListOutputs();
        listsTaken = true;
    }
    return direction == Direction::input ? inputNames : outputNames;
}

// Both capability records begin alike and hold the name in szPname.
template <typename Capabilities>
MMRESULT GetCapabilities(Direction direction, UINT_PTR index, Capabilities* capabilities,
                         UINT size) {
    std::lock_guard lock(hostMutex);
    const std::vector<std::string>& names = ListLocked(direction);
    if (index >= names.size())
        return MMSYSERR_BADDEVICEID;
    if (capabilities == nullptr || size < sizeof(Capabilities))
        return MMSYSERR_INVALPARAM;
    *capabilities = Capabilities{};
    HostLocked()
        .DisplayName(names[index], MAXPNAMELEN - 1)
        .copy(capabilities->szPname, MAXPNAMELEN - 1);
    return MMSYSERR_NOERROR;
}

UINT CountListed(Direction direction) {
    std::lock_guard lock(hostMutex);
    return static_cast<UINT>(ListLocked(direction).size());
}

}  // namespace

MidiHost& Host() {
    std::lock_guard lock(hostMutex);
    return HostLocked();
}

std::optional<std::string> ListedName(Direction direction, UINT index) {
    std::lock_guard lock(hostMutex);
    const std::vector<std::string>& names = ListLocked(direction);
    if (index >= names.size())
        return std::nullopt;
    return names[index];
}

MMRESULT CheckHeaderCall(bool portOpen, LPMIDIHDR header, UINT headerSize) {
    if (!portOpen)
        return MMSYSERR_INVALHANDLE;
    if (header == nullptr || header->lpData == nullptr || headerSize < sizeof(MIDIHDR))
        return MMSYSERR_INVALPARAM;
    return MMSYSERR_NOERROR;
}

MMRESULT PrepareHeader(bool portOpen, LPMIDIHDR header, UINT headerSize) {
    if (const MMRESULT refused = CheckHeaderCall(portOpen, header, headerSize))
        return refused;
    header->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

}  // namespace standin

void InstallMidiHost(MidiHost* host) {
    std::lock_guard lock(standin::hostMutex);
    standin::installedHost = host;
    standin::listsTaken = false;
}

UINT midiInGetNumDevs() {
    return standin::CountListed(standin::Direction::input);
}

UINT midiOutGetNumDevs() {
    return standin::CountListed(standin::Direction::output);
}

MMRESULT midiInGetDevCapsA(UINT_PTR uDeviceID, LPMIDIINCAPSA pmic, UINT cbmic) {
    return standin::GetCapabilities(standin::Direction::input, uDeviceID, pmic, cbmic);
}

MMRESULT midiOutGetDevCapsA(UINT_PTR uDeviceID, LPMIDIOUTCAPSA pmoc, UINT cbmoc) {
    return standin::GetCapabilities(standin::Direction::output, uDeviceID, pmoc, cbmoc);
}
