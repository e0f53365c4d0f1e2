// MIDI output on the stand-in, kept to Windows' contract: midiOutLongMsg hands the message to
// the MIDI system and returns; its header stays queued, and cannot be unprepared nor its port
// closed, until the system has taken the whole message or a reset takes it back. An output
// opened with CALLBACK_EVENT signals its event when it opens, when a message is done and when
// it closes.
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "platform/winmm/winmm_standin_posix.h"

namespace {

struct OutputState {
    std::unique_ptr<MidiOutputPort> port;
    // The header of the message in flight; only the main thread touches it.
    MIDIHDR* queued = nullptr;
    // Null for an output opened without notifications.
    HANDLE event = nullptr;
};

std::set<OutputState*> liveOutputs;

OutputState* FindOutput(HMIDIOUT handle) {
    return standin::FindLive(liveOutputs, handle);
}

// MOM_OPEN, MOM_DONE and MOM_CLOSE alike.
void Notify(const OutputState& state) {
    if (state.event != nullptr)
        SetEvent(state.event);
}

void MarkDone(OutputState& state) {
    state.queued->dwFlags = (state.queued->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    state.queued = nullptr;
    Notify(state);
}

// Whether the message in flight, if any, still waits for the MIDI system.
bool IsPlaying(OutputState& state) {
    if (state.queued == nullptr)
        return false;
    if (state.port->IsSending())
        return true;
    MarkDone(state);
    return false;
}

}  // namespace

void standin::NoticeFinishedMessages() {
    std::vector<OutputState*> outputs;
    {
        std::lock_guard lock(hostMutex);
        outputs.assign(liveOutputs.begin(), liveOutputs.end());
    }
    // Asked without the lock: the host is never called while holding it.
    for (OutputState* state : outputs)
        IsPlaying(*state);
}

MMRESULT midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                     DWORD fdwOpen) {
    // Of the output notifications, only the event is provided: the program asks for no other.
    const bool withEvent = fdwOpen == CALLBACK_EVENT && dwCallback != 0;
    const bool without = fdwOpen == CALLBACK_NULL && dwCallback == 0;
    if (phmo == nullptr || dwInstance != 0 || !(withEvent || without))
        return MMSYSERR_INVALPARAM;
    const std::optional<std::string> name =
        standin::ListedName(standin::Direction::output, uDeviceID);
    if (!name)
        return MMSYSERR_BADDEVICEID;
    auto state = std::make_unique<OutputState>();
    state->port = standin::Host().OpenOutput(*name);
    if (!state->port)
        return MMSYSERR_ALLOCATED;
    state->event = reinterpret_cast<HANDLE>(dwCallback);
    Notify(*state);
    *phmo = standin::AddLive<HMIDIOUT>(liveOutputs, std::move(state));
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    return standin::PrepareHeader(FindOutput(hmo) != nullptr, pmh, cbmh);
}

MMRESULT midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    OutputState* state = FindOutput(hmo);
    if (const MMRESULT refused = standin::CheckHeaderCall(state != nullptr, pmh, cbmh))
        return refused;
    if (pmh->dwBufferLength == 0)
        return MMSYSERR_INVALPARAM;
    if ((pmh->dwFlags & MHDR_PREPARED) == 0)
        return MIDIERR_UNPREPARED;
    // One message at a time: the port has no queue of its own here.
    if ((pmh->dwFlags & MHDR_INQUEUE) != 0 || IsPlaying(*state))
        return MIDIERR_STILLPLAYING;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(pmh->lpData);
    if (!state->port->Send(std::span(bytes, pmh->dwBufferLength)))
        return MMSYSERR_ERROR;
    pmh->dwFlags = (pmh->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    state->queued = pmh;
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    OutputState* state = FindOutput(hmo);
    if (const MMRESULT refused = standin::CheckHeaderCall(state != nullptr, pmh, cbmh))
        return refused;
    if (state->queued == pmh && IsPlaying(*state))
        return MIDIERR_STILLPLAYING;
    pmh->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

// What the MIDI system has already taken cannot be called back; the header comes back done
// all the same, so that the program may let go of its bytes.
MMRESULT midiOutReset(HMIDIOUT hmo) {
    OutputState* state = FindOutput(hmo);
    if (state == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (state->queued != nullptr)
        MarkDone(*state);
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutClose(HMIDIOUT hmo) {
    OutputState* state = FindOutput(hmo);
    if (state == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (IsPlaying(*state))
        return MIDIERR_STILLPLAYING;
    Notify(*state);
    standin::TakeLive(liveOutputs, hmo);
    return MMSYSERR_NOERROR;
}
