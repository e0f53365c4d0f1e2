// The console text of the program, for tests that compare its whole output: its lines as it
// writes them, with "\n", and the whole output of a run as each console shows it.
#pragma once

#include <cstddef>
#include <string>

#include "image_writer.h"

inline const std::string banner = "Update V0.3 - Update KELVORIN TV615R System\n";
inline const std::string pausePrompt = "Press any key to continue . . . \n";
// Wine's command interpreter prompts without a line end.
inline const std::string winePausePrompt = "Press any key to continue... ";

inline const std::string noFitFile = "Error: The fit file is not found.\n\n";
inline const std::string imageDamaged = "Error: The upgrade file is error!\n\n";
inline const std::string noDeviceFound = "\nFailed: Can't find the suitable device to update!\n\n";
inline const std::string resetRequest = "Please reset the product and retry again!\n\n";
inline const std::string outputMissing = "\nError: The MIDI Out of device is missing!\n\n";
inline const std::string transferDone = "\rTransferring.. 100% done.  \n";
inline const std::string updateSucceeded = "\nTarget update successfully!\n\n";
// A device that restarts once it has the image: the success line follows the closing line at
// once.
inline const std::string restartEnding =
    transferDone + "Target update successfully!\n\nThe System is restarted, please wait!\n\n";

std::string OpenedLine(const std::string& imageName);
std::string DeviceLines(const std::string& input, const std::string& output);

// The banner, the messages and the pause prompt, as a run writes them on POSIX,
std::string PosixConsole(const std::string& messages);
// and under Wine, whose C runtime turns every "\n" into "\r\n".
std::string WindowsConsole(const std::string& messages);

// The progress line that rewrites itself in place: "\r...\rTransferring.. G P% done".
std::string ProgressLine(char glyph, int percent);
// The progress line while record number record (from 1) goes out, the records before it
// accepted.
std::string RecordLine(const Bytes& image, std::size_t record);
// The progress lines of the records before record number stop (from 1), all accepted.
std::string AcceptedLines(const Bytes& image, std::size_t stop);
// The progress line of record number record, attempts times, each followed by failure.
std::string RepeatedRecordLines(const Bytes& image, std::size_t record, std::size_t attempts,
                                const std::string& failure = "");
// A whole transfer whose record number failedRecord (from 1; 0 for none) fails once first,
// printing failure ("" for an attempt that went unanswered), then the success lines.
std::string TransferLines(const Bytes& image, std::size_t failedRecord = 0,
                          const std::string& failure = "");
