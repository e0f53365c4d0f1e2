// The JACK clients that the RtMidi host makes: few however many ports it opens, none once it
// has gone.
#include "midi_host_fixture.h"

#include <algorithm>

namespace {

// Each pair of a search opens and closes an output, and each input a search tries: the host
// moves a few clients from port to port, so the server's clients stay few however many ports
// were opened, and all go with the host.
TEST_F(MidiHostOnJack, PortsOpenedHundredsOfTimesKeepTheClientsFew) {
    int mostClients = 0;
    for (int round = 0; round < 150; ++round) {
        Inbox inbox;
        auto input = program_->OpenInput("sim:out", inbox.Handler());
        auto output = program_->OpenOutput("sim-01:in");
        ASSERT_TRUE(input && output) << "round " << round;
        mostClients = std::max(mostClients, server_.ClientCount());
        if (round % 2 == 0)
            input.reset();
        output.reset();
    }
    // The server watcher, one input and one output.
    EXPECT_LE(mostClients, clientsWithoutProgram_ + 3);

    Inbox inbox;
    const auto input = program_->OpenInput("sim:out", inbox.Handler());
    const auto output = program_->OpenOutput("sim-01:in");
    ASSERT_TRUE(input && output);
    ExpectBothWays(*output, inbox);
}

TEST_F(MidiHostOnJack, ClientsGoWithTheHost) {
    Inbox inbox;
    auto input = program_->OpenInput("sim:out", inbox.Handler());
    auto output = program_->OpenOutput("sim-01:in");
    ASSERT_TRUE(input && output);
    EXPECT_TRUE(output->Send(SysEx(9, 1)));
    output.reset();
    input.reset();
    EXPECT_GT(server_.ClientCount(), clientsWithoutProgram_);
    program_.reset();
    EXPECT_EQ(server_.ClientCount(), clientsWithoutProgram_);
}

}  // namespace
