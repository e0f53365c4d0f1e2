// The actions that a script gives the device for chosen attempts at chosen records.
#include "device_session_fixture.h"

#include <optional>
#include <vector>

#include "case_name.h"
#include "image_writer.h"
#include "updater_messages.h"

namespace {

using namespace std::chrono_literals;

struct ScriptCase {
    const char* name;
    std::vector<ScriptEntry> script;
    // Receptions, one every 100 ms: the record's index, negative for a damaged copy.
    std::vector<int> sent;
    std::vector<std::optional<std::uint8_t>> replies;
    std::vector<int> accepted;
};

void PrintTo(const ScriptCase& testCase, std::ostream* stream) {
    *stream << testCase.name;
}

class Scripts : public DeviceSessionTest, public testing::WithParamInterface<ScriptCase> {
protected:
    static Bytes RecordFor(int index) {
        Bytes record = MakeRecord(MakePayload(index == 1 || index == -1 ? 25 : 50, 1));
        if (index < 0)
            record[3] ^= 0x01;
        return record;
    }
};

TEST_P(Scripts, ReplyAndAcceptAsScripted) {
    DeviceBehaviour behaviour;
    for (const ScriptEntry& entry : GetParam().script)
        behaviour.script.Add(entry);
    Start(behaviour);
    for (std::size_t index = 0; index < GetParam().sent.size(); ++index) {
        const std::size_t repliesBefore = replies_.size();
        Send(UpdaterMessages(RecordFor(GetParam().sent[index])), static_cast<int>(index) * 100ms);
        std::optional<std::uint8_t> reply;
        if (replies_.size() > repliesBefore)
            reply = replies_.back().code;
        EXPECT_EQ(reply, GetParam().replies[index]) << "reception " << index + 1;
    }
    Bytes expected;
    for (int index : GetParam().accepted) {
        const Bytes record = RecordFor(index);
        expected.insert(expected.end(), record.begin(), record.end());
    }
    EXPECT_EQ(accepted_, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Actions, Scripts,
    testing::Values(
        ScriptCase{"None", {}, {1, -2, 2}, {0x1A, 0x20, 0x1A}, {1, 2}},
        ScriptCase{"SilentOnce", {Silent(1, 1)}, {1, 1, 2}, {std::nullopt, 0x1A, 0x1A}, {1, 2}},
        ScriptCase{"CodeOnEveryAttempt", {Code(1, 0, 0x24)}, {1, 1, 1}, {0x24, 0x24, 0x24}, {}},
        ScriptCase{"LaterEntryWins",
                   {Code(1, 0, 0x24), Code(1, 2, 0x1A)},
                   {1, 1, 2},
                   {0x24, 0x1A, 0x1A},
                   {1, 2}},
        ScriptCase{"AttemptsCountBadReceptions",
                   {Code(1, 3, 0x22)},
                   {-1, -1, 1, 1},
                   {0x20, 0x20, 0x22, 0x1A},
                   {1}},
        ScriptCase{"CodeReplacesChecksumError", {Code(1, 1, 0x25)}, {-1}, {0x25}, {}},
        ScriptCase{"AcceptedBadRecordMovesOn", {Code(1, 1, 0x1A)}, {-1, 1}, {0x1A, 0x1A}, {-1, 1}},
        ScriptCase{"RestartKeepsAGoodRecord", {Code(2, 0, 0x77)}, {1, 2}, {0x1A, 0x77}, {1, 2}},
        ScriptCase{"RestartLeavesABadRecord", {Code(1, 0, 0x77)}, {-1}, {0x77}, {}}),
    NameCase);

}  // namespace
