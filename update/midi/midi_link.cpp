#include <algorithm>
#include <cstring>

#include "midi/midi.h"

MidiLink midiLink{};

namespace {

// A stuck driver would otherwise keep the program waiting for ever; past this the send
// counts as failed, so that the caller's own failure path runs.
constexpr std::uint32_t sendPatienceMilliseconds = 10000;
// A driver plays a message after midiOutLongMsg has returned, so the first look nearly always
// finds it still playing. Polling alone would notice the end half a step late on average, on
// every message sent (a Sleep(1) lasts about 1.08 ms under Wine): the output signals an event
// with MOM_DONE instead, which wakes the wait at the end itself. The wait on it still ends
// after this step, so that a driver that marks the header done without telling is seen as
// soon as the poll alone would see it.
constexpr unsigned sendPollMilliseconds = 1;
// A message that completes while the input closes may have its buffer queued again between
// the reset and the close; one more reset then takes it back. Native Windows may mark a buffer
// done a moment before it tells the callback, so the attempts are spaced.
constexpr unsigned inputCloseAttempts = 4;
constexpr DWORD inputCloseSpacingMilliseconds = 5;

// Set by the input callback for every message it records; one for the whole run, like the
// output's, and made before the first input opens so that the callback never sees it change.
HANDLE inputEvent = nullptr;

// Signalled by the output on MOM_OPEN, MOM_DONE and MOM_CLOSE; a wake is only a reason to look
// again. One for the whole run, never closed: no driver is left holding a handle that is gone.
HANDLE outputEvent = nullptr;

std::uint16_t LowBits(MMRESULT result) {
    return static_cast<std::uint16_t>(result);
}

// Points the link at the first buffers that no driver keeps; a header is null once every
// buffer of its direction is kept, and the port or send that needs one is then refused.
void PointAtFreeBuffers() {
    const std::uint8_t input = midiLink.inputBuffersKept;
    const std::uint8_t output = midiLink.outputBuffersKept;
    midiLink.inputHeader = input < buffersKept ? &midiLink.inputBuffers[input].header : nullptr;
    midiLink.rxBuffer = midiLink.inputBuffers[std::min<std::size_t>(input, buffersKept - 1)].bytes;
    midiLink.outputHeader = output < buffersKept ? &midiLink.outputBuffers[output].header : nullptr;
}

// Windows refuses to close an input that still holds a queued buffer, and the buffer, which
// the next port opened would queue too, stays the driver's: the reset hands it back first.
// False when every attempt was refused: the input then keeps its buffer.
bool ReleaseInput() {
    MIDIHDR* header = midiLink.inputHeader.load();
    for (unsigned attempt = 0; attempt < inputCloseAttempts; ++attempt) {
        if (attempt > 0)
            Sleep(inputCloseSpacingMilliseconds);
        midiInReset(midiLink.inputHandle);
        midiInUnprepareHeader(midiLink.inputHandle, header, sizeof(MIDIHDR));
        if (midiInClose(midiLink.inputHandle) != MIDIERR_STILLPLAYING)
            return true;
    }
    return false;
}

// Leaves the message's buffer, and the output, to a driver that may still hold them.
std::uint16_t GiveUpOutput() {
    midiLink.outputHeld = true;
    ++midiLink.outputBuffersKept;
    PointAtFreeBuffers();
    return LowBits(MIDIERR_STILLPLAYING);
}

// On the callback's thread, the only one that records. A full queue means sixteen replies that
// nobody took; the newest is then dropped rather than one that came before it.
void RecordReply(std::uint8_t code) {
    const std::uint32_t recorded = midiLink.repliesRecorded.load(std::memory_order_relaxed);
    if (recorded - midiLink.repliesTaken.load(std::memory_order_acquire) >=
        midiLink.replyCodes.size())
        return;
    midiLink.replyCodes[recorded % midiLink.replyCodes.size()] = code;
    midiLink.repliesRecorded.store(recorded + 1, std::memory_order_release);
}

}  // namespace

std::optional<std::uint8_t> TakeDeviceReply() {
    const std::uint32_t taken = midiLink.repliesTaken.load(std::memory_order_relaxed);
    if (taken == midiLink.repliesRecorded.load(std::memory_order_acquire))
        return std::nullopt;
    const std::uint8_t code = midiLink.replyCodes[taken % midiLink.replyCodes.size()];
    midiLink.repliesTaken.store(taken + 1, std::memory_order_release);
    return code;
}

void DropDeviceReplies() {
    midiLink.rxCount = 0;
    midiLink.repliesTaken.store(midiLink.repliesRecorded.load(std::memory_order_acquire),
                                std::memory_order_release);
}

