// The image transfer: sends the validated image to the device over the MIDI pair that
// discovery left open, record by record, stop and wait, and shows its progress on one
// console line.
//
// Each record goes out whole, length field and checksum included, as System Exclusive
// messages whose data bytes are the record's bytes as upper-case hexadecimal digits, 23 bytes
// (46 digits) to a message. After the last message of a record the device answers with one
// reply code; a record gets at most 20 attempts in a row.
#pragma once

#include <cstdint>

#include "midi/midi.h"

// The progress line. The spinner lives for one transfer and shows the same glyph for two
// successive records.
void ResetSpinner();
// Rewrites the line in place with the next spinner glyph and percent (0 to 100), then
// flushes standard output so that the line shows at once.
void ShowProgress(std::uint16_t percent);
// Takes the spinner back one glyph, so that a repeated record shows its failed attempt's.
void StepSpinnerBack();
// Overwrites the last progress line with the closing one.
void ShowTransferDone();

// Record bytes to a message: each goes out as two digits, and a message holds at most
// largestSysExLength of them.
inline constexpr std::uint16_t bytesPerMessage = largestSysExLength / 2;

// Writes value as two upper-case hexadecimal digits, high nibble first, to out[0] and out[1];
// nothing else, no terminator.
void ByteToHexPair(std::uint8_t value, char* out);

// How a transfer ended. Each ending has printed its own closing messages.
enum class TransferEnding {
    completed,         // every record accepted
    deviceRestarting,  // the device announced that it has finished and restarts
    outputLost,        // the output port refused a full message
    notResponding,     // the twentieth failed attempt in a row went unanswered
    updateError,       // the twentieth failed attempt in a row was answered with an error
};

// Sends the image's records over the open MIDI pair. The records must have been validated:
// each lies wholly within the loadedCount bytes and is at least 4 bytes long. Closes no port.
TransferEnding TransferImage(const std::uint8_t* imageBytes, std::uint16_t loadedCount);
