// The update run: the program's one flow, from the banner to the closing pause.
#pragma once

#include <optional>

#include "midi/midi.h"
#include "transfer/transfer.h"

// What each phase of a run came to, for a front-end that tells the outcome in words of its
// own (the web page); the console program has printed every phase's words already.
struct RunOutcome {
    bool imageAccepted = false;
    DiscoveryResult discovery = DiscoveryResult::noDevice;
    // Set once the transfer has run.
    std::optional<TransferEnding> transfer;
};

// Runs every phase in order, stops at the first that fails, and always ends through the
// same closing path: ports closed once discovery has been reached, then the pause.
RunOutcome RunUpdate();
