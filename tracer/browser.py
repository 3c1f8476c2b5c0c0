# SPDX-License-Identifier: MIT
"""Drives Debian's chromium, headless, over the DevTools protocol (with
python3-websocket): open a page, press keys, click, read what it shows,
take a screenshot, and keep what the page raised and asked for."""

import base64
import importlib.util
import itertools
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.request

CHROMIUM = "/usr/bin/chromium"
FLAGS = [
    "--headless=new",
    "--no-sandbox",  # chromium refuses to run as root with its sandbox
    "--disable-gpu",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--remote-debugging-port=0",
]
KEYS = {"ArrowRight": 39, "ArrowLeft": 37, "Home": 36, "End": 35}


class BrowserError(Exception):
    """chromium did not do what it was asked."""


def available():
    """Whether chromium and the websocket module are here."""
    return os.access(CHROMIUM, os.X_OK) and importlib.util.find_spec("websocket")


class Browser:
    def __init__(self, width=1600, height=1000):
        # Its profile, and the singleton folders it makes in the temporary
        # folder, all in one folder of ours, removed at the end.
        self.home = tempfile.mkdtemp(prefix="chromium-")
        self.process = subprocess.Popen(
            [
                CHROMIUM,
                *FLAGS,
                f"--user-data-dir={os.path.join(self.home, 'profile')}",
                f"--window-size={width},{height}",
                "about:blank",
            ],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
            start_new_session=True,
            env=dict(os.environ, TMPDIR=self.home),
        )
        self.socket = None
        try:
            self.connect()
        except BaseException:
            self.close()
            raise

    def connect(self):
        import websocket

        port = self.devtools_port()
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list") as f:
            page = next(t for t in json.load(f) if t["type"] == "page")
        self.socket = websocket.create_connection(
            page["webSocketDebuggerUrl"], timeout=20
        )
        self.ids = itertools.count(1)
        self.events = []
        for domain in ("Page", "Runtime", "Log", "Network"):
            self.send(f"{domain}.enable")

    def devtools_port(self):
        # The Debian wrapper says other things on stderr first.
        for line in self.process.stderr:
            m = re.search(r"DevTools listening on ws://[^:]+:(\d+)/", line)
            if m:
                return int(m.group(1))
        raise BrowserError("chromium did not start its DevTools server")

    def send(self, method, **params):
        """Calls a DevTools method; its result. Events that come meanwhile
        are kept in self.events."""
        number = next(self.ids)
        self.socket.send(json.dumps({"id": number, "method": method, "params": params}))
        while True:
            message = json.loads(self.socket.recv())
            if message.get("id") == number:
                if "error" in message:
                    raise BrowserError(f"{method}: {message['error']}")
                return message.get("result", {})
            self.events.append(message)

    def evaluate(self, expression):
        result = self.send(
            "Runtime.evaluate", expression=expression, returnByValue=True
        )
        if "exceptionDetails" in result:
            raise BrowserError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def open(self, url, ready="document.body && document.body.dataset.ready === '1'"):
        """Opens a page and waits until `ready` holds; seconds it took."""
        started = time.monotonic()
        self.send("Page.navigate", url=url)
        while not self.evaluate(ready):
            if time.monotonic() - started > 20:
                raise BrowserError(f"{url} never became ready")
            time.sleep(0.01)
        return time.monotonic() - started

    def size(self, width, height):
        """Shows pages as a window of this size would."""
        self.send(
            "Emulation.setDeviceMetricsOverride",
            width=width,
            height=height,
            deviceScaleFactor=1,
            mobile=False,
        )

    def key(self, name):
        code = KEYS[name]
        for kind in ("rawKeyDown", "keyUp"):
            self.send(
                "Input.dispatchKeyEvent",
                type=kind,
                key=name,
                code=name,
                windowsVirtualKeyCode=code,
                nativeVirtualKeyCode=code,
            )

    def click_at(self, x, y):
        for kind in ("mousePressed", "mouseReleased"):
            self.send(
                "Input.dispatchMouseEvent",
                type=kind,
                x=x,
                y=y,
                button="left",
                clickCount=1,
            )

    def click(self, selector, across=0.5):
        """Clicks an element, `across` of the way along its width."""
        box = self.evaluate(
            f"(() => {{ const r = document.querySelector({json.dumps(selector)})"
            ".getBoundingClientRect(); return [r.left, r.top, r.width, r.height]; })()"
        )
        self.click_at(box[0] + box[2] * across, box[1] + box[3] / 2)

    def screenshot(self, path):
        shot = self.send("Page.captureScreenshot", format="png")
        with open(path, "wb") as f:
            f.write(base64.b64decode(shot["data"]))

    def problems(self):
        """What the page raised or logged as an error."""
        found = []
        for e in self.events:
            params = e.get("params", {})
            if e.get("method") == "Runtime.exceptionThrown":
                found.append(params["exceptionDetails"].get("text", "exception"))
            elif (
                e.get("method") == "Runtime.consoleAPICalled"
                and params.get("type") == "error"
            ):
                found.append(str(params.get("args")))
            elif (
                e.get("method") == "Log.entryAdded"
                and params["entry"]["level"] == "error"
            ):
                found.append(params["entry"]["text"])
        return found

    def requests(self):
        """Every URL the page asked for."""
        return [
            e["params"]["request"]["url"]
            for e in self.events
            if e.get("method") == "Network.requestWillBeSent"
        ]

    def close(self):
        try:
            if self.socket is not None:
                self.socket.close()
        finally:
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.process.wait()
            shutil.rmtree(self.home, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
