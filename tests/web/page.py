"""The update page as the tests drive it: a tab that opens it, chooses an image file and reads
the page's words once the run has ended."""

import difflib
import json
import os
import time

# What the page shows and what the instruments of guest.INSTRUMENTS logged, in one reading.
READING = """(() => {
    const progress = document.querySelector("#progress");
    const log = window.midiLog;
    return {state: document.body.dataset.state, outcome: document.body.dataset.outcome || "",
            console: document.querySelector("#console").textContent,
            result: document.querySelector("#result").textContent,
            again: !document.querySelector("#again").disabled,
            progress: [progress.value, progress.max],
            requests: log.requests, sends: log.sends, receipts: log.receipts,
            sendsWhenDone: log.sendsWhenDone};
})()"""


class Page:
    def __init__(self, tab, origin):
        self.tab = tab
        self.url = origin + "/update.html"

    def start(self, image, port=None):
        """Opens the page and chooses IMAGE, which starts a run; once the browser lists PORT,
        where one is named. False when it never did."""
        self.tab.open(self.url)
        if port and not self.wait_for_port(port, 30):
            return False
        self.tab.choose_file("#image-file", os.path.abspath(image))
        return True

    def state(self):
        return self.tab.evaluate("document.body.dataset.state")

    def wait_for_port(self, name, seconds):
        """Waits until the browser lists an input and an output called NAME, both connected:
        the browser hears of a port that has come some time after the sound system has it."""
        listed = f"""navigator.requestMIDIAccess({{sysex: true}}).then((access) => {{
            const connected = (ports) => Array.from(ports.values()).some(
                (port) => port.name === {json.dumps(name)} && port.state === "connected");
            return connected(access.inputs) && connected(access.outputs);
        }})"""
        deadline = time.monotonic() + seconds
        while not self.tab.evaluate(listed):
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.2)
        return True

    def finish(self, seconds):
        """Waits for the run's end, then a little longer, and reads the page. Whatever the page
        sends after its end shows in sendsWhenDone."""
        ended = self.tab.wait_until('document.body.dataset.state === "done"', seconds)
        if ended:
            time.sleep(0.6)
        reading = self.tab.evaluate(READING)
        reading["ended"] = ended
        return reading


class Checks:
    """The failures of one scenario, each told with what was seen."""

    def __init__(self):
        self.failures = []

    def expect(self, condition, what):
        if not condition:
            self.failures.append(what)
        return condition

    def equal(self, actual, expected, what):
        if actual == expected:
            return True
        if isinstance(actual, str) and isinstance(expected, str):
            difference = difflib.unified_diff(
                [repr(line) for line in expected.split("\n")],
                [repr(line) for line in actual.split("\n")], "expected", "actual", lineterm="")
            self.failures.append(f"{what} differs:\n" + "\n".join(difference))
        elif isinstance(actual, bytes) and isinstance(expected, bytes):
            differs = next((at for at, (one, other) in enumerate(zip(actual, expected))
                            if one != other), min(len(actual), len(expected)))
            self.failures.append(f"{what}: {len(actual)} bytes, expected {len(expected)}; they "
                                 f"differ from byte {differs} on")
        else:
            self.failures.append(f"{what}: {actual!r}, expected {expected!r}")
        return False

    def ended(self, reading, outcome, console):
        """The run has ended with OUTCOME and the whole console text CONSOLE, and nothing went
        to MIDI after its end."""
        if not self.expect(reading["ended"], f"the run never ended: {reading['console']!r}"):
            return
        self.equal(reading["outcome"], outcome, "the outcome")
        if console is not None:
            self.equal(reading["console"], console, "the console text")
        self.expect(reading["result"].strip() != "", "no result in plain words")
        self.expect(reading["again"], "'Update again' is not enabled at the end")
        self.equal(reading["sendsWhenDone"], 0, "messages sent after the end")


def exchange(reading):
    """The messages the page sent (>) and received (<), one a line, with their moments and the
    time since the one before, for a failure's report."""
    events = sorted([(send[0], ">", send[1], "greeting" if send[2] else "", send[3])
                     for send in reading["sends"]] +
                    [(receipt[0], "<", receipt[1], f"{receipt[2]:02X}", receipt[3])
                     for receipt in reading["receipts"]])
    lines = []
    before = events[0][0] if events else 0
    for moment, direction, length, what, port in events:
        lines.append(f"{moment:10.1f} ms (+{moment - before:6.1f}) {direction} {length:3} bytes "
                     f"{what} {port}")
        before = moment
    return "\n".join(lines)
