#include "simulator_options.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <optional>

namespace {

constexpr std::uint32_t mostExtraPorts = 99;
constexpr std::uint32_t mostHandshakes = 1000000;
// Ten minutes, as for the scripted late replies.
constexpr std::uint32_t longestDelay = 600000;

constexpr const char* usage =
    R"(Usage: device-sim [options]
Plays the device's side of the updater's protocol over virtual MIDI ports, until
stopped by SIGINT or SIGTERM.

  --client NAME         MIDI client name (default device-sim). The updater
                        receives from port out and sends to port in. On JACK
                        each port is a client of its own, numbered after the
                        first: NAME:out and NAME-01:in
  --extra-ports N       first create N pairs of ports that never answer, out1
                        and in1 and so on, of the client NAME-idle
  --accepted FILE       write the accepted records to FILE as raw bytes, in the
                        order accepted, each one as soon as it is accepted
  --handshake MODE      answer: reply F0 39 F7 (default); reset: reply F0 15 F7
                        (reset request); silent: never reply. A list such as
                        answer,reset gives the modes of handshakes 1, 2 and so
                        on, the last one for every later handshake
  --handshake-from N    leave handshakes 1 to N-1 unanswered, counting every
                        handshake received
  --handshake-late MS   answer each handshake MS milliseconds late
  --handshake-twice MS  answer each handshake once more, MS milliseconds after
                        the first answer
  --replies-late MS     reply to every record MS milliseconds late (a late:MS
                        of --on wins for its attempts)
  --replies-twice MS    send every reply to a record once more, MS milliseconds
                        after the first, as a thru loop or a merger would
  --repeat MODE         how to answer a repeat of the record accepted last,
                        which is kept once: accept (reply 1A, default), refuse
                        (reply 21) or silent (no reply)
  --hold-answers MS     keep every answer while nothing listens on port out and
                        let them out, in order, MS milliseconds after something
                        does, as a USB MIDI interface does (JACK only; on the
                        ALSA sequencer and a raw node the port counts as
                        listened to)
  --on R:A=ACTION       script record R (from 1) at attempt A (from 1, counting
                        every complete reception of the record; * for every
                        attempt). ACTION is one of
                          silent     no reply
                          late:MS    the reply MS milliseconds late
                          code:HH    reply the hexadecimal byte HH instead
                        Actions given for the same attempt combine, e.g.
                        --on 3:1=code:24 --on 3:1=late:700
  --restart-at R        reply 77 (finished, restarting) to record R
  --rawmidi DEVICE      play the device on the ALSA raw MIDI node DEVICE (hw:1,0)
                        instead of virtual ports: on a VirMIDI node, the
                        updater meets it at the sequencer port "VirMIDI 1-0"
  --din                 pace what comes in and goes out at the 31250 baud of a
                        DIN MIDI cable: 320 us a byte
  --quiet               print only the ready line and the summary
  --help                print this text

A record is checked when its last digit comes: reply F0 1A F7 when its checksum
holds, F0 20 F7 when not. The records answered 1A (and a good record answered
77) are accepted; a repeated record is accepted once. A record after a refusal
or a silence is the same record again; a record equal to the one just accepted,
begun before that acceptance was sent, is its repeat. A handshake starts the
record count from 1 again. Ready: the line "device-sim: ready".
)";

std::optional<std::string> SetHandshake(const std::string& modes, SimulatorOptions& options) {
    std::vector<std::optional<std::uint8_t>> replies;
    std::size_t start = 0;
    for (std::size_t end = 0; end != std::string::npos; start = end + 1) {
        end = modes.find(',', start);
        const std::string mode = modes.substr(start, end - start);
        if (mode == "answer") {
            replies.push_back(DeviceBehaviour::targetCode);
        } else if (mode == "reset") {
            replies.push_back(DeviceBehaviour::resetRequest);
        } else if (mode == "silent") {
            replies.push_back(std::nullopt);
        } else {
            return "--handshake takes answer, reset or silent, or a list of them, not '" + mode +
                   "'";
        }
    }
    options.behaviour.handshakeReplies = replies;
    return std::nullopt;
}

std::optional<std::string> SetNumber(const std::string& name, const std::string& value,
                                     std::uint32_t most, bool zeroAllowed, std::uint32_t& target) {
    const auto number = ParseDecimal(value, most, zeroAllowed);
    if (!number) {
        return name + " takes a number from " + (zeroAllowed ? "0" : "1") + " to " +
               std::to_string(most) + ", not '" + value + "'";
    }
    target = *number;
    return std::nullopt;
}

std::optional<std::string> AddScriptEntry(const std::string& text, SimulatorOptions& options) {
    std::string error;
    const auto entry = ParseScriptEntry(text, error);
    if (!entry)
        return "--on: " + error;
    options.behaviour.script.Add(*entry);
    return std::nullopt;
}

std::optional<std::string> SetRepeatAnswer(const std::string& mode, SimulatorOptions& options) {
    using RepeatAnswer = DeviceBehaviour::RepeatAnswer;
    static const std::map<std::string, RepeatAnswer> modes = {{"accept", RepeatAnswer::accept},
                                                              {"refuse", RepeatAnswer::refuse},
                                                              {"silent", RepeatAnswer::silent}};
    const auto found = modes.find(mode);
    if (found == modes.end())
        return "--repeat takes accept, refuse or silent, not '" + mode + "'";
    options.behaviour.repeatAnswer = found->second;
    return std::nullopt;
}

