#include "console_text.h"

namespace {

const std::string banner = "Update V0.3 - Update KELVORIN TV615R System\n";
constexpr char glyphs[] = "--\\\\||//";

std::vector<std::size_t> RecordSizes(const Bytes& image) {
    std::vector<std::size_t> sizes;
    for (std::size_t position = 0; position < image.size(); position += sizes.back()) {
        sizes.push_back(image[position] * 256u + image[position + 1] + 2u);
    }
    return sizes;
}

}  // namespace

std::string WindowsConsole(const std::string& messages) {
    std::string text;
    for (char character : banner + messages) {
        if (character == '\n')
            text += '\r';
        text += character;
    }
    return text + winePausePrompt;
}

std::string ProgressLine(std::size_t accepted, std::size_t ackedBytes, std::size_t total) {
    return "\r                        \rTransferring.. " + std::string(1, glyphs[accepted % 8]) +
           " " + std::to_string(ackedBytes * 100 / total) + "% done";
}

std::string AcceptedLines(const Bytes& image, std::size_t stop) {
    const std::vector<std::size_t> sizes = RecordSizes(image);
    std::string lines;
    std::size_t acked = 0;
    for (std::size_t index = 0; index + 1 < stop && index < sizes.size(); ++index) {
        lines += ProgressLine(index, acked, image.size());
        acked += sizes[index];
    }
    return lines;
}

std::size_t BytesBefore(const Bytes& image, std::size_t record) {
    const std::vector<std::size_t> sizes = RecordSizes(image);
    std::size_t bytes = 0;
    for (std::size_t index = 0; index + 1 < record; ++index)
        bytes += sizes[index];
    return bytes;
}

std::string TransferLines(const Bytes& image, std::size_t failedRecord,
                          const std::string& failure) {
    const std::vector<std::size_t> sizes = RecordSizes(image);
    std::string lines;
    std::size_t acked = 0;
    for (std::size_t index = 0; index < sizes.size(); ++index) {
        const std::string line = ProgressLine(index, acked, image.size());
        if (index + 1 == failedRecord)
            lines += line + failure;
        lines += line;
        acked += sizes[index];
    }
    return lines + "\rTransferring.. 100% done.  \n\nTarget update successfully!\n\n";
}
