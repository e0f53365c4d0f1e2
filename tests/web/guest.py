"""What the browser tests need inside the virtual machine of tests/alsa/run-in-vm: udev's view
of the sound cards, the loopback interface, a page server on localhost, one headless Chromium,
the device simulator on a raw MIDI node, and the USB MIDI interface to plug in and pull.
"""

import functools
import glob
import http.server
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

from devtools import Browser, Tab

SIMULATOR = "build/release/tools/device-sim/device-sim"
GADGET_BINDING = "/sys/kernel/config/usb_gadget/interface/UDC"
# Runs in every page before its own scripts: counts the requests for MIDI access, logs every
# message sent, with the page's state at that moment, and every message received, so that a test
# can time the records, tell what went out after the run had ended, and show the exchange.
INSTRUMENTS = r"""
(() => {
    const log = window.midiLog = {requests: 0, sends: [], sendsWhenDone: 0};
    const request = Navigator.prototype.requestMIDIAccess;
    Navigator.prototype.requestMIDIAccess = function (...parts) {
        log.requests += 1;
        return request.apply(this, parts);
    };
    const send = MIDIOutput.prototype.send;
    MIDIOutput.prototype.send = function (data, ...rest) {
        const handshake = data.length === 9 && data[1] === 0x53;
        log.sends.push([performance.now(), data.length, handshake, this.name]);
        if (document.body && document.body.dataset.state === "done")
            log.sendsWhenDone += 1;
        return send.call(this, data, ...rest);
    };
    log.receipts = [];
    const handler = Object.getOwnPropertyDescriptor(MIDIInput.prototype, "onmidimessage");
    Object.defineProperty(MIDIInput.prototype, "onmidimessage", {
        configurable: true,
        get() { return handler.get.call(this); },
        set(listener) {
            handler.set.call(this, listener && (event => {
                log.receipts.push([performance.now(), event.data.length, event.data[1],
                                   this.name]);
                return listener.call(this, event);
            }));
        },
    });
})();
"""


def wait_for(condition, seconds, step=0.05):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() >= deadline:
            return False
        time.sleep(step)
    return True


def prepare_machine():
    """Brings up the loopback interface and udev, which Chromium's Web MIDI needs to tell the
    sound cards' names: without it only Midi Through is listed."""
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    # The guest runs the machine's own files in a chroot, which systemd's tools refuse unless
    # told to go on.
    environment = dict(os.environ, SYSTEMD_IGNORE_CHROOT="1")
    subprocess.run(["/lib/systemd/systemd-udevd", "--daemon"], check=True, env=environment)
    subprocess.run(["udevadm", "trigger", "--action=add"], check=True, env=environment)
    subprocess.run(["udevadm", "settle", "--timeout=30"], check=True, env=environment)


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *arguments):
        pass


def serve(pages):
    """Serves the files PAGES (paths) from a scratch folder on localhost; gives the origin."""
    folder = tempfile.mkdtemp(prefix="pages-")
    for page in pages:
        shutil.copy(page, folder)
    handler = functools.partial(_QuietHandler, directory=folder)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return f"http://localhost:{server.server_address[1]}"


def start_browser():
    # As root Chromium needs --no-sandbox; the machine's network is closed, so whatever would
    # reach out to the network is turned off, and each boot starts from an empty profile.
    profile = tempfile.mkdtemp(prefix="chromium-")
    return Browser([
        "chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
        "--no-first-run", "--disable-background-networking", "--disable-component-update",
        "--disable-sync", "--window-size=900,760", f"--user-data-dir={profile}",
        "--remote-debugging-pipe", "about:blank"
    ])


