// The console text that update.exe writes under Wine: the C runtime turns every "\n" into
// "\r\n", and the pause prompt is that of Wine's command interpreter, without a line end.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "image_writer.h"

inline const std::string winePausePrompt = "Press any key to continue... ";

// The banner, the messages, the prompt, as the program writes them.
std::string WindowsConsole(const std::string& messages);

// "\r...\rTransferring.. G P% done" for the record after `accepted` records and ackedBytes.
std::string ProgressLine(std::size_t accepted, std::size_t ackedBytes, std::size_t total);
// The progress lines of the records before record number stop (from 1), all accepted.
std::string AcceptedLines(const Bytes& image, std::size_t stop);
// The bytes of the records before record number record (from 1).
std::size_t BytesBefore(const Bytes& image, std::size_t record);
// A whole transfer whose record number failedRecord (from 1; 0 for none) fails once first,
// printing failure ("" for an attempt that went unanswered), then the success lines.
std::string TransferLines(const Bytes& image, std::size_t failedRecord = 0,
                          const std::string& failure = "");
