// transfer-benchmark: times the updater's own transfer code against a device over the
// machine's MIDI system, beside the bare round trip of one short System Exclusive message
// and the time that the bytes would need on a DIN MIDI cable; or times the updater's search
// over every port pair, beside the protocol's own waits.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "image/image.h"
#include "midi/midi.h"
#include "transfer/transfer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double cableBytesPerSecond = 3125.0;  // 31250 baud, 10 bits a byte
constexpr std::size_t replyBytes = 3;           // F0, the code, F7

double Milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

// The record sizes of a validated image.
std::vector<std::size_t> RecordSizes(const ImageBuffer& image) {
    std::vector<std::size_t> sizes;
    for (std::size_t position = 0; position < image.loadedCount; position += sizes.back()) {
        sizes.push_back(RecordSizeAt(image, static_cast<std::uint16_t>(position)));
    }
    return sizes;
}

// What a whole transfer puts on the wire both ways: every message framed, every reply.
std::size_t BytesOnTheWire(const std::vector<std::size_t>& sizes) {
    std::size_t bytes = 0;
    for (std::size_t size : sizes) {
        // Two digits a byte, each message framed by F0 and F7.
        const std::size_t fullMessages = size / bytesPerMessage;
        const std::size_t rest = size % bytesPerMessage;
        bytes +=
            fullMessages * (2 * bytesPerMessage + 2) + (rest != 0 ? 2 * rest + 2 : 0) + replyBytes;
    }
    return bytes;
}

// The median time from sending the handshake to its reply, polled without the 1 ms sleeps
// of the protocol so that the MIDI system's own latency shows.
double MedianRoundTrip(int count) {
    std::vector<double> times;
    for (int index = 0; index < count; ++index) {
        midiLink.rxCount = 0;
        const Clock::time_point start = Clock::now();
        SendSysEx(handshakeMessage, sizeof handshakeMessage);
        while (midiLink.rxCount == 0 && Clock::now() - start < std::chrono::seconds(1)) {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
        if (midiLink.rxCount != 0)
            times.push_back(Milliseconds(Clock::now() - start));
    }
    if (times.empty())
        return 0;
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Runs the transfer with its progress line sent to /dev/null.
Clock::duration TimeTransfer(const ImageBuffer& image, TransferEnding& ending) {
    std::fflush(stdout);
    const int console = dup(STDOUT_FILENO);
    const int nothing = open("/dev/null", O_WRONLY);
    dup2(nothing, STDOUT_FILENO);
    const Clock::time_point start = Clock::now();
    ending = TransferImage(image.imageBytes.data(), image.loadedCount);
    const Clock::duration elapsed = Clock::now() - start;
    std::fflush(stdout);
    dup2(console, STDOUT_FILENO);
    close(nothing);
    close(console);
    return elapsed;
}

// The names of the ports that the search tries, in its order.
template <typename Capabilities, typename Query>
std::vector<std::string> PortNames(std::uint8_t count, Query query) {
    Capabilities capabilities{};
    std::vector<std::string> names;
    for (UINT port = 0; port < count; ++port) {
        query(port, &capabilities, sizeof capabilities);
        names.push_back(capabilities.szPname);
    }
    return names;
}

std::size_t IndexOf(const std::vector<std::string>& names, const std::string& name) {
    return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

// Every pair before the device's costs what a silent pair costs: the protocol's four 500 ms
// waits and the opening and closing of its ports.
int TimeSearch() {
    const std::vector<std::string> inputs =
        PortNames<MIDIINCAPSA>(CountMidiInputs(), midiInGetDevCapsA);
    const std::vector<std::string> outputs =
        PortNames<MIDIOUTCAPSA>(CountMidiOutputs(), midiOutGetDevCapsA);
    const Clock::time_point start = Clock::now();
    const DiscoveryResult found = FindUpdateDevice(updateTargetCode);
    const double seconds = Milliseconds(Clock::now() - start) / 1000;
    const std::size_t silent = IndexOf(inputs, midiLink.inputName) * outputs.size() +
                               IndexOf(outputs, midiLink.outputName);
    const bool measurable = found == DiscoveryResult::deviceFound && silent > 0 &&
                            silent < inputs.size() * outputs.size();
    const double roundTrip = measurable ? MedianRoundTrip(200) : 0;
    CloseMidiInput();
    CloseMidiOutput();
    if (!measurable) {
        std::printf("benchmark: the device was not found behind other port pairs\n");
        return 1;
    }
    std::printf("search over %zu port pairs, the device behind pair %zu: %.2f s\n",
                inputs.size() * outputs.size(), silent + 1, seconds);
    std::printf("per silent pair: %.3f s (its four 500 ms waits alone: 2.000 s)\n",
                seconds / static_cast<double>(silent));
    std::printf("bare round trip of a 9-byte SysEx message: %.2f ms (median of 200)\n", roundTrip);
    std::printf("silent pair / bare round trip: %.0f\n",
                seconds / static_cast<double>(silent) * 1000 / roundTrip);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::string(argv[1]) == "--help") {
        std::printf(
            "usage: transfer-benchmark IMAGE [--din]\n"
            "       transfer-benchmark --search\n"
            "Finds the device as the updater does, times the round trip of the handshake, then\n"
            "the whole transfer of IMAGE. --din: the device paces the cable; compare the time\n"
            "with the cable's own limit. --search: times the search alone, for a device that\n"
            "answers behind other port pairs.\n");
        return argc < 2 ? 2 : 0;
    }
    if (std::string(argv[1]) == "--search")
        return TimeSearch();
    const bool din = argc > 2 && std::string(argv[2]) == "--din";
    auto image = std::make_unique<ImageBuffer>();
    if (!LoadImage(argv[1], *image) || !ValidateImage(*image))
        return 1;
    if (FindUpdateDevice(updateTargetCode) != DiscoveryResult::deviceFound)
        return 1;

    const std::vector<std::size_t> sizes = RecordSizes(*image);
    const double roundTrip = din ? 0 : MedianRoundTrip(200);
    TransferEnding ending = TransferEnding::completed;
    const double total = Milliseconds(TimeTransfer(*image, ending));
    CloseMidiInput();
    CloseMidiOutput();
    if (ending != TransferEnding::completed) {
        std::printf("benchmark: the transfer did not complete\n");
        return 1;
    }

    // The transfer ends with one more reply wait, in which nothing may come: it belongs to no
    // record, so the time per record leaves it out.
    const double closingWait = replyWaitMilliseconds;
    const double perRecord = (total - closingWait) / sizes.size();
    std::printf("image: %u bytes in %zu records\n", image->loadedCount, sizes.size());
    std::printf("whole transfer: %.2f s, of which %.2f s the wait after the last record\n",
                total / 1000, closingWait / 1000);
    std::printf("per record, that wait left out: %.2f ms\n", perRecord);
    if (din) {
        const std::size_t wire = BytesOnTheWire(sizes);
        const double limit = wire / cableBytesPerSecond;
        std::printf("DIN cable limit: %zu bytes on the wire / 3125 per second = %.2f s\n", wire,
                    limit);
        std::printf("transfer time, that wait left out / cable limit: %.2f\n",
                    (total - closingWait) / 1000 / limit);
    } else {
        std::printf("bare round trip of a 9-byte SysEx message: %.2f ms (median of 200)\n",
                    roundTrip);
        std::printf("time per record / bare round trip: %.2f\n", perRecord / roundTrip);
    }
    return 0;
}
