// A device behind a USB MIDI interface: what it sends while nothing listens is kept, and let
// out in order a while after something listens. The host tells the session when something
// listens; here the test does, on virtual time.
#include "device_session_fixture.h"

#include <optional>
#include <vector>

#include "case_name.h"

namespace {

using namespace std::chrono_literals;

struct Step {
    enum class Kind { handshake, listen, leave };
    SimulatorTime at;
    Kind kind;
};

struct HoldCase {
    const char* name;
    std::vector<Step> steps;
    std::vector<SentReply> expected;
    // Still kept at the end, a second after the last step.
    std::size_t held;
};

void PrintTo(const HoldCase& testCase, std::ostream* stream) {
    *stream << testCase.name;
}

class HeldAnswers : public DeviceSessionTest, public testing::WithParamInterface<HoldCase> {
protected:
    void Play(const std::vector<Step>& steps) {
        for (const Step& step : steps) {
            if (step.kind == Step::Kind::handshake) {
                Send({handshake}, step.at);
                continue;
            }
            RunUntil(step.at);
            session_->SetListened(step.kind == Step::Kind::listen, step.at);
        }
        RunUntil(steps.back().at + 1s);
    }
};

// Successive handshakes are answered 39, 15, 15 and 39 from then on, so that the order shows.
DeviceBehaviour HoldingDevice() {
    DeviceBehaviour behaviour;
    behaviour.handshakeReplies = {0x39, 0x15, 0x15, 0x39};
    behaviour.holdAnswers = 20ms;
    return behaviour;
}

TEST_P(HeldAnswers, AreLetOutInOrderOnceSomethingHasListenedForTheHoldTime) {
    Start(HoldingDevice());
    Play(GetParam().steps);
    EXPECT_EQ(replies_, GetParam().expected);
    EXPECT_EQ(session_->HeldAnswers(), GetParam().held);
}

std::vector<HoldCase> HoldCases() {
    using enum Step::Kind;
    return {
        // The answer that comes while the held ones wait for their time stays behind them; once
        // they are out, an answer goes at once.
        HoldCase{"KeptUntilListened",
                 {{0ms, handshake},
                  {5ms, handshake},
                  {10ms, handshake},
                  {30ms, listen},
                  {40ms, handshake},
                  {60ms, handshake}},
                 {{50ms, 0x39}, {50ms, 0x15}, {50ms, 0x15}, {50ms, 0x39}, {60ms, 0x39}},
                 0},
        HoldCase{"KeptWhileNothingListens", {{0ms, handshake}, {10ms, handshake}}, {}, 2},
        // A listener that goes before the hold time has passed lets nothing out; the time
        // counts again from the next one.
        HoldCase{"ListenerGoneBeforeTheTime",
                 {{0ms, handshake}, {10ms, listen}, {25ms, leave}, {40ms, listen}},
                 {{60ms, 0x39}},
                 0},
        // A host that looks again and again tells the same listener each time: the time counts
        // from the first.
        HoldCase{"ListenerToldAgain",
                 {{0ms, handshake}, {10ms, listen}, {15ms, listen}, {25ms, listen}},
                 {{30ms, 0x39}},
                 0},
        HoldCase{"ListenedBeforeTheAnswer", {{0ms, listen}, {5ms, handshake}}, {{5ms, 0x39}}, 0},
        // What goes out while something listens is not held when the listener leaves later.
        HoldCase{"ListenerGoneAfterTheAnswer",
                 {{0ms, listen}, {5ms, handshake}, {6ms, leave}, {10ms, handshake}},
                 {{5ms, 0x39}},
                 1}};
}

INSTANTIATE_TEST_SUITE_P(Schedules, HeldAnswers, testing::ValuesIn(HoldCases()), NameCase);

TEST_F(DeviceSessionTest, HeldAnswersAreLoggedWhenKeptAndWhenLetOut) {
    Start(HoldingDevice());
    Send({handshake, handshake}, 0ms);
    session_->SetListened(true, 5ms);
    RunUntil(1s);
    EXPECT_EQ(std::count(log_.begin(), log_.end(), "reply held: nothing listens"), 2);
    EXPECT_TRUE(Logged("2 held answers let out"));
}

// A device without an interface that holds sends at once, whether or not the host says that
// something listens.
TEST_F(DeviceSessionTest, WithoutAHoldTimeNothingIsHeld) {
    DeviceBehaviour behaviour = HoldingDevice();
    behaviour.holdAnswers.reset();
    Start(behaviour);
    Send({handshake}, 0ms);
    session_->SetListened(false, 5ms);
    Send({handshake}, 10ms);
    EXPECT_EQ(replies_, (std::vector<SentReply>{{0ms, 0x39}, {10ms, 0x15}}));
    EXPECT_EQ(session_->HeldAnswers(), 0u);
}

}  // namespace
