#include <cstdio>

#include "midi/midi.h"

namespace {

constexpr char spinner[] = "-\\|/";
constexpr unsigned spinnerLength = sizeof spinner - 1;
constexpr std::uint32_t redrawMilliseconds = 250;
// Blanks the widest line, "Searching.. - pair 100 of 100" for ten ports each way, since a line
// is written over the previous one in place and the last one is erased the same way.
constexpr char blank[] = "\r                              \r";

struct SearchProgress {
    bool drawing = false;
    unsigned pair = 0;
    unsigned pairCount = 0;
    unsigned spinnerPosition = 0;
    std::uint32_t drawnAt = 0;
};

SearchProgress progress;

void DrawSearchLine() {
    std::printf("%sSearching.. %c pair %u of %u", blank, spinner[progress.spinnerPosition],
                progress.pair, progress.pairCount);
    progress.spinnerPosition = (progress.spinnerPosition + 1) % spinnerLength;
    // No newline ends the line, so a line-buffered console would not show it by itself.
    std::fflush(stdout);
    progress.drawnAt = ReadMillisecondClock();
}

}  // namespace

void StartSearchProgress(unsigned pairCount) {
    // A pipe or a file gets the messages alone, as a program reading them expects.
    progress = {StandardOutputIsConsole() && pairCount != 0, 1, pairCount, 0, 0};
    if (progress.drawing)
        DrawSearchLine();
}

void SetSearchPair(unsigned pair) {
    progress.pair = pair;
}

void RedrawSearchProgressWhenDue() {
    if (progress.drawing && ReadMillisecondClock() - progress.drawnAt >= redrawMilliseconds)
        DrawSearchLine();
}

void EndSearchProgress() {
    if (progress.drawing)
        std::printf("%s", blank);
    progress.drawing = false;
}
