// Runs a scenario over JACK again when the server missed a cycle during it.
#pragma once

#include <functional>

#include "jack_server.h"

// Runs scenario, a whole run with its checks, and reports what its checks found, unless they
// failed while a client of the server missed a cycle: the scenario then runs again, three times
// at most. A client that the machine leaves without the processor for longer than a cycle
// (5 ms) misses it, and the MIDI it carried in it is lost: the updater then repeats a record, as
// it must, and the transcript differs from the one expected. A virtual machine's processor
// alone stalls that long now and then on an idle host. The test is skipped, saying so, when
// every run failed that way.
void RunOnKeptCycles(const PrivateJackServer& server, const std::function<void()>& scenario);
