#include <algorithm>
#include <cstring>

#include "midi/midi.h"

MidiLink midiLink{};

namespace {

// A stuck driver would otherwise keep the program waiting for ever; past this the send
// counts as failed, so that the caller's own failure path runs.
constexpr unsigned sendPatienceMilliseconds = 10000;
// A driver plays a message after midiOutLongMsg has returned, so the first look nearly always
// finds it still playing. Polling alone would notice the end half a step late on average, on
// every message sent (a Sleep(1) lasts about 1.08 ms under Wine): the output signals an event
// with MOM_DONE instead, which wakes the wait at the end itself. The wait on it still ends
// after this step, so that a driver that marks the header done without telling is seen as
// soon as the poll alone would see it.
constexpr unsigned sendPollMilliseconds = 1;
// A message that completes while the input closes may have its buffer queued again between
// the reset and the close; one more reset then takes it back.
constexpr unsigned inputCloseAttempts = 4;

// Set by the input callback for every message it records; one for the whole run, like the
// output's, and made before the first input opens so that the callback never sees it change.
HANDLE inputEvent = nullptr;

// Signalled by the output on MOM_OPEN, MOM_DONE and MOM_CLOSE; a wake is only a reason to look
// again. One for the whole run, never closed: no driver is left holding a handle that is gone.
HANDLE outputEvent = nullptr;

std::uint16_t LowBits(MMRESULT result) {
    return static_cast<std::uint16_t>(result);
}

// Windows refuses to close an input that still holds a queued buffer, and the buffer, which
// the next port opened would queue too, stays the driver's: the reset hands it back first.
void ReleaseInput() {
    for (unsigned attempt = 0; attempt < inputCloseAttempts; ++attempt) {
        midiInReset(midiLink.inputHandle);
        midiInUnprepareHeader(midiLink.inputHandle, &midiLink.inputHeader, sizeof(MIDIHDR));
        if (midiInClose(midiLink.inputHandle) != MIDIERR_STILLPLAYING)
            return;
    }
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
    if (inputEvent == nullptr)
        return LowBits(MMSYSERR_NOMEM);
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
    MIDIINCAPSA capabilities{};
    midiInGetDevCapsA(portIndex, &capabilities, sizeof capabilities);
    std::memcpy(midiLink.inputName, capabilities.szPname, sizeof midiLink.inputName);

    midiLink.inputHeader.lpData = midiLink.rxBuffer;
    midiLink.inputHeader.dwBufferLength = rxBufferSize;
    midiLink.inputHeader.dwBytesRecorded = 0;
    midiLink.inputHeader.dwFlags = 0;
    midiInPrepareHeader(midiLink.inputHandle, &midiLink.inputHeader, sizeof(MIDIHDR));
    midiInAddBuffer(midiLink.inputHandle, &midiLink.inputHeader, sizeof(MIDIHDR));
    // Set before input starts, so that the first message already gets its buffer back.
    midiLink.inputOpen = 1;
    return LowBits(midiInStart(midiLink.inputHandle));
}

std::uint16_t OpenMidiOutput(unsigned portIndex) {
    if (outputEvent == nullptr)
        outputEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (outputEvent == nullptr)
        return LowBits(MMSYSERR_NOMEM);
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
    MIDIOUTCAPSA capabilities{};
    midiOutGetDevCapsA(portIndex, &capabilities, sizeof capabilities);
    std::memcpy(midiLink.outputName, capabilities.szPname, sizeof midiLink.outputName);
    midiLink.outputOpen = 1;
    return 0;
}

std::uint16_t CloseMidiInput() {
    if (midiLink.inputOpen == 0)
        return 0;
    // Cleared first, so that the callback stops handing the buffer back before the close.
    midiLink.inputOpen = 0;
    ReleaseInput();
    // Only once the port is closed may another updater have it.
    ReleaseMidiPort(PortDirection::input);
    return 1;
}

std::uint16_t CloseMidiOutput() {
    if (midiLink.outputOpen == 0)
        return 0;
    midiLink.outputOpen = 0;
    midiOutClose(midiLink.outputHandle);
    ReleaseMidiPort(PortDirection::output);
    return 1;
}

std::uint16_t SendSysEx(const std::uint8_t* data, std::uint16_t length) {
    if (length > largestSysExLength)
        return 0;
    char message[largestSysExLength + 2];
    message[0] = static_cast<char>(0xF0);
    std::copy_n(data, length, message + 1);
    message[length + 1] = static_cast<char>(0xF7);

    MIDIHDR& header = midiLink.outputHeader;
    header.lpData = message;
    header.dwBufferLength = length + 2u;
    header.dwFlags = 0;
    const MMRESULT prepared = midiOutPrepareHeader(midiLink.outputHandle, &header, sizeof(MIDIHDR));
    if (prepared != MMSYSERR_NOERROR)
        return LowBits(prepared);
    const MMRESULT sent = midiOutLongMsg(midiLink.outputHandle, &header, sizeof(MIDIHDR));
    if (sent != MMSYSERR_NOERROR)
        return LowBits(sent);

    // The message buffer lives on this stack: the call may return only once the MIDI system
    // is done with it.
    const DWORD sentAt = GetTickCount();
    while (midiOutUnprepareHeader(midiLink.outputHandle, &header, sizeof(MIDIHDR)) ==
           MIDIERR_STILLPLAYING) {
        if (GetTickCount() - sentAt >= sendPatienceMilliseconds) {
            // The driver would otherwise keep a message whose bytes this stack is about to
            // reuse, and refuse to close the port.
            midiOutReset(midiLink.outputHandle);
            midiOutUnprepareHeader(midiLink.outputHandle, &header, sizeof(MIDIHDR));
            return LowBits(MIDIERR_STILLPLAYING);
        }
        WaitForSingleObject(outputEvent, sendPollMilliseconds);
    }
    return 0;
}

void AwaitInput() {
    // Without an input there is nothing to wake the wait: it lasts its whole step, as a sleep.
    if (inputEvent == nullptr || WaitForSingleObject(inputEvent, 1) == WAIT_FAILED)
        Sleep(1);
}

void StartInputWait() {
    if (inputEvent != nullptr)
        WaitForSingleObject(inputEvent, 0);
}

void CALLBACK MidiInputCallback(HMIDIIN, UINT message, DWORD_PTR, DWORD_PTR parameter1, DWORD_PTR) {
    if (message != MIM_LONGDATA && message != MIM_LONGERROR)
        return;
    // A malformed message (a cable glitch, a device reset in the middle of a message) is no
    // reply, but its buffer must go back to the port all the same, or nothing more is heard.
    if (message == MIM_LONGDATA) {
        const auto* header = reinterpret_cast<const MIDIHDR*>(parameter1);
        // The code first: once the count shows, the main thread may take it.
        if (header->dwBytesRecorded >= static_cast<DWORD>(shortestReply))
            RecordReply(static_cast<std::uint8_t>(header->lpData[1]));
        midiLink.rxCount = static_cast<std::int16_t>(header->dwBytesRecorded);
        // After the count, so that the wait it wakes finds the message. SetEvent is one of the
        // few calls that Windows allows in a MIDI callback.
        SetEvent(inputEvent);
    }
    if (midiLink.inputOpen == 1) {
        midiInUnprepareHeader(midiLink.inputHandle, &midiLink.inputHeader, sizeof(MIDIHDR));
        midiInPrepareHeader(midiLink.inputHandle, &midiLink.inputHeader, sizeof(MIDIHDR));
        midiInAddBuffer(midiLink.inputHandle, &midiLink.inputHeader, sizeof(MIDIHDR));
    }
}