std::uint16_t OpenMidiInput(unsigned portIndex) {
    if (inputEvent == nullptr)
        inputEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    MIDIHDR* header = midiLink.inputHeader.load();
    if (inputEvent == nullptr || header == nullptr)
        return LowBits(MMSYSERR_NOMEM);
    // A number without a port (Windows 11's MIDI Service counts past one it cannot read)
    // answers no capabilities, and is skipped as a port that will not open.
    MIDIINCAPSA capabilities{};
    const MMRESULT named = midiInGetDevCapsA(portIndex, &capabilities, sizeof capabilities);
    if (named != MMSYSERR_NOERROR)
        return LowBits(named);
    // Claimed before it opens: a port that another updater holds is refused as a port in use,
    // whether or not the MIDI system would share it.
    if (!ClaimMidiPort(PortDirection::input, portIndex)) {
        midiLink.inputOpen = 0;
        return LowBits(MMSYSERR_ALLOCATED);
    }
    const MMRESULT opened =
        midiInOpen(&midiLink.inputHandle, portIndex,
                   reinterpret_cast<DWORD_PTR>(&MidiInputCallback), 0, CALLBACK_FUNCTION);
    if (opened != MMSYSERR_NOERROR) {
        midiLink.inputOpen = 0;
        ReleaseMidiPort(PortDirection::input);
        return LowBits(opened);
    }
    std::memcpy(midiLink.inputName, capabilities.szPname, sizeof midiLink.inputName);

    header->lpData = midiLink.rxBuffer;
    header->dwBufferLength = rxBufferSize;
    header->dwBytesRecorded = 0;
    header->dwFlags = 0;
    midiInPrepareHeader(midiLink.inputHandle, header, sizeof(MIDIHDR));
    midiInAddBuffer(midiLink.inputHandle, header, sizeof(MIDIHDR));
    // Set before input starts, so that the first message already gets its buffer back.
    midiLink.inputOpen = 1;
    return LowBits(midiInStart(midiLink.inputHandle));
}

std::uint16_t OpenMidiOutput(unsigned portIndex) {
    if (outputEvent == nullptr)
        outputEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (outputEvent == nullptr || midiLink.outputHeader == nullptr)
        return LowBits(MMSYSERR_NOMEM);
    MIDIOUTCAPSA capabilities{};
    const MMRESULT named = midiOutGetDevCapsA(portIndex, &capabilities, sizeof capabilities);
    if (named != MMSYSERR_NOERROR)
        return LowBits(named);
    if (!ClaimMidiPort(PortDirection::output, portIndex)) {
        midiLink.outputOpen = 0;
        return LowBits(MMSYSERR_ALLOCATED);
    }
    const MMRESULT opened =
        midiOutOpen(&midiLink.outputHandle, portIndex, reinterpret_cast<DWORD_PTR>(outputEvent), 0,
                    CALLBACK_EVENT);
    if (opened != MMSYSERR_NOERROR) {
        midiLink.outputOpen = 0;
        ReleaseMidiPort(PortDirection::output);
        return LowBits(opened);
    }
    std::memcpy(midiLink.outputName, capabilities.szPname, sizeof midiLink.outputName);
    midiLink.outputHeld = false;
    midiLink.outputOpen = 1;
    return 0;
}

std::uint16_t CloseMidiInput() {
    if (midiLink.inputOpen == 0)
        return 0;
    // Cleared first, so that the callback stops handing the buffer back before the close.
    midiLink.inputOpen = 0;
    if (!ReleaseInput()) {
        // The handle stays open with the buffer queued: both are the driver's from now on.
        ++midiLink.inputBuffersKept;
        PointAtFreeBuffers();
    }
    // Only once the port is closed may another updater have it.
    ReleaseMidiPort(PortDirection::input);
    return 1;
}

std::uint16_t CloseMidiOutput() {
    if (midiLink.outputOpen == 0)
        return 0;
    midiLink.outputOpen = 0;
    if (!midiLink.outputHeld)
        midiOutClose(midiLink.outputHandle);
    midiLink.outputHeld = false;
    ReleaseMidiPort(PortDirection::output);
    return 1;
}

