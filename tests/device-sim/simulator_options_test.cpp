#include "simulator_options.h"

#include <gtest/gtest.h>

#include "case_name.h"

#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::vector<std::string> Words(const std::string& line) {
    std::istringstream stream(line);
    std::vector<std::string> words;
    for (std::string word; stream >> word;)
        words.push_back(word);
    return words;
}

struct OptionsCase {
    const char* name;
    const char* commandLine;
    // Empty: the command line is sound and check holds for its options.
    const char* error;
    std::function<bool(const SimulatorOptions&)> check;
};

void PrintTo(const OptionsCase& testCase, std::ostream* stream) {
    *stream << testCase.name;
}

class CommandLines : public testing::TestWithParam<OptionsCase> {};

TEST_P(CommandLines, ParseAsExpected) {
    const ParsedOptions parsed = ParseOptions(Words(GetParam().commandLine));
    EXPECT_EQ(parsed.error, GetParam().error);
    if (GetParam().check) {
        EXPECT_TRUE(GetParam().check(parsed.options));
    }
}

using Replies = std::vector<std::optional<std::uint8_t>>;

bool IsAction(const ScriptedAction& action, bool silent, std::optional<std::uint8_t> code,
              std::optional<std::chrono::milliseconds> delay) {
    return action.silent == silent && action.code == code && action.delay == delay;
}

