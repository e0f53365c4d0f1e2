// Drives the simulator's record assembly with arbitrary bytes from the line, cut into System
// Exclusive messages at each 0xF7 as they arrive (a leading 0xF0 is framing, not data). The
// assembly must hold no more digits than the record it builds, hand over whole records only,
// and judge a record's checksum as the updater's own validation does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "image/image.h"
#include "record_assembly.h"

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

// The updater's verdict on the record as an image of its own.
bool UpdaterAccepts(const Bytes& record) {
    static auto image = std::make_unique<ImageBuffer>();
    std::copy(record.begin(), record.end(), image->imageBytes.begin());
    image->loadedCount = static_cast<std::uint16_t>(record.size());
    return IsRecordValid(*image, 0);
}

void CheckMessage(RecordAssembly& assembly, std::span<const std::uint8_t> message) {
    switch (assembly.Add(message)) {
        case AssemblyStatus::NotHexadecimal:
            Require(!assembly.InProgress() && assembly.IgnoredDigits() == 0);
            return;
        case AssemblyStatus::Incomplete:
            Require(assembly.ExpectedDigits() == 0 ||
                    assembly.HeldDigits() < assembly.ExpectedDigits());
            Require(assembly.IgnoredDigits() == 0);
            return;
        case AssemblyStatus::Complete:
            break;
    }
    const Bytes record = assembly.TakeRecord();
    Require(!assembly.InProgress());
    Require(record.size() >= 2 && record.size() == (record[0] * 256u + record[1]) + 2);
    // Above 65535 bytes a record no longer fits the updater's image at all.
    if (record.size() <= 65535)
        Require(RecordChecksumHolds(record) == UpdaterAccepts(record));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    RecordAssembly assembly;
    std::span<const std::uint8_t> rest(data, size);
    while (!rest.empty()) {
        std::size_t end = 0;
        while (end < rest.size() && rest[end] != 0xF7)
            ++end;
        std::span<const std::uint8_t> message = rest.first(end);
        if (!message.empty() && message[0] == 0xF0)
            message = message.subspan(1);
        CheckMessage(assembly, message);
        rest = rest.subspan(end < rest.size() ? end + 1 : end);
    }
    return 0;
}
