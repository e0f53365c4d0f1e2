#include "driver/update_run.h"

#include <cstdint>
#include <cstdio>

#include "image/image.h"
#include "midi/midi.h"
#include "platform/platform.h"
#include "transfer/transfer.h"

namespace {

// Lives for the whole run; too large for the stack of every platform.
ImageBuffer image;

// Whether the image file was found, loaded and every record checks out.
bool PrepareImage(std::uint8_t& targetCode) {
    const std::optional<std::string> name = FindImageFile();
    if (!name)
        return false;
    targetCode = updateTargetCode;
    return LoadImage(*name, image) && ValidateImage(image);
}

}  // namespace

RunOutcome RunUpdate() {
    RunOutcome outcome;
    std::uint8_t targetCode = 0;
    image.loadedCount = 0;
    std::printf("Update V0.3 - Update KELVORIN TV615R System\n");
    outcome.imageAccepted = PrepareImage(targetCode);
    if (outcome.imageAccepted) {
        outcome.discovery = FindUpdateDevice(targetCode);
        if (outcome.discovery == DiscoveryResult::resetRequested) {
            std::printf("Please reset the product and retry again!\n\n");
        } else if (outcome.discovery == DiscoveryResult::deviceFound) {
            // Over the pair that discovery left open; the run treats every ending alike.
            outcome.transfer = TransferImage(image.imageBytes.data(), image.loadedCount);
        }
        // Closed after every outcome of discovery; closing a port that is not open does nothing.
        CloseMidiInput();
        CloseMidiOutput();
    }
    PauseConsole();
    return outcome;
}
