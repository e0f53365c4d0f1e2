"""The update page in headless Chromium, on the ALSA sequencer of tests/alsa/run-in-vm.

Run inside the guest from the worktree (scripts/test-web): python3 tests/web/scenarios.py PAGE
OUT [NAME...]. PAGE is the built page, OUT a writable folder for the screenshot, and NAMEs
choose scenarios (all by default). The simulator plays the device on a VirMIDI raw node or
behind the USB MIDI gadget; each scenario checks the page's whole console text as the console
scenarios check the program's, its outcome, and the records the device holds.
"""

import os
import subprocess
import sys
import tempfile
import threading
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import console_text as text  # noqa: E402
import guest  # noqa: E402
from page import Checks, Page, exchange  # noqa: E402

MAKE_IMAGE = "build/release/make-image"
VIRMIDI = "VirMIDI 1-0"
USB_PORT = "KELVORIN TV615R MIDI 1"


class Images:
    """Image files in a scratch folder, by name, with their bytes."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="images-")

    def sample(self, name, size, most_payload=250):
        path = os.path.join(self.folder, name)
        subprocess.run([MAKE_IMAGE, path, str(size), str(most_payload)], check=True,
                       stdout=subprocess.DEVNULL)
        with open(path) as file:
            return path, text.parse_image(file.read())

    def damaged(self, name, size):
        """A sample image whose first record's checksum is one off."""
        path, image = self.sample(name, size)
        damaged = bytearray(image)
        damaged[text.record_sizes(image)[0] - 1] ^= 1
        with open(path, "w") as file:
            file.write(bytes(damaged).hex().upper())
        return path, bytes(damaged)


class Run:
    """The browser of this boot, the page's origin, and what every scenario shares."""

    def __init__(self, browser, origin, out):
        self.browser = browser
        self.origin = origin
        self.out = out
        self.images = Images()

    def page(self, midi="granted"):
        context = guest.Context(self.browser, self.origin, midi)
        return context, Page(context.tab(), self.origin)

    def run_page(self, image, seconds, midi="granted"):
        """Opens the page in a context of its own, chooses IMAGE and reads the run's end."""
        context, page = self.page(midi)
        try:
            page.start(image)
            return page.finish(seconds)
        finally:
            context.close()


def probe(run, checks):
    """The browser's own MIDI path: the ports it lists and a greeting's round trip."""
    device = guest.Simulator("hw:1,0")
    context = guest.Context(run.browser, run.origin)
    tab = context.tab()
    try:
        tab.open(run.origin + "/probe.html")
        ports = tab.evaluate("listPorts()")
        print("inputs: " + ", ".join(port["name"] for port in ports["inputs"]))
        print("outputs: " + ", ".join(port["name"] for port in ports["outputs"]))
        for direction in ("inputs", "outputs"):
            names = [port["name"] for port in ports[direction]]
            checks.equal(names[:5], ["Midi Through Port-0"] + [f"VirMIDI 1-{n}" for n in range(4)],
                         f"the {direction} the browser lists")
        trip = tab.evaluate(f"roundTrip('{VIRMIDI}', 20)", timeout=60)
        print(f"round trip to the simulator on {VIRMIDI}: {trip['median']:.2f} ms (median of "
              f"{trip['answered']})")
        checks.equal(trip["answered"], 20, "the greetings answered")
    finally:
        context.close()
        device.stop()


def whole_update(run, checks):
    path, image = run.images.sample("TB615R_whole.led", 3000)
    device = guest.Simulator("hw:1,0")
    context, page = run.page()
    try:
        page.start(path)
        if page.tab.wait_until('document.body.dataset.state !== "idle"', 10):
            checks.expect(page.tab.evaluate('document.querySelector("#again").disabled'),
                          "'Update again' is enabled during the run")
        reading = page.finish(120)
        checks.ended(reading, "updated", text.page_text(
            text.opened_line("TB615R_whole.led") + text.SEARCH_END + text.device_lines(VIRMIDI,
                                                                     VIRMIDI) +
            text.transfer_lines(image)))
        if not checks.equal(device.accepted(), image, "the records the device holds"):
            checks.failures.append("the exchange:\n" + exchange(reading))
        checks.equal(reading["progress"][0], reading["progress"][1], "the bar at the end")
        checks.equal(reading["requests"], 1, "requests for MIDI access")
        if run.out:
            os.makedirs(run.out, exist_ok=True)
            page.tab.screenshot(os.path.join(run.out, "update-page.png"))

        # 'Update again' reads the file again and updates the device once more.
        page.tab.click("#again")
        again = page.finish(120)
        checks.ended(again, "updated", reading["console"])
        checks.equal(device.accepted(), image + image, "the records the device holds")
    finally:
        context.close()
        checks.log = device.stop()


