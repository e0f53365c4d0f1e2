// The update run: the program's one flow, from the banner to the closing pause.
#pragma once

// Runs every phase in order, stops at the first that fails, and always ends through the
// same closing path: ports closed once discovery has been reached, then the pause.
void RunUpdate();
