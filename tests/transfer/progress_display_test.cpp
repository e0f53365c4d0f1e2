#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "transfer/transfer.h"
#include "transfer_fixture.h"

namespace {

std::string Captured(void (*show)()) {
    testing::internal::CaptureStdout();
    show();
    return testing::internal::GetCapturedStdout();
}

std::string Lines(const std::string& glyphs, int percent) {
    std::string lines;
    for (char glyph : glyphs)
        lines += ProgressLine(glyph, percent);
    return lines;
}

TEST(ProgressDisplay, LineRewritesItselfInPlaceWithPercentInPlainDecimal) {
    const std::string console = Captured([] {
        ResetSpinner();
        ShowProgress(0);
        ShowProgress(99);
    });
    EXPECT_EQ(console,
              "\r                        \rTransferring.. - 0% done"
              "\r                        \rTransferring.. - 99% done");
    EXPECT_EQ(ProgressLine('-', 0), "\r                        \rTransferring.. - 0% done");
}

// The line ends without a newline, so that a buffered stream would keep it back: what reaches
// the descriptor of standard output right after the call is what the console shows.
TEST(ProgressDisplay, LineReachesTheConsoleAtOnce) {
    std::fflush(stdout);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const int console = dup(STDOUT_FILENO);
    dup2(pipeEnds[1], STDOUT_FILENO);
    ResetSpinner();
    ShowProgress(5);
    dup2(console, STDOUT_FILENO);
    close(console);
    close(pipeEnds[1]);
    std::string reached;
    char buffer[256];
    for (ssize_t count; (count = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
        reached.append(buffer, static_cast<std::size_t>(count));
    }
    close(pipeEnds[0]);
    EXPECT_EQ(reached, ProgressLine('-', 5));
}

TEST(ProgressDisplay, ClosingLineOverwritesTheLastProgressLine) {
    EXPECT_EQ(Captured([] { ShowTransferDone(); }), "\rTransferring.. 100% done.  \n");
}

TEST(ProgressSpinner, ShowsEightGlyphsThenTheFirstAgain) {
    const std::string console = Captured([] {
        ResetSpinner();
        for (int line = 0; line < 9; ++line)
            ShowProgress(7);
    });
    EXPECT_EQ(console, Lines("--\\\\||//-", 7));
}

TEST(ProgressSpinner, StepsBackFromTheFirstGlyphToTheLast) {
    const std::string console = Captured([] {
        ResetSpinner();
        for (int line = 0; line < 8; ++line)
            ShowProgress(0);
        StepSpinnerBack();
        ShowProgress(0);
        ShowProgress(0);
    });
    EXPECT_EQ(console, Lines("--\\\\||//", 0) + Lines("/-", 0));
}

TEST(ProgressSpinner, ResetStartsAgainAndTheClosingLineLeavesThePositionAlone) {
    const std::string console = Captured([] {
        ResetSpinner();
        for (int line = 0; line < 5; ++line)
            ShowProgress(1);
        ResetSpinner();
        for (int line = 0; line < 3; ++line)
            ShowProgress(2);
        ShowTransferDone();
        ShowProgress(3);
    });
    EXPECT_EQ(console, Lines("--\\\\|", 1) + Lines("--\\", 2) + transferDone + Lines("\\", 3));
}

struct HexCase {
    std::uint8_t value;
    const char* digits;
};

class ByteToHexPairTest : public testing::TestWithParam<HexCase> {};

TEST_P(ByteToHexPairTest, WritesTwoUpperCaseDigitsAndNothingElse) {
    char out[4] = {'x', 'x', 'x', 'x'};
    ByteToHexPair(GetParam().value, out + 1);
    EXPECT_EQ(std::string(out, 4), std::string("x") + GetParam().digits + "x");
}

INSTANTIATE_TEST_SUITE_P(Values, ByteToHexPairTest,
                         testing::Values(HexCase{0x00, "00"}, HexCase{0x0A, "0A"},
                                         HexCase{0x9F, "9F"}, HexCase{0xFF, "FF"}));

}  // namespace
