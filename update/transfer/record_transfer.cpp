#include <cstddef>
#include <cstdio>
#include <optional>

#include "image/image.h"
#include "midi/midi.h"
#include "transfer/transfer.h"

namespace {

constexpr std::uint8_t attemptsPerRecord = 20;

constexpr std::uint8_t recordAccepted = 0x1A;
constexpr std::uint8_t deviceRestarts = 0x77;

// Where the transfer stands. position and ackedBytes move together: the percentage shown is
// the share of the image that lies before the record being sent.
struct TransferState {
    std::uint16_t position = 0;
    std::uint16_t ackedBytes = 0;
    std::uint8_t retryCount = 0;
};

// Sends the record as messages of 23 bytes' digits and a shorter last one. False when the
// output refused a full message. A refused short message is not looked at: the reply, or its
// absence, judges the attempt.
bool SendRecord(const std::uint8_t* imageBytes, std::uint16_t position, std::uint16_t recordSize) {
    char hexText[2 * bytesPerMessage];
    std::uint16_t remaining = recordSize;
    while (remaining > 0) {
        const std::uint8_t* next = imageBytes + (std::size_t{position} + recordSize - remaining);
        const bool full = remaining >= bytesPerMessage;
        const std::uint16_t count = full ? bytesPerMessage : remaining;
        for (std::uint16_t index = 0; index < count; ++index) {
            ByteToHexPair(next[index], hexText + 2 * index);
        }
        const std::uint16_t result = SendSysEx(reinterpret_cast<const std::uint8_t*>(hexText),
                                               static_cast<std::uint16_t>(2 * count));
        if (full && result != 0)
            return false;
        remaining = full ? static_cast<std::uint16_t>(remaining - bytesPerMessage) : 0;
    }
    return true;
}

// A handshake's answer that comes during the transfer (a device that answered late or twice,
// or answered a handshake that discovery repeated) answers no record. Taken as one, it would
// leave every later reply read one record behind, and the device's refusal of a record would
// then have the record after it sent again instead: a record lost while the run reports
// success.
bool IsHandshakeAnswer(std::uint8_t code) {
    return code == updateTargetCode ||
           code == static_cast<std::uint8_t>(DiscoveryResult::resetRequested);
}

// The code of the next reply within one wait, or nothing when none came. A reply that arrives
// later is taken by the next wait. A handshake's answer is passed over and the wait goes on for
// the rest of its polls.
std::optional<std::uint8_t> AwaitReply() {
    StartInputWait();
    TimedWait wait(replyWaitMilliseconds);
    for (;;) {
        if (const std::optional<std::uint8_t> code = TakeReply(IsHandshakeAnswer))
            return code;
        if (wait.Over())
            return std::nullopt;
        AwaitInput(wait.NextStep());
    }
}

// After a silence the device may still answer the attempt that went unanswered (it was busy,
// erasing its memory, say), and then the repeat: two answers to one record may be on their
// way. Taking the first alone would leave the second to answer the next record, and every
// reply after it would be read one record behind. So the answers are taken until a whole wait
// passes with no further one: the device holds the record if any of them accepted it, and
// otherwise the last one says what it made of the record. Nothing when none came.
//
// Each send of the record draws one answer at most, two where a thru loop brings each one twice:
// past that many the answers are no longer this record's (another sender on the input, say),
// and taking them on would keep the transfer waiting for as long as they come. What comes after
// is left to the waits that follow, down to the one after the last record.
std::optional<std::uint8_t> CollectAnswers(unsigned sendsAwaitingAnswer) {
    std::optional<std::uint8_t> decision = AwaitReply();
    if (!decision)
        return std::nullopt;
    for (unsigned taken = 1; taken < 2 * sendsAwaitingAnswer; ++taken) {
        const std::optional<std::uint8_t> further = AwaitReply();
        if (!further)
            break;
        if (*decision != recordAccepted)
            decision = further;
    }
    return decision;
}

void PrintDeviceError(std::uint8_t code) {
    switch (code) {
        case 0x20:
            std::printf("\nThe CRC of the download file is error!\n");
            break;
        case 0x21:
        case 0x22:
            std::printf("\nThe download file has been damaged!\n");
            break;
        case 0x24:
            std::printf("\nThe download file verifies error!\n");
            break;
        case 0x25:
            std::printf("\nThe MCU erases error!\n");
            break;
        default:
            break;
    }
}

// Counts a failed attempt; true when it was the last one the record is allowed.
bool CountFailure(TransferState& state) {
    ++state.retryCount;
    return state.retryCount >= attemptsPerRecord;
}

}  // namespace

void ByteToHexPair(std::uint8_t value, char* out) {
    const auto digit = [](unsigned nibble) {
        return static_cast<char>(nibble < 10 ? 0x30 + nibble : 0x37 + nibble);
    };
    out[0] = digit(value >> 4);
    out[1] = digit(value & 0x0Fu);
}

TransferEnding TransferImage(const std::uint8_t* imageBytes, std::uint16_t loadedCount) {
    ResetSpinner();
    TransferState state;
    // The attempts at this record since its last answer, whose answers may still come.
    unsigned silentAttempts = 0;
    while (state.position < loadedCount) {
        const std::uint16_t recordSize = RecordSizeAt(imageBytes, state.position);
        // On 32 bits: a hundred times the bytes of a large image does not fit in 16.
        ShowProgress(
            static_cast<std::uint16_t>(std::uint32_t{state.ackedBytes} * 100u / loadedCount));
        if (!SendRecord(imageBytes, state.position, recordSize)) {
            std::printf("\nError: The MIDI Out of device is missing!\n\n");
            return TransferEnding::outputLost;
        }

        const std::optional<std::uint8_t> reply =
            silentAttempts > 0 ? CollectAnswers(silentAttempts + 1) : AwaitReply();
        silentAttempts = reply ? 0 : silentAttempts + 1;
        if (!reply) {
            if (CountFailure(state)) {
                std::printf("\nFailed: Target is not responding.\n\n");
                return TransferEnding::notResponding;
            }
            StepSpinnerBack();
            continue;
        }
        const std::uint8_t code = *reply;
        if (code == recordAccepted) {
            state.ackedBytes = static_cast<std::uint16_t>(state.ackedBytes + recordSize);
            state.position = static_cast<std::uint16_t>(state.position + recordSize);
            state.retryCount = 0;
            continue;
        }
        // Like an accepted record, a restart is no failed attempt: the device has finished
        // whichever attempt it answers, and calling it an error would have the user flash it
        // again for nothing.
        if (code == deviceRestarts) {
            ShowTransferDone();
            std::printf("Target update successfully!\n");
            std::printf("\nThe System is restarted, please wait!\n\n");
            return TransferEnding::deviceRestarting;
        }
        if (CountFailure(state)) {
            std::printf("\nError in updating.\n");
            return TransferEnding::updateError;
        }
        StepSpinnerBack();
        PrintDeviceError(code);
    }
    // A device answers each record once, so with every record answered nothing more may come. A
    // further answer means that answers came in more often than records were sent (a thru loop
    // or a merger bringing each one twice): some were then taken for records that the device
    // had not yet answered, and what it holds is unknown.
    if (loadedCount > 0 && AwaitReply()) {
        std::printf("\nError in updating.\n");
        return TransferEnding::updateError;
    }
    ShowTransferDone();
    std::printf("\nTarget update successfully!\n\n");
    return TransferEnding::completed;
}