INSTANTIATE_TEST_SUITE_P(
    Options, CommandLines,
    testing::Values(
        OptionsCase{"Defaults", "", "",
                    [](const SimulatorOptions& options) {
                        return options.clientName == "device-sim" && options.extraPorts == 0 &&
                               options.acceptedPath.empty() && options.rawMidiDevice.empty() &&
                               options.behaviour.handshakeReplies == Replies{0x39} &&
                               options.behaviour.answerFromHandshake == 1 &&
                               !options.behaviour.dinCable && !options.quiet && !options.help &&
                               options.behaviour.script.ActionFor(1, 1).IsNormal();
                    }},
        OptionsCase{"Everything",
                    "--client sim-b --extra-ports=3 --accepted out.bin --handshake reset "
                    "--handshake-from 4 --din --quiet",
                    "",
                    [](const SimulatorOptions& options) {
                        return options.clientName == "sim-b" && options.extraPorts == 3 &&
                               options.acceptedPath == "out.bin" &&
                               options.behaviour.handshakeReplies == Replies{0x15} &&
                               options.behaviour.answerFromHandshake == 4 &&
                               options.behaviour.dinCable && options.quiet;
                    }},
        OptionsCase{"SilentHandshake", "--handshake silent", "",
                    [](const SimulatorOptions& options) {
                        return options.behaviour.handshakeReplies == Replies{std::nullopt};
                    }},
        OptionsCase{"HandshakesOneByOneLateAndTwice",
                    "--handshake silent,answer,reset --handshake-late 700 --handshake-twice=40 "
                    "--replies-late 30",
                    "",
                    [](const SimulatorOptions& options) {
                        const DeviceBehaviour& behaviour = options.behaviour;
                        return behaviour.handshakeReplies == Replies{std::nullopt, 0x39, 0x15} &&
                               behaviour.handshakeDelay == 700ms &&
                               behaviour.handshakeRepeat == 40ms && behaviour.replyDelay == 30ms;
                    }},
        OptionsCase{"TimesUnsetByDefault", "", "",
                    [](const SimulatorOptions& options) {
                        const DeviceBehaviour& behaviour = options.behaviour;
                        return behaviour.handshakeDelay == 0ms && !behaviour.handshakeRepeat &&
                               behaviour.replyDelay == 0ms && !behaviour.replyRepeat &&
                               !options.behaviour.holdAnswers &&
                               behaviour.repeatAnswer == DeviceBehaviour::RepeatAnswer::accept;
                    }},
        OptionsCase{"RepliesTwiceRepeatsRefusedAnswersHeld",
                    "--replies-twice 20 --repeat refuse --hold-answers=0", "",
                    [](const SimulatorOptions& options) {
                        return options.behaviour.replyRepeat == 20ms &&
                               options.behaviour.repeatAnswer ==
                                   DeviceBehaviour::RepeatAnswer::refuse &&
                               options.behaviour.holdAnswers == 0ms;
                    }},
        OptionsCase{"SilentToRepeats", "--repeat silent", "",
                    [](const SimulatorOptions& options) {
                        return options.behaviour.repeatAnswer ==
                               DeviceBehaviour::RepeatAnswer::silent;
                    }},
        OptionsCase{"UnknownRepeatAnswer", "--repeat ignore",
                    "--repeat takes accept, refuse or silent, not 'ignore'", nullptr},
        OptionsCase{"HoldWithoutTime", "--hold-answers soon",
                    "--hold-answers takes a number from 0 to 600000, not 'soon'", nullptr},
        OptionsCase{"Script",
                    "--on 3:1=silent --on 3:2=late:700 --on 5:*=code:24 --on=7:1=code:77 "
                    "--restart-at 9 --on 5:2=late:0",
                    "",
                    [](const SimulatorOptions& options) {
                        const DeviceScript& script = options.behaviour.script;
                        return IsAction(script.ActionFor(3, 1), true, {}, {}) &&
                               IsAction(script.ActionFor(3, 2), false, {}, 700ms) &&
                               script.ActionFor(3, 3).IsNormal() &&
                               IsAction(script.ActionFor(5, 1), false, 0x24, {}) &&
                               IsAction(script.ActionFor(5, 2), false, 0x24, 0ms) &&
                               IsAction(script.ActionFor(5, 20), false, 0x24, {}) &&
                               IsAction(script.ActionFor(7, 1), false, 0x77, {}) &&
                               IsAction(script.ActionFor(9, 4), false, 0x77, {}) &&
                               script.ActionFor(4, 1).IsNormal();
                    }},
        OptionsCase{"RawMidi", "--rawmidi hw:1,3 --din", "",
                    [](const SimulatorOptions& options) {
                        return options.rawMidiDevice == "hw:1,3" && options.behaviour.dinCable;
                    }},
        OptionsCase{"RawMidiWithIdlePorts", "--rawmidi hw:1,0 --extra-ports 1",
                    "--rawmidi takes no --extra-ports: a node has one port each way", nullptr},
        OptionsCase{"Help", "--quiet --help --nonsense", "",
                    [](const SimulatorOptions& options) { return options.help; }},
        OptionsCase{"UnknownOption", "--verbose", "unknown option '--verbose'", nullptr},
        OptionsCase{"StrayWord", "device", "unknown option 'device'", nullptr},
        OptionsCase{"FlagWithValue", "--din=1", "--din takes no value", nullptr},
        OptionsCase{"MissingValue", "--accepted", "--accepted needs a value", nullptr},
        OptionsCase{"NegativeCount", "--extra-ports -1",
                    "--extra-ports takes a number from 0 to 99, not '-1'", nullptr},
        OptionsCase{"ZeroHandshake", "--handshake-from 0",
                    "--handshake-from takes a number from 1 to 1000000, not '0'", nullptr},
        OptionsCase{"UnknownHandshake", "--handshake echo",
                    "--handshake takes answer, reset or silent, or a list of them, not 'echo'",
                    nullptr},
        OptionsCase{"EmptyHandshakeInList", "--handshake answer,,reset",
                    "--handshake takes answer, reset or silent, or a list of them, not ''",
                    nullptr},
        OptionsCase{"HandshakeTooLate", "--handshake-late 600001",
                    "--handshake-late takes a number from 0 to 600000, not '600001'", nullptr},
        OptionsCase{"RepeatWithoutTime", "--handshake-twice x",
                    "--handshake-twice takes a number from 0 to 600000, not 'x'", nullptr},
        OptionsCase{"NegativeReplyDelay", "--replies-late -5",
                    "--replies-late takes a number from 0 to 600000, not '-5'", nullptr},
        OptionsCase{"RecordZero", "--on 0:1=silent",
                    "--on: the record number in '0:1=silent' is not a number from 1", nullptr},
        OptionsCase{"AttemptWord", "--on 1:all=silent",
                    "--on: the attempt in '1:all=silent' is not a number from 1 or *", nullptr},
        OptionsCase{"NoEquals", "--on 1:1",
                    "--on: a scripted action is written R:A=ACTION, not '1:1'", nullptr},
        OptionsCase{"CodeTooWide", "--on 1:1=code:100",
                    "--on: code needs a hexadecimal byte, 00 to FF", nullptr},
        OptionsCase{"CodeWithPrefix", "--on 1:1=code:0x",
                    "--on: code needs a hexadecimal byte, 00 to FF", nullptr},
        OptionsCase{"LateWithoutTime",
                    "--on 1:1=late:", "--on: late needs milliseconds from 0 to 600000", nullptr},
        OptionsCase{"UnknownAction", "--on 1:1=crash",
                    "--on: the action is silent, late:MS or code:HH, not 'crash'", nullptr},
        OptionsCase{"RestartAtZero", "--restart-at 0",
                    "--restart-at takes a number from 1 to 1000000, not '0'", nullptr},
        // JACK may number the clients up to "-199": "sim-long-name-17x-idle-199:out12" and
        // "a-name-of-24-characters_-199:out" would be cut to 31 characters.
        OptionsCase{"NameTooLongForIdlePorts", "--client sim-long-name-17x --extra-ports 12",
                    "--client: the name is too long for the updater to tell the ports apart",
                    nullptr},
        OptionsCase{"LongestNameWithIdlePorts", "--client sim-long-name-16 --extra-ports 12", "",
                    nullptr},
        OptionsCase{"NameTooLong", "--client a-name-of-24-characters_",
                    "--client: the name is too long for the updater to tell the ports apart",
                    nullptr},
        OptionsCase{"LongestName", "--client a-name-of-23-characters", "", nullptr},
        OptionsCase{"NameWithColon", "--client a:b", "--client takes a name without ':'", nullptr}),
    NameCase);

}  // namespace