def damaged_image(run, checks):
    path, _ = run.images.damaged("TB615R_damaged.led", 1000)
    reading = run.run_page(path, 30)
    checks.ended(reading, "image-error",
                 text.page_text(text.opened_line("TB615R_damaged.led") + text.IMAGE_DAMAGED))
    checks.equal(reading["requests"], 0, "requests for MIDI access")
    checks.equal(len(reading["sends"]), 0, "messages sent")


def no_device(run, checks):
    """Every pair of ports stays silent (Midi Through only echoes the greetings back)."""
    path, _ = run.images.sample("TB615R_nodevice.led", 1000)
    reading = run.run_page(path, 180)
    checks.ended(reading, "no-device",
                 text.page_text(text.opened_line("TB615R_nodevice.led") + text.SEARCH_END +
                                text.NO_DEVICE_FOUND))
    checks.expect(all(send[2] for send in reading["sends"]), "a record sent to no device")


def refusing_device(run, checks):
    """The device refuses the first record as damaged at every attempt."""
    path, image = run.images.sample("TB615R_refused.led", 1000)
    device = guest.Simulator("hw:1,0", "--on", "1:*=code:20")
    try:
        reading = run.run_page(path, 120)
        checks.ended(reading, "update-error", text.page_text(
            text.opened_line("TB615R_refused.led") +
            text.SEARCH_END + text.device_lines(VIRMIDI, VIRMIDI) +
            text.refused_lines(image)))
        checks.equal(device.accepted(), b"", "the records the device holds")
    finally:
        checks.log = device.stop()


def cable_pulled(run, checks):
    """The USB interface's cable is pulled in the middle of the transfer, which the page says
    at once; plugged in again, 'Update again' updates the device."""
    # 40 records of 200 bytes, at a DIN cable's pace: the transfer lasts seconds.
    path, image = run.images.sample("TB615R_usb.led", 40 * 204, 200)
    whole = text.page_text(text.opened_line("TB615R_usb.led") + text.SEARCH_END +
                           text.device_lines(USB_PORT, USB_PORT) + text.transfer_lines(image))
    head = whole[:whole.index("Transferring")]
    interface = guest.UsbInterface()
    device = context = None
    try:
        if not checks.expect(interface.plug(), "the USB interface did not come"):
            return
        device = guest.Simulator("hw:2,0", "--din")
        context, page = run.page()
        if not checks.expect(page.start(path, USB_PORT), "the browser did not list the interface"):
            return
        first_two = sum(text.record_sizes(image)[:2])
        transferring = guest.wait_for(lambda: len(device.accepted()) >= first_two, 120)
        pulled = time.monotonic()
        checks.expect(interface.pull_cable(), "the interface was not there to pull")
        ended = page.tab.wait_until('document.body.dataset.state === "done"', 60, step=0.05)
        said = time.monotonic() - pulled
        reading = page.finish(1)
        print(f"from the pull to the page's end: {said * 1000:.0f} ms")
        checks.expect(transferring, f"the transfer never began: {reading['console']!r}")
        checks.ended(reading, "output-lost", None)
        checks.expect(reading["console"].startswith(head) and
                      reading["console"].endswith(text.render(text.OUTPUT_MISSING)),
                      f"the console text: {reading['console']!r}")
        # The page's own part is one reply wait at most (500 ms); the emulated kernel's
        # removal of the interface and the browser's notice of it make the rest.
        checks.expect(ended and said < 2, f"the page took {said:.1f} s to tell the pulled cable")

        if not checks.expect(interface.plug_cable(), "the USB interface did not come again"):
            return
        # As an owner waits for the interface to show again: a run that begins before the
        # browser lists its ports finds no device.
        if not checks.expect(page.wait_for_port(USB_PORT, 30),
                             "the browser did not list the interface again"):
            return
        before = device.accepted()
        page.tab.click("#again")
        reading = page.finish(180)
        checks.ended(reading, "updated", whole)
        checks.equal(device.accepted(), before + image,
                     "the records the device holds after the replug")
        checks.equal(before, image[:len(before)], "the records the device took before the pull")
    finally:
        if context:
            context.close()
        if device:
            checks.log = device.stop()
        interface.unplug()


