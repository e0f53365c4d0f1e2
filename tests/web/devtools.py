"""A small client of Chromium's DevTools protocol over --remote-debugging-pipe.

Chromium reads commands from its descriptor 3 and writes answers and events to its descriptor
4, each message a JSON text ended by a NUL byte. No port is opened, so nothing else on the
machine can reach the browser.
"""

import base64
import json
import os
import subprocess
import threading
import time


class DevToolsError(Exception):
    pass


class Browser:
    """One Chromium process; commands go to the browser or, with a session, to one tab."""

    def __init__(self, command):
        commands_read, self._commands = os.pipe()
        self._answers, answers_write = os.pipe()

        def descriptors():
            os.dup2(commands_read, 3)
            os.dup2(answers_write, 4)

        self.process = subprocess.Popen(command, preexec_fn=descriptors, close_fds=False,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE)
        os.close(commands_read)
        os.close(answers_write)
        self._lock = threading.Condition()
        self._next_id = 0
        self._answered = {}
        self._closed = False
        self.events = []
        self.stderr = []
        threading.Thread(target=self._read_answers, daemon=True).start()
        threading.Thread(target=self._read_stderr, daemon=True).start()

    def _read_answers(self):
        pending = b""
        while True:
            chunk = os.read(self._answers, 1 << 16)
            if not chunk:
                break
            pending += chunk
            *messages, pending = pending.split(b"\0")
            with self._lock:
                for text in messages:
                    message = json.loads(text)
                    if "id" in message:
                        self._answered[message["id"]] = message
                    else:
                        self.events.append(message)
                self._lock.notify_all()
        with self._lock:
            self._closed = True
            self._lock.notify_all()

    def _read_stderr(self):
        for line in self.process.stderr:
            self.stderr.append(line.decode(errors="replace").rstrip("\n"))

    def call(self, method, params=None, session=None, timeout=30):
        with self._lock:
            self._next_id += 1
            number = self._next_id
        message = {"id": number, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._commands, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        with self._lock:
            while number not in self._answered:
                left = deadline - time.monotonic()
                if self._closed or left <= 0:
                    raise DevToolsError(f"{method}: no answer"
                                        f"{' (the browser has gone)' if self._closed else ''}")
                self._lock.wait(left)
            answer = self._answered.pop(number)
        if "error" in answer:
            raise DevToolsError(f"{method}: {answer['error'].get('message')}")
        return answer.get("result", {})

    def wait_for_event(self, method, session=None, timeout=30):
        """The first event METHOD of SESSION not yet taken, removed from the list."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while True:
                for index, event in enumerate(self.events):
                    if event["method"] == method and event.get("sessionId") == session:
                        return self.events.pop(index)
                left = deadline - time.monotonic()
                if self._closed or left <= 0:
                    raise DevToolsError(f"no event {method}")
                self._lock.wait(left)

    def take_events(self, session):
        """The events of SESSION so far, removed from the list."""
        with self._lock:
            taken = [event for event in self.events if event.get("sessionId") == session]
            self.events = [event for event in self.events if event.get("sessionId") != session]
        return taken

    def console_messages(self):
        """What the pages wrote to their consoles and the exceptions they did not catch, since
        the last call; the other events go too."""
        with self._lock:
            events, self.events = self.events, []
        lines = []
        for event in events:
            if event["method"] == "Runtime.consoleAPICalled":
                values = [str(argument.get("value", argument.get("description", "")))
                          for argument in event["params"]["args"]]
                lines.append(f"console.{event['params']['type']}: {' '.join(values)}")
            elif event["method"] == "Runtime.exceptionThrown":
                details = event["params"]["exceptionDetails"]
                lines.append("exception: " + (details.get("exception", {}).get("description")
                                              or details.get("text", "")))
        return lines

    def close(self):
        try:
            self.call("Browser.close", timeout=10)
        except DevToolsError:
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class Tab:
    """A page in a browser context, reached through a flat session."""

    def __init__(self, browser, context):
        self.browser = browser
        self.target = browser.call("Target.createTarget",
                                   {"url": "about:blank", "browserContextId": context})["targetId"]
        self.session = browser.call("Target.attachToTarget",
                                    {"targetId": self.target, "flatten": True})["sessionId"]
        self.call("Page.enable")
        self.call("Runtime.enable")

    def call(self, method, params=None, timeout=30):
        return self.browser.call(method, params, session=self.session, timeout=timeout)

    def add_script(self, source):
        """Runs SOURCE in every document this tab loads, before the page's own scripts."""
        self.call("Page.addScriptToEvaluateOnNewDocument", {"source": source})

    def open(self, url):
        self.browser.take_events(self.session)
        self.call("Page.navigate", {"url": url})
        self.browser.wait_for_event("Page.loadEventFired", self.session, timeout=60)

    def evaluate(self, expression, timeout=30):
        """The value of EXPRESSION (awaited when it is a promise), as JSON brings it over."""
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True}, timeout=timeout)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            raise DevToolsError(details.get("exception", {}).get("description")
                                or details.get("text"))
        return result["result"].get("value")

    def choose_file(self, selector, path):
        """Sets the file input SELECTOR to PATH, as a user's choice in the file chooser does."""
        found = self.call("Runtime.evaluate",
                          {"expression": f"document.querySelector('{selector}')"})
        self.call("DOM.setFileInputFiles",
                  {"files": [path], "objectId": found["result"]["objectId"]})

    def click(self, selector):
        self.evaluate(f"document.querySelector('{selector}').click()")

    def wait_until(self, expression, timeout, step=0.2):
        """Waits until EXPRESSION is true in the page; false when TIMEOUT seconds pass first."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.evaluate(expression):
                return True
            time.sleep(step)
        return False

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": True})
        with open(path, "wb") as file:
            file.write(base64.b64decode(data["data"]))

    def close(self):
        try:
            self.browser.call("Target.closeTarget", {"targetId": self.target})
        except DevToolsError:
            pass
