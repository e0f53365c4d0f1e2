#include "record_assembly.h"

#include <algorithm>

namespace {

int DigitValue(std::uint8_t character) {
    if (character >= '0' && character <= '9')
        return character - '0';
    if (character >= 'A' && character <= 'F')
        return character - 'A' + 10;
    return -1;
}

// Size of the record whose length field opens bytes: the field counts the bytes after it.
std::size_t RecordSize(std::span<const std::uint8_t> bytes) {
    return (static_cast<std::size_t>(bytes[0]) << 8 | bytes[1]) + 2;
}

}  // namespace

AssemblyStatus RecordAssembly::Add(std::span<const std::uint8_t> digits) {
    ignoredDigits_ = 0;
    const bool allDigits = std::all_of(digits.begin(), digits.end(),
                                       [](std::uint8_t c) { return DigitValue(c) >= 0; });
    if (!allDigits) {
        Clear();
        return AssemblyStatus::NotHexadecimal;
    }
    for (std::uint8_t character : digits) {
        if (IsComplete()) {
            ++ignoredDigits_;
            continue;
        }
        const int value = DigitValue(character);
        if (highNibble_ < 0) {
            highNibble_ = value;
        } else {
            bytes_.push_back(static_cast<std::uint8_t>(highNibble_ << 4 | value));
            highNibble_ = -1;
        }
    }
    return IsComplete() ? AssemblyStatus::Complete : AssemblyStatus::Incomplete;
}

std::size_t RecordAssembly::HeldDigits() const {
    return bytes_.size() * 2 + (highNibble_ >= 0 ? 1 : 0);
}

std::size_t RecordAssembly::ExpectedDigits() const {
    return bytes_.size() < 2 ? 0 : RecordSize(bytes_) * 2;
}

Bytes RecordAssembly::TakeRecord() {
    Bytes record;
    record.swap(bytes_);
    highNibble_ = -1;
    return record;
}

void RecordAssembly::Clear() {
    bytes_.clear();
    highNibble_ = -1;
}

bool RecordAssembly::IsComplete() const {
    return bytes_.size() >= 2 && bytes_.size() == RecordSize(bytes_);
}

bool RecordChecksumHolds(std::span<const std::uint8_t> record) {
    if (record.size() < 4 || record.size() != RecordSize(record))
        return false;
    const std::size_t checksumAt = record.size() - 2;
    std::uint16_t sum = 0;
    for (std::size_t index = 2; index < checksumAt; ++index) {
        sum = static_cast<std::uint16_t>(sum + record[index]);
    }
    const auto checksum =
        static_cast<std::uint16_t>(record[checksumAt] | record[checksumAt + 1] << 8);
    return static_cast<std::uint16_t>(sum + checksum) == 0;
}
