#include "driver_options.h"

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

constexpr std::uint32_t mostCount = 1000000;

std::vector<std::string> Words(std::string_view text) {
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find(' ', start), text.size());
        if (end > start)
            words.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

}  // namespace

ParsedDriverOptions ParseDriverOptions(std::string_view text) {
    ParsedDriverOptions parsed;
    DriverOptions& options = parsed.options;
    const std::vector<std::string> words = Words(text);
    std::vector<std::string> deviceWords;
    for (std::size_t index = 0; index < words.size(); ++index) {
        const std::string& word = words[index];
        const bool takesValue = word == "--log" || word == "--damage-reply" ||
                                word == "--stall-output-after" || word == "--hold-replies" ||
                                word == "--pipe" || word == "--client";
        if (takesValue && index + 1 == words.size()) {
            parsed.error = word + " needs a value";
            return parsed;
        }
        if (word == "--log") {
            options.logPath = words[++index];
        } else if (word == "--pipe") {
            options.pipeName = words[++index];
        } else if (word == "--client") {
            options.clientName = words[++index];
        } else if (word == "--shared-ports") {
            options.sharedPorts = true;
        } else if (word == "--clock-in-replies") {
            options.clockInReplies = true;
        } else if (word == "--windows-ports") {
            options.windowsPorts = true;
        } else if (word == "--port-gap") {
            options.portGap = true;
        } else if (word == "--damage-reply" || word == "--stall-output-after") {
            const auto number = ParseDecimal(words[++index], mostCount);
            if (!number) {
                parsed.error = word + " takes a number from 1, not '" + words[index] + "'";
                return parsed;
            }
            (word == "--damage-reply" ? options.damagedReply : options.stallAfterMessages) =
                *number;
        } else if (word == "--hold-replies") {
            // The device's own hold, by the name the driver's scenarios have always used.
            deviceWords.push_back("--hold-answers");
            deviceWords.push_back(words[++index]);
        } else if (word == "--instrument") {
            options.instrument = true;
        } else if (word == "--din") {
            parsed.error = "--din: the driver always plays at the pace of a DIN cable";
            return parsed;
        } else {
            deviceWords.push_back(word);
        }
    }
    const ParsedOptions device = ParseOptions(deviceWords);
    options.device = device.options;
    parsed.error = device.error;
    return parsed;
}
