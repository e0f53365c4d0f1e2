#include "kept_cycles.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <iostream>

namespace {

constexpr int runsAtMost = 3;

}  // namespace

void RunOnKeptCycles(const PrivateJackServer& server, const std::function<void()>& scenario) {
    for (int run = 1; run <= runsAtMost; ++run) {
        const std::size_t missedBefore = server.MissedCycles();
        testing::TestPartResultArray results;
        {
            const testing::ScopedFakeTestPartResultReporter intercepted(
                testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &results);
            scenario();
        }
        const std::size_t missed = server.MissedCycles() - missedBefore;
        int failures = 0;
        for (int index = 0; index < results.size(); ++index) {
            const testing::TestPartResult& result = results.GetTestPartResult(index);
            if (!result.failed())
                continue;
            ++failures;
            if (missed == 0) {
                ADD_FAILURE_AT(result.file_name() ? result.file_name() : "unknown",
                               result.line_number())
                    << result.message();
            }
        }
        if (failures == 0 || missed == 0)
            return;
        std::cout << "The JACK server missed a cycle " << missed << " times during run " << run
                  << " (" << failures
                  << " checks failed): MIDI may have been lost, so the run does not count.\n";
    }
    GTEST_SKIP() << "the JACK server missed a cycle during each of " << runsAtMost << " runs";
}
