// The Windows MIDI services over a MidiHost, kept to the Windows contract that the program
// relies on: input buffers are filled one complete System Exclusive message each, in queue
// order, once input has started, and come back through the callback with MIM_LONGDATA; a
// message that finds no queued buffer is lost; an output header reports "still playing"
// until the MIDI system has taken the whole message.
#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/midi_host.h"
#include "platform/winmm.h"

namespace {

using InputCallback = void (*)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

struct InputState {
    std::unique_ptr<MidiInputPort> port;
    InputCallback callback = nullptr;
    DWORD_PTR instance = 0;
    // Guards the queue and the start flag, which the host's thread reads on every message.
    std::mutex queueMutex;
    std::deque<MIDIHDR*> queue;
    bool started = false;
};

struct OutputState {
    std::unique_ptr<MidiOutputPort> port;
};

std::mutex hostMutex;
MidiHost* installedHost = nullptr;
std::unique_ptr<MidiHost> systemHost;
bool listsTaken = false;
std::vector<std::string> inputNames;
std::vector<std::string> outputNames;
std::set<InputState*> liveInputs;
std::set<OutputState*> liveOutputs;

MidiHost& HostLocked() {
    if (installedHost != nullptr)
        return *installedHost;
    if (!systemHost)
        systemHost = CreateSystemMidiHost("update");
    return *systemHost;
}

// The port lists are taken once and then stay as they were, as Windows numbers its ports
// for the whole run; the program's own ports, opened later, never appear in them.
void TakeListsLocked() {
    if (listsTaken)
        return;
    inputNames = HostLocked().ListInputs();
    outputNames = HostLocked().ListOutputs();
    listsTaken = true;
}

// Opening a port may wait for the MIDI system, whose threads deliver messages through
// functions that take hostMutex: the host is therefore called without holding it.
MidiHost& Host() {
    std::lock_guard lock(hostMutex);
    return HostLocked();
}

std::optional<std::string> ListedName(const std::vector<std::string>& names, UINT index) {
    std::lock_guard lock(hostMutex);
    TakeListsLocked();
    if (index >= names.size())
        return std::nullopt;
    return names[index];
}

void CopyPortName(const std::string& name, CHAR (&szPname)[MAXPNAMELEN]) {
    std::memset(szPname, 0, MAXPNAMELEN);
    name.copy(szPname, MAXPNAMELEN - 1);
}

// The live port state behind a handle, or null for a handle that is not open.
template <typename State, typename Handle>
State* FindLive(const std::set<State*>& live, Handle handle) {
    auto* state = reinterpret_cast<State*>(handle);
    std::lock_guard lock(hostMutex);
    return live.count(state) != 0 ? state : nullptr;
}

InputState* FindInput(HMIDIIN handle) {
    return FindLive(liveInputs, handle);
}
OutputState* FindOutput(HMIDIOUT handle) {
    return FindLive(liveOutputs, handle);
}

// Takes the handle's state out of the live ones: null for a handle that is not open.
template <typename State, typename Handle>
std::unique_ptr<State> TakeLive(std::set<State*>& live, Handle handle) {
    auto* state = reinterpret_cast<State*>(handle);
    std::lock_guard lock(hostMutex);
    return std::unique_ptr<State>(live.erase(state) != 0 ? state : nullptr);
}

bool IsUsableHeader(LPMIDIHDR header, UINT headerSize) {
    return header != nullptr && header->lpData != nullptr && headerSize >= sizeof(MIDIHDR);
}

MMRESULT PrepareHeader(bool portOpen, LPMIDIHDR header, UINT headerSize) {
    if (!portOpen)
        return MMSYSERR_INVALHANDLE;
    if (!IsUsableHeader(header, headerSize))
        return MMSYSERR_INVALPARAM;
    header->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

// Runs on the host's thread for every message received on the port.
void ReceiveMessage(InputState& state, std::span<const std::uint8_t> message) {
    if (message.empty() || message.front() != 0xF0)
        return;
    {
        // The program reads the last message in its buffer until its next call into these
        // functions, which all take this lock, and a device answers only after that call.
        // Taking the lock before the buffer is written orders the two in a way that the
        // thread sanitizer sees, which it cannot through the MIDI system's lock-free queues.
        std::lock_guard lock(hostMutex);
        if (liveInputs.count(&state) == 0)
            return;
    }
    MIDIHDR* header = nullptr;
    {
        std::lock_guard lock(state.queueMutex);
        if (!state.started || state.queue.empty())
            return;
        header = state.queue.front();
        state.queue.pop_front();
        // Realtime bytes may interleave with a System Exclusive message on the wire but are
        // no part of it. A message longer than the buffer is cut to the buffer's length.
        DWORD recorded = 0;
        for (std::uint8_t byte : message) {
            if (byte >= 0xF8)
                continue;
            if (recorded == header->dwBufferLength)
                break;
            header->lpData[recorded++] = static_cast<char>(byte);
        }
        header->dwBytesRecorded = recorded;
        header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    }
    // Called without the lock: the callback queues the buffer again through midiInAddBuffer.
    state.callback(reinterpret_cast<HMIDIIN>(&state), MIM_LONGDATA, state.instance,
                   reinterpret_cast<DWORD_PTR>(header), 0);
}

}  // namespace

void InstallMidiHost(MidiHost* host) {
    std::lock_guard lock(hostMutex);
    installedHost = host;
    listsTaken = false;
}

MMRESULT midiInGetDevCapsA(UINT_PTR uDeviceID, LPMIDIINCAPSA pmic, UINT cbmic) {
    std::lock_guard lock(hostMutex);
    TakeListsLocked();
    if (uDeviceID >= inputNames.size())
        return MMSYSERR_BADDEVICEID;
    if (pmic == nullptr || cbmic < sizeof(MIDIINCAPSA))
        return MMSYSERR_INVALPARAM;
    *pmic = MIDIINCAPSA{};
    CopyPortName(inputNames[uDeviceID], pmic->szPname);
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutGetDevCapsA(UINT_PTR uDeviceID, LPMIDIOUTCAPSA pmoc, UINT cbmoc) {
    std::lock_guard lock(hostMutex);
    TakeListsLocked();
    if (uDeviceID >= outputNames.size())
        return MMSYSERR_BADDEVICEID;
    if (pmoc == nullptr || cbmoc < sizeof(MIDIOUTCAPSA))
        return MMSYSERR_INVALPARAM;
    *pmoc = MIDIOUTCAPSA{};
    CopyPortName(outputNames[uDeviceID], pmoc->szPname);
    return MMSYSERR_NOERROR;
}

MMRESULT midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                    DWORD fdwOpen) {
    if (phmi == nullptr || fdwOpen != CALLBACK_FUNCTION || dwCallback == 0) {
        return MMSYSERR_INVALPARAM;
    }
    auto state = std::make_unique<InputState>();
    state->callback = reinterpret_cast<InputCallback>(dwCallback);
    state->instance = dwInstance;
    const std::optional<std::string> name = ListedName(inputNames, uDeviceID);
    if (!name)
        return MMSYSERR_BADDEVICEID;
    InputState* receiver = state.get();
    state->port = Host().OpenInput(*name, [receiver](std::span<const std::uint8_t> message) {
        ReceiveMessage(*receiver, message);
    });
    if (!state->port)
        return MMSYSERR_ALLOCATED;
    {
        std::lock_guard lock(hostMutex);
        liveInputs.insert(state.get());
    }
    InputState* opened = state.release();
    *phmi = reinterpret_cast<HMIDIIN>(opened);
    opened->callback(*phmi, MIM_OPEN, opened->instance, 0, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    return PrepareHeader(FindInput(hmi) != nullptr, pmh, cbmh);
}

MMRESULT midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    InputState* state = FindInput(hmi);
    if (state == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (!IsUsableHeader(pmh, cbmh))
        return MMSYSERR_INVALPARAM;
    std::lock_guard lock(state->queueMutex);
    if ((pmh->dwFlags & MHDR_INQUEUE) != 0)
        return MIDIERR_STILLPLAYING;
    pmh->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT midiInAddBuffer(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    InputState* state = FindInput(hmi);
    if (state == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (!IsUsableHeader(pmh, cbmh))
        return MMSYSERR_INVALPARAM;
    std::lock_guard lock(state->queueMutex);
    if ((pmh->dwFlags & MHDR_PREPARED) == 0)
        return MIDIERR_UNPREPARED;
    if ((pmh->dwFlags & MHDR_INQUEUE) != 0)
        return MIDIERR_STILLPLAYING;
    pmh->dwFlags = (pmh->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    state->queue.push_back(pmh);
    return MMSYSERR_NOERROR;
}

MMRESULT midiInStart(HMIDIIN hmi) {
    InputState* state = FindInput(hmi);
    if (state == nullptr)
        return MMSYSERR_INVALHANDLE;
    std::lock_guard lock(state->queueMutex);
    state->started = true;
    return MMSYSERR_NOERROR;
}

// Windows refuses to close while buffers are queued; here the port closes all the same and
// the buffers stay unfilled, so that a port never outlives the program's wish to close it.
MMRESULT midiInClose(HMIDIIN hmi) {
    const std::unique_ptr<InputState> state = TakeLive(liveInputs, hmi);
    if (!state)
        return MMSYSERR_INVALHANDLE;
    // Destroying the port waits for a message being delivered, which may still call into the
    // functions above; they find the handle gone and change nothing.
    state->port.reset();
    for (MIDIHDR* header : state->queue)
        header->dwFlags &= ~MHDR_INQUEUE;
    state->callback(hmi, MIM_CLOSE, state->instance, 0, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                     DWORD fdwOpen) {
    // Output notifications are not provided: the program opens its output without them.
    if (phmo == nullptr || dwCallback != 0 || dwInstance != 0 || fdwOpen != CALLBACK_NULL) {
        return MMSYSERR_INVALPARAM;
    }
    const std::optional<std::string> name = ListedName(outputNames, uDeviceID);
    if (!name)
        return MMSYSERR_BADDEVICEID;
    auto state = std::make_unique<OutputState>();
    state->port = Host().OpenOutput(*name);
    if (!state->port)
        return MMSYSERR_ALLOCATED;
    std::lock_guard lock(hostMutex);
    liveOutputs.insert(state.get());
    *phmo = reinterpret_cast<HMIDIOUT>(state.release());
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    return PrepareHeader(FindOutput(hmo) != nullptr, pmh, cbmh);
}

MMRESULT midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    OutputState* state = FindOutput(hmo);
    if (state == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (!IsUsableHeader(pmh, cbmh) || pmh->dwBufferLength == 0)
        return MMSYSERR_INVALPARAM;
    if ((pmh->dwFlags & MHDR_PREPARED) == 0)
        return MIDIERR_UNPREPARED;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(pmh->lpData);
    if (!state->port->Send(std::span(bytes, pmh->dwBufferLength)))
        return MMSYSERR_ERROR;
    pmh->dwFlags = (pmh->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    OutputState* state = FindOutput(hmo);
    if (state == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (!IsUsableHeader(pmh, cbmh))
        return MMSYSERR_INVALPARAM;
    if ((pmh->dwFlags & MHDR_INQUEUE) != 0) {
        if (state->port->IsSending())
            return MIDIERR_STILLPLAYING;
        pmh->dwFlags = (pmh->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    }
    pmh->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutClose(HMIDIOUT hmo) {
    return TakeLive(liveOutputs, hmo) ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}
