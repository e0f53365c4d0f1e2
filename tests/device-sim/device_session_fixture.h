// A device session run on virtual time, with what it replies, accepts and logs recorded, and
// the script entries that tests give it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "device_session.h"

inline const Bytes handshake = {0xF0, 0x53, 0x2F, 0x6B, 0x31, 0x4E, 0x25, 0x39, 0xF7};

inline ScriptEntry Silent(std::uint32_t record, std::uint32_t attempt) {
    ScriptEntry entry{record, attempt, {}};
    entry.action.silent = true;
    return entry;
}

inline ScriptEntry Late(std::uint32_t record, std::uint32_t attempt,
                        std::chrono::milliseconds delay) {
    ScriptEntry entry{record, attempt, {}};
    entry.action.delay = delay;
    return entry;
}

inline ScriptEntry Code(std::uint32_t record, std::uint32_t attempt, std::uint8_t code) {
    ScriptEntry entry{record, attempt, {}};
    entry.action.code = code;
    return entry;
}

struct SentReply {
    SimulatorTime at;
    std::uint8_t code;
    bool operator==(const SentReply&) const = default;
};

// Runs a session on virtual time and records what it does.
class DeviceSessionTest : public testing::Test, private DeviceEvents {
protected:
    void Start(DeviceBehaviour behaviour) {
        session_ = std::make_unique<DeviceSession>(std::move(behaviour),
                                                   static_cast<DeviceEvents&>(*this));
    }
    // The messages arrive at `at`; the session runs to there.
    void Send(const std::vector<Bytes>& messages, SimulatorTime at) {
        RunUntil(at);
        for (const Bytes& message : messages)
            session_->Receive(message, at);
        RunUntil(at);
    }
    void RunUntil(SimulatorTime limit) {
        for (auto next = session_->NextDue(); next && *next <= limit; next = session_->NextDue()) {
            now_ = *next;
            session_->Advance(now_);
        }
        now_ = limit;
    }
    bool Logged(const std::string& line) const {
        return std::find(log_.begin(), log_.end(), line) != log_.end();
    }

    std::vector<SentReply> replies_;
    Bytes accepted_;
    std::vector<std::string> log_;
    std::unique_ptr<DeviceSession> session_;

private:
    void SendReply(std::span<const std::uint8_t> message) override {
        ASSERT_EQ(message.size(), 3u);
        EXPECT_EQ(message[0], 0xF0);
        EXPECT_EQ(message[2], 0xF7);
        replies_.push_back({now_, message[1]});
    }
    void AcceptRecord(std::span<const std::uint8_t> record) override {
        accepted_.insert(accepted_.end(), record.begin(), record.end());
    }
    void Log(const std::string& line) override { log_.push_back(line); }

    SimulatorTime now_{0};
};
