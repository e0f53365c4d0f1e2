#include "console_text.h"

#include <vector>

namespace {

constexpr char glyphs[] = "--\\\\||//";

std::vector<std::size_t> RecordSizes(const Bytes& image) {
    std::vector<std::size_t> sizes;
    for (std::size_t position = 0; position < image.size(); position += sizes.back()) {
        sizes.push_back(image[position] * 256u + image[position + 1] + 2u);
    }
    return sizes;
}

std::string RecordProgressLine(std::size_t accepted, std::size_t ackedBytes, std::size_t total) {
    return ProgressLine(glyphs[accepted % 8], static_cast<int>(ackedBytes * 100 / total));
}

}  // namespace

std::string OpenedLine(const std::string& imageName) {
    return "OK: File '" + imageName + "' is open.\n";
}

std::string DeviceLines(const std::string& input, const std::string& output) {
    return "The Update Device is Open successfully:\nMIDIIN Device: " + input +
           "\nMIDIOUT Device: " + output + "\n";
}

std::string ProgressLine(char glyph, int percent) {
    return "\r" + std::string(24, ' ') + "\rTransferring.. " + glyph + " " +
           std::to_string(percent) + "% done";
}

std::string PosixConsole(const std::string& messages) {
    return banner + messages + pausePrompt;
}

std::string WindowsConsole(const std::string& messages) {
    std::string text;
    for (char character : banner + messages) {
        if (character == '\n')
            text += '\r';
        text += character;
    }
    return text + winePausePrompt;
}

std::string RecordLine(const Bytes& image, std::size_t record) {
    const std::vector<std::size_t> sizes = RecordSizes(image);
    std::size_t acked = 0;
    for (std::size_t index = 0; index + 1 < record; ++index)
        acked += sizes[index];
    return RecordProgressLine(record - 1, acked, image.size());
}

std::string AcceptedLines(const Bytes& image, std::size_t stop) {
    const std::vector<std::size_t> sizes = RecordSizes(image);
    std::string lines;
    std::size_t acked = 0;
    for (std::size_t index = 0; index + 1 < stop && index < sizes.size(); ++index) {
        lines += RecordProgressLine(index, acked, image.size());
        acked += sizes[index];
    }
    return lines;
}

std::string RepeatedRecordLines(const Bytes& image, std::size_t record, std::size_t attempts,
                                const std::string& failure) {
    std::string lines;
    for (std::size_t attempt = 0; attempt < attempts; ++attempt)
        lines += RecordLine(image, record) + failure;
    return lines;
}

std::string TransferLines(const Bytes& image, std::size_t failedRecord,
                          const std::string& failure) {
    const std::vector<std::size_t> sizes = RecordSizes(image);
    std::string lines;
    std::size_t acked = 0;
    for (std::size_t index = 0; index < sizes.size(); ++index) {
        const std::string line = RecordProgressLine(index, acked, image.size());
        if (index + 1 == failedRecord)
            lines += line + failure;
        lines += line;
        acked += sizes[index];
    }
    return lines + transferDone + updateSucceeded;
}
