"""Headless Chromium driven over the DevTools protocol on a pipe (the
browser's --remote-debugging-pipe: JSON messages ending in a NUL byte on file
descriptors 3 and 4), so the tests need no client library.

`open_page(path)` loads a file with the network off and returns what the
page did: every request it made, every error it logged or threw, and the
value of a JavaScript expression evaluated once its figures have rendered.
"""

from __future__ import annotations

import json
import os
import select
import shutil
import subprocess
import tempfile
import time
from dataclasses import dataclass, field

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")

FLAGS = [
    "--headless=new", "--disable-gpu", "--no-first-run", "--no-default-browser-check",
    "--disable-extensions", "--disable-background-networking", "--disable-component-update",
    "--disable-sync", "--disable-dev-shm-usage", "--mute-audio",
    # The network is off: no name resolves and every proxied request goes
    # to a closed port.
    "--host-resolver-rules=MAP * ~NOTFOUND", "--proxy-server=http://127.0.0.1:9",
    "--proxy-bypass-list=<-loopback>",
]


class BrowserError(RuntimeError):
    pass


@dataclass
class Page:
    requests: list = field(default_factory=list)   # URLs the page asked for
    errors: list = field(default_factory=list)     # console errors, exceptions, log errors
    result: object = None                           # the expression's value


class _Pipe:
    def __init__(self, to_browser: int, from_browser: int):
        self.to_browser, self.from_browser = to_browser, from_browser
        self.buffer = b""
        self.next_id = 0
        self.events: list = []

    def send(self, method: str, params=None, session=None) -> int:
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session is not None:
            message["sessionId"] = session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        return self.next_id

    def receive(self, deadline: float):
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.from_browser], [], [], left)[0]:
                raise BrowserError("the browser did not answer in time")
            chunk = os.read(self.from_browser, 1 << 20)
            if not chunk:
                raise BrowserError("the browser closed its pipe")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method: str, params=None, session=None, timeout=30.0):
        wanted = self.send(method, params, session)
        deadline = time.monotonic() + timeout
        while True:
            message = self.receive(deadline)
            if message.get("id") == wanted:
                if "error" in message:
                    raise BrowserError(f"{method}: {message['error']}")
                return message.get("result", {})
            self.events.append(message)

    def wait_for(self, method: str, timeout=30.0):
        deadline = time.monotonic() + timeout
        for k, message in enumerate(self.events):
            if message.get("method") == method:
                return message
        while True:
            message = self.receive(deadline)
            self.events.append(message)
            if message.get("method") == method:
                return message


def _errors_and_requests(events, page: Page):
    for e in events:
        method, params = e.get("method"), e.get("params", {})
        if method == "Network.requestWillBeSent":
            page.requests.append(params["request"]["url"])
        elif method == "Runtime.exceptionThrown":
            details = params["exceptionDetails"]
            page.errors.append(details.get("exception", {}).get("description")
                               or details.get("text"))
        elif method == "Runtime.consoleAPICalled" and params["type"] in ("error", "assert"):
            page.errors.append(" ".join(str(a.get("value", a.get("description")))
                                        for a in params["args"]))
        elif method == "Log.entryAdded" and params["entry"]["level"] == "error":
            page.errors.append(params["entry"]["text"])


def open_page(path, expression: str, ready: str = "true", timeout=60.0) -> Page:
    """Loads `path` (a file) in headless Chromium with the network off, waits
    for its load event and then until the JavaScript `ready` is true, and
    evaluates `expression` (its value must be JSON)."""
    if CHROMIUM is None:
        raise BrowserError("chromium is not installed")
    url = "file://" + os.path.abspath(os.fspath(path))
    to_browser_r, to_browser_w = os.pipe()
    from_browser_r, from_browser_w = os.pipe()

    def descriptors():  # in the child: its fds 3 and 4 are the pipe's ends
        low = [os.dup(to_browser_r), os.dup(from_browser_w)]  # neither is 3 or 4 then
        for fd, wanted in zip(low, (3, 4)):
            os.dup2(fd, wanted)
            os.set_inheritable(wanted, True)

    with tempfile.TemporaryDirectory(prefix="quorra-chromium-") as profile:
        flags = FLAGS + [f"--user-data-dir={profile}", "--remote-debugging-pipe"]
        if os.geteuid() == 0:
            flags.append("--no-sandbox")  # Chromium refuses its sandbox as root
        proc = subprocess.Popen([CHROMIUM, *flags, "about:blank"], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                preexec_fn=descriptors, close_fds=False)
        os.close(to_browser_r)
        os.close(from_browser_w)
        pipe = _Pipe(to_browser_w, from_browser_r)
        try:
            target = pipe.call("Target.createTarget", {"url": "about:blank"}, timeout=timeout)
            session = pipe.call("Target.attachToTarget",
                                {"targetId": target["targetId"], "flatten": True})["sessionId"]
            for domain in ("Page", "Runtime", "Log", "Network"):
                pipe.call(f"{domain}.enable", session=session)
            pipe.call("Network.emulateNetworkConditions",
                      {"offline": True, "latency": 0, "downloadThroughput": -1,
                       "uploadThroughput": -1}, session=session)
            pipe.events.clear()
            pipe.call("Page.navigate", {"url": url}, session=session)
            pipe.wait_for("Page.loadEventFired", timeout=timeout)
            deadline = time.monotonic() + timeout
            while not _evaluate(pipe, session, f"Boolean({ready})"):
                if time.monotonic() > deadline:
                    raise BrowserError(f"the page was not ready: {ready}")
                time.sleep(0.1)
            page = Page(result=_evaluate(pipe, session, expression))
            time.sleep(0.2)  # late console messages
            _evaluate(pipe, session, "0")
            _errors_and_requests(pipe.events, page)
            try:
                pipe.call("Browser.close", timeout=10)
            except BrowserError:
                pass
            return page
        finally:
            os.close(to_browser_w)
            os.close(from_browser_r)
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


def _evaluate(pipe: _Pipe, session: str, expression: str):
    out = pipe.call("Runtime.evaluate", {"expression": expression, "returnByValue": True},
                    session=session)
    if "exceptionDetails" in out:
        raise BrowserError(f"{expression}: {out['exceptionDetails']}")
    return out["result"].get("value")
