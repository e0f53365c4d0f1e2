// Rebuilds image records from the hexadecimal digits that the updater sends: a record's
// digits come in one or more System Exclusive messages, and only the length field at the
// record's head tells where it ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

enum class AssemblyStatus {
    Incomplete,      // the record needs more digits
    Complete,        // TakeRecord() hands it over
    NotHexadecimal,  // the message held other bytes; it and the record so far are dropped
};

class RecordAssembly {
public:
    // Adds the data bytes of one message. Only the digits 0 to 9 and A to F count: the
    // updater writes upper case, so anything else is a fault on the line.
    AssemblyStatus Add(std::span<const std::uint8_t> digits);

    // Whether digits of an unfinished record are held.
    bool InProgress() const { return !bytes_.empty() || highNibble_ >= 0; }
    // Digits held so far, and the digits of the whole record once its length field is in
    // (0 before).
    std::size_t HeldDigits() const;
    std::size_t ExpectedDigits() const;
    // Digits that followed the record's end in the message that completed it. They are
    // dropped: every record begins a message of its own.
    std::size_t IgnoredDigits() const { return ignoredDigits_; }

    // The completed record; the assembly starts afresh.
    Bytes TakeRecord();
    // Drops whatever is held.
    void Clear();

private:
    bool IsComplete() const;

    Bytes bytes_;
    int highNibble_ = -1;
    std::size_t ignoredDigits_ = 0;
};

// Whether the record's checksum holds: the 16-bit sum of the payload plus the checksum
// (little-endian, in the last two bytes) is 0. A length field below 2 leaves no room for a
// checksum, so such a record fails.
bool RecordChecksumHolds(std::span<const std::uint8_t> record);
