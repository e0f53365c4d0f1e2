#include <cstdio>

#include "transfer/transfer.h"

namespace {

// Each glyph stands twice, so that one glyph shows for two successive records and the turn
// of the spinner follows the records accepted, not the attempts.
constexpr char spinner[] = "--\\\\||//";
constexpr std::uint8_t spinnerLength = sizeof spinner - 1;

std::uint8_t spinnerPosition = 0;

}  // namespace

void ResetSpinner() {
    spinnerPosition = 0;
}

void ShowProgress(std::uint16_t percent) {
    // The spaces blank what the previous line left, since the new line is written over it in
    // place; the messages printed between two lines begin with a newline of their own.
    std::printf("\r                        \rTransferring.. %c %d%% done", spinner[spinnerPosition],
                static_cast<int>(percent));
    ++spinnerPosition;
    if (spinner[spinnerPosition] == '\0')
        spinnerPosition = 0;
    // No newline ends the line, so a line-buffered console would not show it by itself.
    std::fflush(stdout);
}

void StepSpinnerBack() {
    spinnerPosition = spinnerPosition == 0 ? spinnerLength - 1 : spinnerPosition - 1;
}

void ShowTransferDone() {
    std::printf("\rTransferring.. 100%% done.  \n");
}