def two_tabs(run, checks):
    """Two tabs of one browser, started together: one updates the device, the other finds
    its ports taken. The winner's transfer, at a DIN cable's pace, outlasts the other's search
    over the pairs left."""
    path, image = run.images.sample("TB615R_tabs.led", 280 * 204, 200)
    device = guest.Simulator("hw:1,0", "--din")
    context = guest.Context(run.browser, run.origin)
    pages = [Page(context.tab(), run.origin) for _ in range(2)]
    try:
        for page in pages:
            page.tab.open(page.url)
        starts = [threading.Thread(target=page.tab.choose_file, args=("#image-file", path))
                  for page in pages]
        for start in starts:
            start.start()
        for start in starts:
            start.join()
        guest.wait_for(lambda: any(page.state() == "done" for page in pages), 240, step=0.2)
        states = [page.state() for page in pages]
        readings = [page.finish(240) for page in pages]
        outcomes = sorted(reading["outcome"] for reading in readings)
        if not checks.equal(outcomes, ["no-device", "updated"], "the outcomes of the two tabs"):
            for number, reading in enumerate(readings, 1):
                checks.failures.append(f"tab {number}'s console:\n{reading['console']}\n"
                                       f"tab {number}'s exchange:\n{exchange(reading)}")
        if outcomes == ["no-device", "updated"]:
            winner = 0 if readings[0]["outcome"] == "updated" else 1
            checks.equal(states[winner], "running",
                         "the winner's state when the other tab ended")
            checks.ended(readings[winner], "updated", text.page_text(
                text.opened_line("TB615R_tabs.led") +
                text.SEARCH_END + text.device_lines(VIRMIDI, VIRMIDI) +
                text.transfer_lines(image)))
            checks.ended(readings[1 - winner], "no-device", text.page_text(
                text.opened_line("TB615R_tabs.led") + text.SEARCH_END + text.NO_DEVICE_FOUND))
        checks.equal(device.accepted(), image, "the records the device holds")
    finally:
        context.close()
        checks.log = device.stop()


def permission_refused(run, checks):
    path, _ = run.images.sample("TB615R_refusal.led", 1000)
    reading = run.run_page(path, 30, midi="denied")
    # Without access the program lists no port, so it searches no pair.
    checks.ended(reading, "midi-refused", text.page_text(
        text.opened_line("TB615R_refusal.led") + text.NO_DEVICE_FOUND))
    checks.equal(reading["requests"], 1, "requests for MIDI access")
    checks.equal(len(reading["sends"]), 0, "messages sent")


SCENARIOS = [probe, whole_update, damaged_image, no_device, refusing_device, two_tabs,
             permission_refused, cable_pulled]


def main():
    page, out, *names = sys.argv[1:]
    chosen = [scenario for scenario in SCENARIOS if not names or scenario.__name__ in names
              or scenario is probe]
    guest.prepare_machine()
    pages = [os.path.join(os.path.dirname(os.path.abspath(__file__)), "probe.html")]
    if os.path.exists(page):
        pages.append(page)
    origin = guest.serve(pages)
    started = time.monotonic()
    browser = guest.start_browser()
    browser.call("Browser.getVersion", timeout=120)
    print(f"browser ready in {time.monotonic() - started:.1f} s")
    run = Run(browser, origin, out)
    failed = []
    for scenario in chosen:
        checks = Checks()
        checks.log = ""
        print(f"[ RUN      ] {scenario.__name__}", flush=True)
        started = time.monotonic()
        browser.console_messages()
        try:
            scenario(run, checks)
        except Exception:
            checks.failures.append(traceback.format_exc())
        took = time.monotonic() - started
        if checks.failures:
            failed.append(scenario.__name__)
            for failure in checks.failures:
                print(failure)
            print("the pages' console:\n" + "\n".join(browser.console_messages()))
            # Without a system bus Chromium complains of D-Bus all along; that is left out.
            messages = [line for line in browser.stderr if "dbus" not in line]
            print("the browser's messages:\n" + "\n".join(messages[-40:]))
            if checks.log:
                print("the simulator's log:\n" + checks.log)
            print(f"[  FAILED  ] {scenario.__name__} ({took:.1f} s)", flush=True)
        else:
            print(f"[       OK ] {scenario.__name__} ({took:.1f} s)", flush=True)
    browser.close()
    if failed:
        print("failed: " + " ".join(failed))
        return 1
    print(f"all {len(chosen)} browser scenarios passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
