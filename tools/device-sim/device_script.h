// The misbehaviour that the simulated device is told to show, per attempt at a record:
// silence, a late reply, or a reply code of the caller's choosing.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the device does for one reception of a record. Unset parts keep the normal
// behaviour: reply at once, with the code that the checksum calls for.
struct ScriptedAction {
    bool silent = false;
    std::optional<std::uint8_t> code;
    std::optional<std::chrono::milliseconds> delay;

    bool IsNormal() const { return !silent && !code && !delay; }
};

// One entry of the script: the action for an attempt at a record, both counted from 1.
struct ScriptEntry {
    static constexpr std::uint32_t everyAttempt = 0;

    std::uint32_t record = 1;
    std::uint32_t attempt = everyAttempt;
    ScriptedAction action;
};

class DeviceScript {
public:
    void Add(const ScriptEntry& entry) { entries_.push_back(entry); }
    // Every entry that matches, in the order given: the later one wins where two set the
    // same part, and parts set by different entries combine (a code that comes late).
    ScriptedAction ActionFor(std::uint32_t record, std::uint32_t attempt) const;

private:
    std::vector<ScriptEntry> entries_;
};

// Parses "R:A=ACTION": R a record number, A an attempt number or "*" for every attempt,
// ACTION one of "silent", "late:MS" (milliseconds) and "code:HH" (a hexadecimal byte).
// On failure gives nothing and says why in error.
std::optional<ScriptEntry> ParseScriptEntry(std::string_view text, std::string& error);

// A decimal number from 1 (or 0 when zeroAllowed) to most, without sign or spaces.
std::optional<std::uint32_t> ParseDecimal(std::string_view text, std::uint32_t most,
                                          bool zeroAllowed = false);
