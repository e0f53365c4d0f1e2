// The waits on a timer that ticks coarsely, as on a Windows that grants no 1 ms timer (a hidden
// window on Windows 11) or a loaded machine: every sleep of 1 ms lasts a whole tick of
// 15.625 ms, so a wait that counted its sleeps would last fifteen times its time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>

#include "case_name.h"
#include "fake_midi_host.h"
#include "image_writer.h"
#include "midi_fixture.h"
#include "transfer/transfer.h"

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::microseconds windowsTick = 15625us;

// A device that answers each message with the next code of its script, and with nothing where
// the script says 0 or has run out.
ScriptedDevice ScriptedAnswers(std::vector<std::uint8_t> codes) {
    auto next = std::make_shared<std::size_t>(0);
    return [codes, next](const SentMessage&) -> std::vector<ScriptedReply> {
        const std::size_t index = (*next)++;
        if (index >= codes.size() || codes[index] == 0)
            return {};
        return {{"device in", ReplyMessage(codes[index]), 1}};
    };
}

// One record of 4 bytes: one message an attempt.
const Bytes oneRecord = MakeImage({MakePayload(2, 7)});

std::chrono::microseconds TimeTransfer(std::chrono::microseconds tick,
                                       std::vector<std::uint8_t> codes) {
    FakeMidiHost host({"device in"}, {"device out"});
    host.timerTick = tick;
    host.SetDevice(ScriptedAnswers(std::move(codes)));
    EXPECT_EQ(OpenMidiInput(0), 0);
    EXPECT_EQ(OpenMidiOutput(0), 0);
    const std::chrono::microseconds start = host.Time();
    testing::internal::CaptureStdout();
    TransferImage(oneRecord.data(), static_cast<std::uint16_t>(oneRecord.size()));
    testing::internal::GetCapturedStdout();
    const std::chrono::microseconds elapsed = host.Time() - start;
    ResetMidiLink();
    return elapsed;
}

std::chrono::microseconds TimeSilentPair(std::chrono::microseconds tick) {
    FakeMidiHost host({"quiet in"}, {"quiet out"});
    host.timerTick = tick;
    testing::internal::CaptureStdout();
    EXPECT_EQ(FindUpdateDevice(updateTargetCode), DiscoveryResult::noDevice);
    testing::internal::GetCapturedStdout();
    return host.Time();
}

struct CoarseTimerCase {
    const char* name;
    std::function<std::chrono::microseconds(std::chrono::microseconds tick)> run;
    // What the waits come to on an exact timer.
    std::chrono::milliseconds time;
};

class CoarseTimer : public MidiTest, public testing::WithParamInterface<CoarseTimerCase> {};

TEST_P(CoarseTimer, WaitsLastTheirTimeNotTheirCountOfSleeps) {
    const std::chrono::microseconds exact = GetParam().run(0us);
    const std::chrono::microseconds coarse = GetParam().run(windowsTick);
    EXPECT_NEAR(exact.count(), std::chrono::microseconds(GetParam().time).count(), 10'000);
    EXPECT_NEAR(coarse.count(), exact.count(), exact.count() * 0.02)
        << "exact " << exact.count() << " us, coarse " << coarse.count() << " us";
}

INSTANTIATE_TEST_SUITE_P(Waits, CoarseTimer,
                         testing::Values(
                             // The first attempt goes unanswered, the repeat is accepted, and then
                             // nothing more comes: three reply waits that run out.
                             CoarseTimerCase{"ReplyWaits",
                                             [](auto tick) {
                                                 return TimeTransfer(tick, {0, 0x1A});
                                             },
                                             1500ms},
                             // The quiet wait after the input opens, then four handshakes' waits.
                             CoarseTimerCase{"SilentPair", TimeSilentPair, 2100ms},
                             // Twenty attempts, each with its whole wait.
                             CoarseTimerCase{"NotResponding",
                                             [](auto tick) { return TimeTransfer(tick, {}); },
                                             10000ms}),
                         NameCase);

}  // namespace