std::optional<std::string> AddRestart(const std::string& record, SimulatorOptions& options) {
    ScriptEntry entry;
    if (auto error = SetNumber("--restart-at", record, 1000000, false, entry.record)) {
        return error;
    }
    entry.action.code = DeviceSession::restarting;
    options.behaviour.script.Add(entry);
    return std::nullopt;
}

using ValueSetter =
    std::function<std::optional<std::string>(const std::string&, SimulatorOptions&)>;

// Target: milliseconds, or an optional of them that an option sets.
template <typename Target>
ValueSetter SetMilliseconds(const std::string& name, Target DeviceBehaviour::*target) {
    return [name, target](const std::string& value, SimulatorOptions& options) {
        std::uint32_t milliseconds = 0;
        auto error = SetNumber(name, value, longestDelay, true, milliseconds);
        options.behaviour.*target = std::chrono::milliseconds(milliseconds);
        return error;
    };
}

const std::map<std::string, ValueSetter>& OptionsWithValue() {
    static const std::map<std::string, ValueSetter> setters = {
        {"--client",
         [](const std::string& value, SimulatorOptions& options) -> std::optional<std::string> {
             options.clientName = value;
             return std::nullopt;
         }},
        {"--extra-ports",
         [](const std::string& value, SimulatorOptions& options) {
             return SetNumber("--extra-ports", value, mostExtraPorts, true, options.extraPorts);
         }},
        {"--accepted",
         [](const std::string& value, SimulatorOptions& options) -> std::optional<std::string> {
             if (value.empty())
                 return "--accepted takes a file name";
             options.acceptedPath = value;
             return std::nullopt;
         }},
        {"--rawmidi",
         [](const std::string& value, SimulatorOptions& options) -> std::optional<std::string> {
             if (value.empty())
                 return "--rawmidi takes a device name";
             options.rawMidiDevice = value;
             return std::nullopt;
         }},
        {"--handshake", SetHandshake},
        {"--handshake-from",
         [](const std::string& value, SimulatorOptions& options) {
             return SetNumber("--handshake-from", value, mostHandshakes, false,
                              options.behaviour.answerFromHandshake);
         }},
        {"--handshake-late", SetMilliseconds("--handshake-late", &DeviceBehaviour::handshakeDelay)},
        {"--handshake-twice",
         SetMilliseconds("--handshake-twice", &DeviceBehaviour::handshakeRepeat)},
        {"--replies-late", SetMilliseconds("--replies-late", &DeviceBehaviour::replyDelay)},
        {"--replies-twice", SetMilliseconds("--replies-twice", &DeviceBehaviour::replyRepeat)},
        {"--repeat", SetRepeatAnswer},
        {"--hold-answers", SetMilliseconds("--hold-answers", &DeviceBehaviour::holdAnswers)},
        {"--on", AddScriptEntry},
        {"--restart-at", AddRestart},
    };
    return setters;
}

std::optional<std::string> CheckClientName(const SimulatorOptions& options) {
    if (options.clientName.empty() || options.clientName.find(':') != std::string::npos) {
        return "--client takes a name without ':'";
    }
    // Room for the number that JACK puts after a client's name: "-01" to "-199".
    const std::size_t clientNumber = 4;
    std::size_t longest =
        options.clientName.size() + clientNumber + 1 + std::string(outputPortName).size();
    if (options.extraPorts > 0) {
        longest = std::max(longest, IdleClientName(options.clientName).size() + clientNumber + 1 +
                                        IdleOutputPortName(options.extraPorts).size());
    }
    if (longest > longestPortName) {
        return "--client: the name is too long for the updater to tell the ports apart";
    }
    return std::nullopt;
}

}  // namespace

std::string IdleClientName(const std::string& clientName) {
    return clientName + "-idle";
}

std::string IdleOutputPortName(std::uint32_t pair) {
    return "out" + std::to_string(pair);
}

std::string IdleInputPortName(std::uint32_t pair) {
    return "in" + std::to_string(pair);
}

ParsedOptions ParseOptions(const std::vector<std::string>& arguments) {
    ParsedOptions parsed;
    SimulatorOptions& options = parsed.options;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        std::string name = arguments[index];
        std::optional<std::string> value;
        if (const auto equals = name.find('='); name.starts_with("--") && equals != name.npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        const auto setter = OptionsWithValue().find(name);
        if (setter == OptionsWithValue().end()) {
            if (name != "--help" && name != "--din" && name != "--quiet") {
                parsed.error = "unknown option '" + name + "'";
            } else if (value) {
                parsed.error = name + " takes no value";
            } else if (name == "--help") {
                options.help = true;
                return parsed;
            } else if (name == "--din") {
                options.behaviour.dinCable = true;
            } else {
                options.quiet = true;
            }
        } else if (!value && index + 1 == arguments.size()) {
            parsed.error = name + " needs a value";
        } else {
            if (!value)
                value = arguments[++index];
            if (auto error = setter->second(*value, options))
                parsed.error = *error;
        }
        if (!parsed.error.empty())
            return parsed;
    }
    if (auto error = CheckClientName(options))
        parsed.error = *error;
    else if (!options.rawMidiDevice.empty() && options.extraPorts > 0)
        parsed.error = "--rawmidi takes no --extra-ports: a node has one port each way";
    return parsed;
}

std::string UsageText() {
    return usage;
}