std::uint16_t SendSysEx(const std::uint8_t* data, std::uint16_t length) {
    if (length > largestSysExLength)
        return 0;
    if (midiLink.outputHeld)
        return LowBits(MIDIERR_NOTREADY);
    MIDIHDR* header = midiLink.outputHeader;
    if (header == nullptr)
        return LowBits(MMSYSERR_NOMEM);
    char* message = midiLink.outputBuffers[midiLink.outputBuffersKept].bytes;
    message[0] = static_cast<char>(0xF0);
    std::copy_n(data, length, message + 1);
    message[length + 1] = static_cast<char>(0xF7);

    header->lpData = message;
    header->dwBufferLength = length + 2u;
    header->dwFlags = 0;
    const MMRESULT prepared = midiOutPrepareHeader(midiLink.outputHandle, header, sizeof(MIDIHDR));
    if (prepared != MMSYSERR_NOERROR)
        return LowBits(prepared);
    const std::uint32_t sentAt = ReadMillisecondClock();
    const std::optional<MMRESULT> sent =
        CallLongMessageWithin(midiLink.outputHandle, header, sendPatienceMilliseconds);
    if (!sent)
        return GiveUpOutput();
    if (*sent != MMSYSERR_NOERROR)
        return LowBits(*sent);

    // The next message reuses the buffer: the call may return only once the MIDI system is done
    // with it.
    while (midiOutUnprepareHeader(midiLink.outputHandle, header, sizeof(MIDIHDR)) ==
           MIDIERR_STILLPLAYING) {
        if (ReadMillisecondClock() - sentAt >= sendPatienceMilliseconds) {
            // The reset takes the message back, so that the port can close; a driver that keeps
            // it all the same keeps the buffer too.
            midiOutReset(midiLink.outputHandle);
            if (midiOutUnprepareHeader(midiLink.outputHandle, header, sizeof(MIDIHDR)) ==
                MIDIERR_STILLPLAYING)
                return GiveUpOutput();
            return LowBits(MIDIERR_STILLPLAYING);
        }
        WaitForSingleObject(outputEvent, sendPollMilliseconds);
    }
    return 0;
}

void AwaitInput(std::uint32_t milliseconds) {
    // Without an input there is nothing to wake the wait: it lasts its whole step, as a sleep.
    if (inputEvent == nullptr || WaitForSingleObject(inputEvent, milliseconds) == WAIT_FAILED)
        Sleep(milliseconds);
}

void StartInputWait() {
    if (inputEvent != nullptr)
        WaitForSingleObject(inputEvent, 0);
}

TimedWait::TimedWait(std::uint32_t milliseconds)
    : length_(milliseconds), start_(ReadMillisecondClock()), lastLook_(start_) {}

bool TimedWait::Over() {
    const std::uint32_t now = ReadMillisecondClock();
    const std::uint32_t lastStep = now - lastLook_;
    lastLook_ = now;
    const std::uint32_t elapsed = now - start_;
    return elapsed >= length_ || 2 * (length_ - elapsed) < lastStep;
}

std::uint32_t TimedWait::NextStep() const {
    constexpr std::uint32_t longestStep = 50;
    const std::uint32_t elapsed = ReadMillisecondClock() - start_;
    const std::uint32_t left = elapsed >= length_ ? 0 : length_ - elapsed;
    return std::clamp<std::uint32_t>(left / 2, 1, longestStep);
}

void TimedWait::Restart() {
    start_ = ReadMillisecondClock();
    lastLook_ = start_;
}

void CALLBACK MidiInputCallback(HMIDIIN handle, UINT message, DWORD_PTR, DWORD_PTR parameter1,
                                DWORD_PTR) {
    if (message != MIM_LONGDATA && message != MIM_LONGERROR)
        return;
    auto* header = reinterpret_cast<MIDIHDR*>(parameter1);
    // An input given up on, its buffer kept, may still deliver: what it heard is no reply of
    // the port open now, and its buffer is not queued again.
    if (header != midiLink.inputHeader.load())
        return;
    // A malformed message (a cable glitch, a device reset in the middle of a message) is no
    // reply, but its buffer must go back to the port all the same, or nothing more is heard.
    if (message == MIM_LONGDATA) {
        // The code first: once the count shows, the main thread may take it.
        if (header->dwBytesRecorded >= static_cast<DWORD>(shortestReply))
            RecordReply(static_cast<std::uint8_t>(header->lpData[1]));
        midiLink.rxCount = static_cast<std::int16_t>(header->dwBytesRecorded);
        // After the count, so that the wait it wakes finds the message. SetEvent is one of the
        // few calls that Windows allows in a MIDI callback.
        SetEvent(inputEvent);
    }
    if (midiLink.inputOpen == 1) {
        midiInUnprepareHeader(handle, header, sizeof(MIDIHDR));
        midiInPrepareHeader(handle, header, sizeof(MIDIHDR));
        midiInAddBuffer(handle, header, sizeof(MIDIHDR));
    }
}
