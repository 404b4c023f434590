"""Headless Chromium driven through its DevTools protocol on a pipe, standard library only.

    with Chromium(["--ip-address-space-overrides=127.0.0.1:8443=public"]) as browser:
        browser.navigate("https://shop.example:8443/")
        print(browser.wait_text("#result", timeout=20))

The page runs on the real clock, as a user's would: `--dump-dom` with a time-out or a virtual
time budget stands in for that poorly (under `--timeout` the browser's permission queries were
seen never to settle). Each browser gets a fresh profile, and goes down with its whole process
group when the block ends, however it ends."""

import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # keep the source tree clean
from browser_session import BrowserSession  # noqa: E402

CHROMIUM = "chromium"  # Debian's package and program name
COMMAND_WAIT_S = 60.0
POLL_S = 0.1  # while the page target appears
# The pipe's ends as Chromium expects them in its own process: it reads fd 3, writes fd 4.
CHILD_READ_FD, CHILD_WRITE_FD = 3, 4
# Without these a fresh profile reaches out to Google's hosts at start, which this machine's
# closed network refuses.
QUIET_FLAGS = ["--no-sandbox", "--disable-gpu", "--no-first-run",
               "--disable-background-networking", "--disable-component-update",
               "--disable-sync", "--disable-quic"]


class DevToolsError(RuntimeError):
    pass


class Chromium(BrowserSession):
    """display: an X display to show a window on (a headed browser, whose prompts a user can
    answer); headless without one, where Chromium answers every prompt with Block itself."""

    def __init__(self, flags=(), binary=CHROMIUM, display=None):
        self.flags = list(flags)
        self.binary = binary
        self.display = display
        self.profile = None
        self.process = None
        self.to_browser = self.from_browser = None
        self.buffer = b""
        self.last_id = 0
        self.session = None

    def start(self):
        self.profile = tempfile.mkdtemp(prefix="talvoro-chromium-")
        child_read, self.to_browser = os.pipe()
        self.from_browser, child_write = os.pipe()

        def place_pipe():
            # dup first: os.pipe()'s ends close on exec, and may already sit on fd 3 or 4.
            read_end, write_end = os.dup(child_read), os.dup(child_write)
            os.dup2(read_end, CHILD_READ_FD)
            os.dup2(write_end, CHILD_WRITE_FD)

        self.stderr = tempfile.TemporaryFile()
        mode = ["--headless"] if self.display is None else []
        env = dict(os.environ, **({} if self.display is None else {"DISPLAY": self.display}))
        self.process = subprocess.Popen(
            [self.binary, *mode, *QUIET_FLAGS, "--remote-debugging-pipe",
             f"--user-data-dir={self.profile}", *self.flags, "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.stderr, env=env,
            preexec_fn=place_pipe, close_fds=False, start_new_session=True)
        os.close(child_read)
        os.close(child_write)
        self.session = self._attach_to_page()

    def _attach_to_page(self):
        deadline = time.monotonic() + COMMAND_WAIT_S
        while time.monotonic() < deadline:
            pages = [target for target in self.command("Target.getTargets")["targetInfos"]
                     if target["type"] == "page"]
            if pages:
                return self.command("Target.attachToTarget",
                                    {"targetId": pages[0]["targetId"], "flatten": True})[
                    "sessionId"]
            time.sleep(POLL_S)
        raise DevToolsError("Chromium opened no page")

    def close(self):
        for end in (self.to_browser, self.from_browser):
            if end is not None:
                os.close(end)
        self.to_browser = self.from_browser = None
        if self.process is not None:
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.process.wait()
            self.process = None
        if self.profile is not None:
            shutil.rmtree(self.profile, ignore_errors=True)
            self.profile = None

    def log_tail(self, chars=3000):
        """The end of what the browser wrote on stderr (its console and network errors)."""
        self.stderr.seek(0)
        return self.stderr.read().decode("utf-8", "replace")[-chars:]

    def command(self, method, params=None, session=None, timeout=COMMAND_WAIT_S):
        """Sends one command and returns its result; events in between are dropped."""
        self.last_id += 1
        message = {"id": self.last_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.to_browser, json.dumps(message).encode("utf-8") + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            while b"\0" in self.buffer:
                raw, self.buffer = self.buffer.split(b"\0", 1)
                reply = json.loads(raw)
                if reply.get("id") == self.last_id:
                    if "error" in reply:
                        raise DevToolsError(f"{method}: {reply['error']}")
                    return reply["result"]
            left = deadline - time.monotonic()
            if left <= 0:
                raise DevToolsError(f"{method}: no answer within {timeout} s")
            if select.select([self.from_browser], [], [], left)[0]:
                chunk = os.read(self.from_browser, 1 << 16)
                if not chunk:
                    raise DevToolsError(f"{method}: the browser ended\n{self.log_tail()}")
                self.buffer += chunk

    def navigate(self, url):
        result = self.command("Page.navigate", {"url": url}, self.session)
        if result.get("errorText"):
            raise DevToolsError(f"{url}: {result['errorText']}")

    def evaluate(self, expression):
        """The expression's value in the page, as JSON gives it (a promise's, once settled)."""
        result = self.command("Runtime.evaluate",
                              {"expression": expression, "returnByValue": True,
                               "awaitPromise": True}, self.session)
        if "exceptionDetails" in result:
            raise DevToolsError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def text(self, selector):
        return self.evaluate(f"(e => e ? e.textContent : null)"
                             f"(document.querySelector({json.dumps(selector)}))")
