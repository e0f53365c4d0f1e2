#include "device_script.h"

#include <charconv>

namespace {

constexpr std::uint32_t highestRecord = 1000000;
constexpr std::uint32_t highestAttempt = 1000000;
// Ten minutes: far beyond any wait of the updater.
constexpr std::uint32_t longestDelay = 600000;

std::optional<std::uint8_t> ParseCode(std::string_view text) {
    if (text.empty() || text.size() > 2)
        return std::nullopt;
    unsigned value = 0;
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (failure != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return static_cast<std::uint8_t>(value);
}

std::optional<ScriptedAction> ParseAction(std::string_view text, std::string& error) {
    ScriptedAction action;
    if (text == "silent") {
        action.silent = true;
        return action;
    }
    if (text.starts_with("late:")) {
        const auto delay = ParseDecimal(text.substr(5), longestDelay, true);
        if (!delay) {
            error = "late needs milliseconds from 0 to " + std::to_string(longestDelay);
            return std::nullopt;
        }
        action.delay = std::chrono::milliseconds(*delay);
        return action;
    }
    if (text.starts_with("code:")) {
        action.code = ParseCode(text.substr(5));
        if (!action.code) {
            error = "code needs a hexadecimal byte, 00 to FF";
            return std::nullopt;
        }
        return action;
    }
    error = "the action is silent, late:MS or code:HH, not '" + std::string(text) + "'";
    return std::nullopt;
}

}  // namespace

ScriptedAction DeviceScript::ActionFor(std::uint32_t record, std::uint32_t attempt) const {
    ScriptedAction action;
    for (const ScriptEntry& entry : entries_) {
        if (entry.record != record)
            continue;
        if (entry.attempt != ScriptEntry::everyAttempt && entry.attempt != attempt)
            continue;
        action.silent = action.silent || entry.action.silent;
        if (entry.action.code)
            action.code = entry.action.code;
        if (entry.action.delay)
            action.delay = entry.action.delay;
    }
    return action;
}

std::optional<std::uint32_t> ParseDecimal(std::string_view text, std::uint32_t most,
                                          bool zeroAllowed) {
    std::uint32_t value = 0;
    const char* last = text.data() + text.size();
    const auto [end, failure] = std::from_chars(text.data(), last, value);
    if (text.empty() || failure != std::errc() || end != last)
        return std::nullopt;
    if (value > most || (value == 0 && !zeroAllowed))
        return std::nullopt;
    return value;
}

std::optional<ScriptEntry> ParseScriptEntry(std::string_view text, std::string& error) {
    const auto colon = text.find(':');
    const auto equals = text.find('=');
    if (colon == std::string_view::npos || equals == std::string_view::npos || equals < colon) {
        error = "a scripted action is written R:A=ACTION, not '" + std::string(text) + "'";
        return std::nullopt;
    }
    ScriptEntry entry;
    const auto record = ParseDecimal(text.substr(0, colon), highestRecord);
    if (!record) {
        error = "the record number in '" + std::string(text) + "' is not a number from 1";
        return std::nullopt;
    }
    entry.record = *record;
    const std::string_view attempt = text.substr(colon + 1, equals - colon - 1);
    if (attempt != "*") {
        const auto number = ParseDecimal(attempt, highestAttempt);
        if (!number) {
            error = "the attempt in '" + std::string(text) + "' is not a number from 1 or *";
            return std::nullopt;
        }
        entry.attempt = *number;
    }
    const auto action = ParseAction(text.substr(equals + 1), error);
    if (!action)
        return std::nullopt;
    entry.action = *action;
    return entry;
}
