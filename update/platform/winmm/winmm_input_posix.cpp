// MIDI input on the stand-in, kept to Windows' contract: buffers queued with midiInAddBuffer
// are filled one complete System Exclusive message each, in queue order, once input has
// started, and come back through the callback, with MIM_LONGDATA or, for a malformed message,
// MIM_LONGERROR; a message that finds no queued buffer is lost. A port that still holds a
// queued buffer cannot be closed; a reset hands every queued buffer back.
#include <deque>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "platform/winmm/winmm_standin_posix.h"

namespace {

using InputCallback = void (*)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
using standin::hostMutex;

struct InputState {
    std::unique_ptr<MidiInputPort> port;
    InputCallback callback = nullptr;
    DWORD_PTR instance = 0;
    // Guards the queue and the start flag, which the host's thread reads on every message.
    std::mutex queueMutex;
    std::deque<MIDIHDR*> queue;
    bool started = false;
    // Set by a close that was not refused: a callback still under way then finds the handle
    // gone, as it would on Windows, and cannot queue a buffer on a closed port.
    bool closed = false;
};

std::set<InputState*> liveInputs;

InputState* FindInput(HMIDIIN handle) {
    return standin::FindLive(liveInputs, handle);
}

void HandBack(MIDIHDR& header) {
    header.dwFlags = (header.dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
}

// A status byte other than realtime breaking into a System Exclusive message, as a cable
// glitch or a device reset in the middle of a message leaves it, makes it malformed. The
// closing F7 is the only status byte after the first that belongs to it.
bool IsMalformed(std::span<const std::uint8_t> message) {
    for (std::size_t index = 1; index < message.size(); ++index) {
        const std::uint8_t byte = message[index];
        const bool closing = byte == 0xF7 && index + 1 == message.size();
        if (byte >= 0x80 && byte < 0xF8 && !closing)
            return true;
    }
    return false;
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
        if (state.closed || !state.started || state.queue.empty())
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
        HandBack(*header);
    }
    // Called without the lock: the callback queues the buffer again through midiInAddBuffer.
    const UINT notice = IsMalformed(message) ? MIM_LONGERROR : MIM_LONGDATA;
    state.callback(reinterpret_cast<HMIDIIN>(&state), notice, state.instance,
                   reinterpret_cast<DWORD_PTR>(header), 0);
}

}  // namespace

MMRESULT midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                    DWORD fdwOpen) {
    if (phmi == nullptr || fdwOpen != CALLBACK_FUNCTION || dwCallback == 0) {
        return MMSYSERR_INVALPARAM;
    }
    auto state = std::make_unique<InputState>();
    state->callback = reinterpret_cast<InputCallback>(dwCallback);
    state->instance = dwInstance;
    const std::optional<std::string> name =
        standin::ListedName(standin::Direction::input, uDeviceID);
    if (!name)
        return MMSYSERR_BADDEVICEID;
    InputState* receiver = state.get();
    state->port = standin::Host().OpenInput(
        *name,
        [receiver](std::span<const std::uint8_t> message) { ReceiveMessage(*receiver, message); });
    if (!state->port)
        return MMSYSERR_ALLOCATED;
    const InputCallback callback = state->callback;
    *phmi = standin::AddLive<HMIDIIN>(liveInputs, std::move(state));
    callback(*phmi, MIM_OPEN, dwInstance, 0, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    return standin::PrepareHeader(FindInput(hmi) != nullptr, pmh, cbmh);
}

MMRESULT midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    InputState* state = FindInput(hmi);
    if (const MMRESULT refused = standin::CheckHeaderCall(state != nullptr, pmh, cbmh))
        return refused;
    std::lock_guard lock(state->queueMutex);
    if ((pmh->dwFlags & MHDR_INQUEUE) != 0)
        return MIDIERR_STILLPLAYING;
    pmh->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT midiInAddBuffer(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    InputState* state = FindInput(hmi);
    if (const MMRESULT refused = standin::CheckHeaderCall(state != nullptr, pmh, cbmh))
        return refused;
    std::lock_guard lock(state->queueMutex);
    if (state->closed)
        return MMSYSERR_INVALHANDLE;
    if ((pmh->dwFlags & MHDR_PREPARED) == 0)
        return MIDIERR_UNPREPARED;
    // A header belongs to one queue at a time, whichever port holds it.
    if ((pmh->dwFlags & MHDR_INQUEUE) != 0)
        return MIDIERR_STILLPLAYING;
    pmh->dwFlags = (pmh->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    pmh->dwBytesRecorded = 0;
    state->queue.push_back(pmh);
    return MMSYSERR_NOERROR;
}

MMRESULT midiInStart(HMIDIIN hmi) {
    InputState* state = FindInput(hmi);
    if (state == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (!state->port->Start())
        return MMSYSERR_ERROR;
    std::lock_guard lock(state->queueMutex);
    state->started = true;
    return MMSYSERR_NOERROR;
}

MMRESULT midiInReset(HMIDIIN hmi) {
    InputState* state = FindInput(hmi);
    if (state == nullptr)
        return MMSYSERR_INVALHANDLE;
    std::deque<MIDIHDR*> returned;
    {
        std::lock_guard lock(state->queueMutex);
        state->started = false;
        returned.swap(state->queue);
        for (MIDIHDR* header : returned)
            HandBack(*header);
    }
    // As on Windows, each buffer comes back through the callback, without the lock, since
    // the callback may queue it again.
    for (MIDIHDR* header : returned) {
        state->callback(hmi, MIM_LONGDATA, state->instance, reinterpret_cast<DWORD_PTR>(header), 0);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT midiInClose(HMIDIIN hmi) {
    {
        InputState* state = FindInput(hmi);
        if (state == nullptr)
            return MMSYSERR_INVALHANDLE;
        std::lock_guard lock(state->queueMutex);
        if (!state->queue.empty())
            return MIDIERR_STILLPLAYING;
        state->closed = true;
    }
    const std::unique_ptr<InputState> state = standin::TakeLive(liveInputs, hmi);
    if (!state)
        return MMSYSERR_INVALHANDLE;
    // Destroying the port waits for a message being delivered, which may still call into the
    // functions above; they find the handle gone and change nothing.
    state->port.reset();
    state->callback(hmi, MIM_CLOSE, state->instance, 0, 0);
    return MMSYSERR_NOERROR;
}
