// The MIDI link: the process-wide port state, the port operations on the Windows MIDI
// services, and the search for the device over every pair of ports with its progress line.
#pragma once

#include <array>
#include <atomic>
#include <concepts>
#include <cstdint>
#include <optional>

#include "platform/platform.h"

inline constexpr std::size_t rxBufferSize = 200;
inline constexpr std::uint16_t largestSysExLength = 46;

// A buffer with its header, as the program hands it to the MIDI system.
template <std::size_t size>
struct MidiBuffer {
    MIDIHDR header;
    char bytes[size];
};
using InputBuffer = MidiBuffer<rxBufferSize>;
using OutputBuffer = MidiBuffer<largestSysExLength + 2>;

// A driver may keep a buffer after the program has let go of it: an input whose close it
// refused still holds its receive buffer, and a send given up on may still be queued. Such a
// buffer is never used again, so that no later port gets it queued twice and no message goes
// out with another's bytes: the next port or message takes a buffer of its own. Each port can
// keep one at most, and the search tries ten ports of each direction.
inline constexpr std::size_t buffersKept = 11;

// One per process. rxCount is the hand-over from the MIDI system's thread, which records
// each complete message's length there, to the main thread, which polls and clears it;
// inputOpen and inputHeader are read on that thread too.
struct MidiLink {
    std::uint8_t outputOpen;
    std::atomic<std::uint8_t> inputOpen;
    char inputName[MAXPNAMELEN];
    char outputName[MAXPNAMELEN];
    HMIDIOUT outputHandle;
    // The buffers in use now, among the ones kept below: the next message's, and the open
    // input's, whose bytes are rxBuffer.
    MIDIHDR* outputHeader = &outputBuffers[0].header;
    std::atomic<MIDIHDR*> inputHeader = &inputBuffers[0].header;
    char* rxBuffer = inputBuffers[0].bytes;
    HMIDIIN inputHandle;
    std::atomic<std::int16_t> rxCount;
    // The codes of the messages of two bytes or more, in the order received, until taken: the
    // callback records each one here before its count, and the main thread takes them one by
    // one. Messages that come in one cycle of the MIDI system (a late answer and the answer to
    // the repeat, say) are recorded before the main thread looks at any of them; a single code
    // would keep only the last, and an acceptance could go unseen.
    std::array<std::uint8_t, 16> replyCodes;
    std::atomic<std::uint32_t> repliesRecorded;
    std::atomic<std::uint32_t> repliesTaken;
    // Taken in order; the ones before the one in use are a driver's for good.
    std::array<InputBuffer, buffersKept> inputBuffers;
    std::array<OutputBuffer, buffersKept> outputBuffers;
    std::uint8_t inputBuffersKept;
    std::uint8_t outputBuffersKept;
    // The output's driver still holds a call or a message that the program gave up on: nothing
    // more goes to it, and it is not closed, which that driver would block or refuse.
    bool outputHeld;
};

extern MidiLink midiLink;

// Results are the platform's code cut to 16 bits, 0 for success.
std::uint16_t OpenMidiInput(unsigned portIndex);
std::uint16_t OpenMidiOutput(unsigned portIndex);
// 1 when an open port was closed, 0 when the port was not open.
std::uint16_t CloseMidiInput();
std::uint16_t CloseMidiOutput();
// Frames the data bytes as F0 ... F7 and sends them; returns once the MIDI system is done
// with the message. Longer than 46 data bytes: nothing is sent and the result is 0.
std::uint16_t SendSysEx(const std::uint8_t* data, std::uint16_t length);
void CALLBACK MidiInputCallback(HMIDIIN handle, UINT message, DWORD_PTR instance,
                                DWORD_PTR parameter1, DWORD_PTR parameter2);

// The reply code: the first data byte of the last message received.
inline std::uint8_t DeviceReply() {
    return static_cast<std::uint8_t>(midiLink.rxBuffer[1]);
}

