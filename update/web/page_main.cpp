// The page's entry: the console program's run, in a folder of the page's memory file system
// that holds the image file the owner chose, and the outcome in one word for the page.
#include <emscripten.h>
#include <unistd.h>

#include "driver/update_run.h"
#include "platform/midi_host/midi_host.h"
#include "platform/platform.h"

namespace {

const char* TransferWord(TransferEnding ending) {
    switch (ending) {
        case TransferEnding::completed:
            return "updated";
        case TransferEnding::deviceRestarting:
            return "restarting";
        case TransferEnding::outputLost:
            return "output-lost";
        case TransferEnding::notResponding:
            return "not-responding";
        case TransferEnding::updateError:
            return "update-error";
    }
    return "update-error";
}

const char* OutcomeWord(const RunOutcome& outcome) {
    if (!outcome.imageAccepted)
        return "image-error";
    if (outcome.transfer)
        return TransferWord(*outcome.transfer);
    return outcome.discovery == DiscoveryResult::resetRequested ? "reset-requested" : "no-device";
}

}  // namespace

// Called by the page (update_page.js) with the folder that holds the chosen file alone. A run
// without MIDI access ends as "no-device", having found no port; the page knows why.
extern "C" EMSCRIPTEN_KEEPALIVE const char* RunUpdateInFolder(const char* folder) {
    if (chdir(folder) != 0)
        return "image-error";
    // Each run takes the port lists afresh, as each run of the console program does.
    InstallMidiHost(nullptr);
    return OutcomeWord(RunUpdate());
}

int main() {
    SecureStandardStreams();
    return 0;
}