class Context:
    """A browser context of its own, as a new profile: its permissions, locks and tabs."""

    def __init__(self, browser, origin, midi="granted"):
        self.browser = browser
        self.identifier = browser.call("Target.createBrowserContext")["browserContextId"]
        # What an owner's click on the browser's question grants (or refuses).
        browser.call("Browser.setPermission", {
            "permission": {"name": "midi", "sysex": True}, "setting": midi, "origin": origin,
            "browserContextId": self.identifier})

    def tab(self):
        tab = Tab(self.browser, self.identifier)
        tab.add_script(INSTRUMENTS)
        return tab

    def close(self):
        self.browser.call("Target.disposeBrowserContext", {"browserContextId": self.identifier})


class Simulator:
    """The device, played by the simulator on a raw MIDI node until stopped."""

    def __init__(self, node, *arguments):
        self.folder = tempfile.mkdtemp(prefix="device-")
        self.accepted_path = os.path.join(self.folder, "accepted")
        self.log_path = os.path.join(self.folder, "log")
        with open(self.log_path, "w") as log:
            self.process = subprocess.Popen(
                [SIMULATOR, "--rawmidi", node, "--accepted", self.accepted_path, *arguments],
                stdout=log, stderr=subprocess.STDOUT)
        if not wait_for(lambda: "device-sim: ready\n" in self.log(), 10):
            raise RuntimeError("the simulator did not start: " + self.stop())

    def log(self):
        with open(self.log_path) as log:
            return log.read()

    def accepted(self):
        """The records the device holds, in the order it accepted them."""
        try:
            with open(self.accepted_path, "rb") as file:
                return file.read()
        except FileNotFoundError:
            return b""

    def stop(self):
        """Stops the simulator; gives its log."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return self.log()


def _sequencer_clients():
    with open("/proc/asound/seq/clients") as listing:
        return listing.read()


def _interface_listed():
    return '"KELVORIN TV615R MIDI 1"' in _sequencer_clients()


def _no_browser_midi():
    """True once Chromium has let go of the sequencer, as it does when no page holds MIDI."""
    return '"Chrome (' not in _sequencer_clients()


class UsbInterface:
    """The USB MIDI gadget of tests/alsa/guest-init, plugged in while no page holds MIDI
    access, its cable then pulled and plugged in again on the machine's side.

    Chromium subscribes to every sequencer port it meets: its subscription to the gadget's own
    port "f_midi" would take the raw node that the simulator must hold, and when the simulator
    has the node first, Chromium 156's browser process dies (SIGILL) once the gadget's card goes
    while Chromium is listening to the sequencer. The gadget's card plays the device's end of
    the cable, no part of an owner's machine: so the simulator takes the node before a page
    asks for MIDI, the cable is pulled where the owner pulls it, by the machine's USB host
    refusing the device (its authorized flag), and the gadget is unplugged only once no page
    holds MIDI."""

    def plug(self):
        """Plugs the gadget in; true once the interface's port is listed. No page may hold MIDI
        access then."""
        # The cards of an earlier plug must have gone, their numbers being fixed.
        if not wait_for(lambda: not os.path.exists("/proc/asound/card0")
                        and not os.path.exists("/proc/asound/card2") and _no_browser_midi(),
                        10):
            return False
        with open(GADGET_BINDING, "w") as binding:
            binding.write("dummy_udc.0\n")
        return wait_for(lambda: os.path.exists("/dev/snd/midiC2D0") and _interface_listed(), 10)

    def _authorize(self, allowed):
        for product in glob.glob("/sys/bus/usb/devices/*/product"):
            with open(product) as name:
                if name.read().strip() == "KELVORIN TV615R":
                    with open(os.path.join(os.path.dirname(product), "authorized"), "w") as flag:
                        flag.write("1\n" if allowed else "0\n")
                    return True
        return False

    def pull_cable(self):
        return self._authorize(False)

    def plug_cable(self):
        """Plugs the cable in again; true once the interface's port is listed again."""
        return self._authorize(True) and wait_for(_interface_listed, 10)

    def unplug(self):
        """Takes the gadget away, once no page holds MIDI access."""
        wait_for(_no_browser_midi, 10)
        try:
            with open(GADGET_BINDING, "w") as binding:
                binding.write("\n")
        except OSError:
            pass  # not plugged in