// Takes the code of the earliest reply not yet taken, once. The count that announced it may show
// later, or be cleared already: a count whose code has been taken is passed over.
std::optional<std::uint8_t> TakeDeviceReply();
// Forgets every message recorded so far: the count, a one-byte message's included, and every
// reply code not yet taken.
void DropDeviceReplies();

// A reply wait lasts this long at most, polling rxCount between its steps; a message
// shorter than shortestReply bytes is no reply.
inline constexpr std::uint32_t replyWaitMilliseconds = 500;
inline constexpr std::int16_t shortestReply = 2;

// A wait measured by the clock, not by its count of steps: a step of 1 ms lasts what the
// system's timer makes of it, a whole 15.6 ms tick on a Windows that grants no finer timer, or
// more on a loaded machine, and 500 of them would then last eight seconds instead of half of
// one.
class TimedWait {
public:
    explicit TimedWait(std::uint32_t milliseconds);
    // Whether the wait has run its time. It has once less than half of the last step is left:
    // another step would then overshoot the end by more than stopping falls short of it, so a
    // wait of coarse steps ends at the step nearest its time. Under 1 ms steps that is the end.
    bool Over();
    // Starts the same length of wait again from now.
    void Restart();
    // How long the next step may last: half of what is left, so that a wait takes a few steps
    // where a page in a browser pays for each one, and never more than a twentieth of a second,
    // so that the search's line keeps turning.
    std::uint32_t NextStep() const;

private:
    std::uint32_t length_;
    std::uint32_t start_;
    std::uint32_t lastLook_;
};

// Takes a reply as every reply wait does: the code of the earliest reply not yet taken that
// passOver does not name, the ones before it passed over for good; nothing when none is queued.
// A count of a reply is cleared first, so that a further reply that comes in between stays
// counted instead of being wiped out with this one; a message shorter than a reply stays
// counted, and ends each later wait that looks at the count at once.
std::optional<std::uint8_t> TakeReply(std::predicate<std::uint8_t> auto passOver) {
    if (midiLink.rxCount >= shortestReply)
        midiLink.rxCount = 0;
    while (const std::optional<std::uint8_t> code = TakeDeviceReply()) {
        if (!passOver(*code))
            return code;
    }
    return std::nullopt;
}

// A wait's step between two polls: at most milliseconds, ended early by the next message that
// the input callback records, so that a reply is taken the moment it comes.
void AwaitInput(std::uint32_t milliseconds);
// Forgets the wake of a message recorded before the wait that follows: one that was taken
// already would otherwise end that wait's first step at once.
void StartInputWait();

// The code that this program's device answers the handshake with.
inline constexpr std::uint8_t updateTargetCode = 0x39;

// The target code closes the handshake as a constant: the argument of FindUpdateDevice only
// chooses which reply is accepted.
inline constexpr std::uint8_t handshakeMessage[] = {
    0x53, 0x2F, 0x6B, 0x31, 0x4E, 0x25, updateTargetCode};

// The values are the device's own: a reset request is the device's reply byte itself.
enum class DiscoveryResult : std::uint8_t {
    noDevice = 0,
    deviceFound = 1,
    resetRequested = 0x15,
};

// The search's progress line, "Searching.. - pair 3 of 9", written in place and only when
// standard output is a console. Drawing costs no wait: the search's own waits redraw it.
// Draws the first line, the first pair being tried.
void StartSearchProgress(unsigned pairCount);
// The pair being tried now, from 1; the next redraw shows it.
void SetSearchPair(unsigned pair);
// Redraws the line, its glyph turned, once the last drawing is a quarter second old.
void RedrawSearchProgressWhenDue();
// Blanks the line and leaves the cursor at its start, so the search's message takes its place.
void EndSearchProgress();

// How many ports of each direction the search tries, numbered from 0 in the MIDI system's order
// (ten at most).
std::uint8_t CountMidiInputs();
std::uint8_t CountMidiOutputs();

// Tries every input port against every output port with the handshake and leaves the first
// pair that answers open; after noDevice no port is open.
DiscoveryResult FindUpdateDevice(std::uint8_t targetCode);
