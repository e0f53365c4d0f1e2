"""The page's speed in headless Chromium, on the ALSA sequencer of tests/alsa/run-in-vm.

Run inside the guest from the worktree (tests/alsa/benchmark-in-guest): python3
tests/web/benchmark.py PAGE IMAGE. The simulator plays the device on VirMIDI 1-3, the last of
five ports, so that the page's search meets it at the last pair. In the same browser run, a
probe page times the bare round trip of the device's greeting, the floor of the browser's own
MIDI path; the page's records and silent pairs are timed from the moments its messages went out.
"""

import itertools
import json
import math
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import console_text as text  # noqa: E402
import guest  # noqa: E402
from page import Page  # noqa: E402

PORT = "VirMIDI 1-3"


def median(values):
    return sorted(values)[len(values) // 2] if values else float("nan")


def main():
    page_path, image_path = sys.argv[1:]
    with open(image_path) as file:
        image = text.parse_image(file.read())
    sizes = text.record_sizes(image)
    guest.prepare_machine()
    origin = guest.serve([page_path, os.path.join(os.path.dirname(__file__), "probe.html")])
    browser = guest.start_browser()
    device = guest.Simulator("hw:1,3", "--quiet")
    try:
        context = guest.Context(browser, origin)
        probe = context.tab()
        probe.open(origin + "/probe.html")
        ports = probe.evaluate("listPorts()")
        trip = probe.evaluate(f"roundTrip('{PORT}', 200)", timeout=300)
        context.close()

        context = guest.Context(browser, origin)
        page = Page(context.tab(), origin)
        page.start(image_path)
        reading = page.finish(600)
        context.close()
        updated = reading["outcome"] == "updated" and device.accepted() == image

        # A record of the image's mean size, its messages sent at once, as the page sends them.
        context = guest.Context(browser, origin)
        probe = context.tab()
        probe.open(origin + "/probe.html")
        mean = sum(sizes) / len(sizes)
        start, size = min(zip(itertools.accumulate([0] + sizes[:-1]), sizes),
                          key=lambda pair: abs(pair[1] - mean))
        digits = image[start:start + size].hex().upper().encode()
        record_messages = [[0xF0, *digits[at:at + 46], 0xF7]
                           for at in range(0, len(digits), 46)]
        record_trip = probe.evaluate(
            f"roundTrip('{PORT}', 50, {json.dumps(record_messages)}, 0x1A)", timeout=300)
        context.close()
    finally:
        browser.close()
        log = device.stop()
    if not updated:
        print(f"benchmark: the page did not update the device ({reading['outcome']}):\n"
              f"{reading['console']}\n{log}")
        return 1

    # The sends: [moment in ms, length, whether a greeting, port]. A record goes out in
    # messages of 23 of its bytes each; every record went once, as the device holds the image.
    sends = reading["sends"]
    greetings = [send[0] for send in sends if send[2]]
    records = [send[0] for send in sends if not send[2]]
    messages = [math.ceil(size / 23) for size in sizes]
    if len(records) != sum(messages):
        print(f"benchmark: {len(records)} record messages sent, {sum(messages)} expected")
        return 1
    first, last = records[0], records[sum(messages[:-1])]
    per_record = (last - first) / (len(sizes) - 1)
    # Where a record's time goes: its messages going out, the device's answer to the last one,
    # and the page's turn from that answer to the next record.
    answers = sorted(receipt[0] for receipt in reading["receipts"] if receipt[2] == 0x1A)
    sending, answering, turning = [], [], []
    start = 0
    for record, count in enumerate(messages[:-1]):
        out, done, following = records[start], records[start + count - 1], records[start + count]
        answer = next((moment for moment in answers if done <= moment <= following), None)
        sending.append(done - out)
        if answer is not None:
            answering.append(answer - done)
            turning.append(following - answer)
        start += count
    inputs = [port["name"] for port in ports["inputs"]]
    outputs = [port["name"] for port in ports["outputs"]]
    if inputs[-1] != PORT or outputs[-1] != PORT:
        print(f"benchmark: {PORT} is not the last port: {inputs}, {outputs}")
        return 1
    pairs = len(inputs) * len(outputs)
    search = (first - greetings[0]) / 1000
    print(f"image: {len(image)} bytes in {len(sizes)} records")
    print(f"bare round trip of a 9-byte SysEx message, measured by a page: "
          f"{trip['median']:.2f} ms (median of {trip['answered']})")
    print(f"per record, from the first record's first message to the last one's: "
          f"{per_record:.2f} ms")
    print(f"time per record / bare round trip: {per_record / trip['median']:.2f}")
    print(f"round trip of a record of {size} bytes, its {len(record_messages)} messages sent at "
          f"once, measured by a page: {record_trip['median']:.2f} ms (median of "
          f"{record_trip['answered']})")
    print(f"time per record / that round trip: {per_record / record_trip['median']:.2f}")
    print(f"of a record, medians: its messages going out {median(sending):.2f} ms, the answer to "
          f"its last {median(answering):.2f} ms, from the answer to the next record "
          f"{median(turning):.2f} ms")
    print(f"search over {pairs} port pairs, the device behind pair {pairs}: {search:.2f} s")
    print(f"per silent pair: {search / (pairs - 1):.3f} s (its four 500 ms waits alone: 2.000 s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
