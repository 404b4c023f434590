"""A small Marionette client for headless Firefox, standard library only.

    with Firefox(prefs={"permissions.default.loopback-network": 1}) as fx:
        fx.navigate("https://shop.example:8443/")
        print(fx.wait_text("#result", timeout=20))

Each Firefox runs on a fresh profile in a temporary folder, with a user.js that keeps it quiet
and offline (no updates, telemetry, first-run pages or connectivity checks) and puts Marionette
on a free loopback port. The browser and all its helper processes go down with its process
group when the block ends, however it ends."""

import contextlib
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # keep the source tree clean
from browser_session import BrowserSession  # noqa: E402
from tunnel_setup import free_loopback_port  # noqa: E402

FIREFOX = "firefox-esr"  # Debian's package and program name
START_WAIT_S = 60.0
COMMAND_WAIT_S = 60.0
QUIT_WAIT_S = 10.0

# Firefox phones home in many ways on a fresh profile; each of these shuts one off, so that a
# run stays on this machine and nothing but the page under test reaches the network.
QUIET_PREFS = {
    "app.update.disabledForTesting": True,
    "app.update.auto": False,
    "app.normandy.enabled": False,
    "app.shield.optoutstudies.enabled": False,
    "messaging-system.rsexperimentloader.enabled": False,
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.page": 0,
    "browser.startup.homepage": "about:blank",
    "browser.startup.homepage_override.mstone": "ignore",
    "startup.homepage_welcome_url": "about:blank",
    "startup.homepage_welcome_url.additional": "",
    "browser.aboutwelcome.enabled": False,
    "browser.newtabpage.enabled": False,
    "browser.newtabpage.activity-stream.feeds.system.topstories": False,
    "browser.newtabpage.activity-stream.feeds.snippets": False,
    "browser.ping-centre.telemetry": False,
    "browser.safebrowsing.malware.enabled": False,
    "browser.safebrowsing.phishing.enabled": False,
    "browser.safebrowsing.downloads.enabled": False,
    "browser.safebrowsing.provider.mozilla.updateURL": "",
    "browser.search.update": False,
    "browser.region.network.url": "",
    "browser.region.update.enabled": False,
    "browser.tabs.warnOnClose": False,
    "browser.sessionstore.resume_from_crash": False,
    "datareporting.policy.dataSubmissionEnabled": False,
    "datareporting.healthreport.uploadEnabled": False,
    "toolkit.telemetry.enabled": False,
    "toolkit.telemetry.unified": False,
    "toolkit.telemetry.server": "",
    "toolkit.startup.max_resumed_crashes": -1,
    "extensions.update.enabled": False,
    "extensions.blocklist.enabled": False,
    "extensions.getAddons.cache.enabled": False,
    "services.settings.server": "data:,#offline",
    "network.captive-portal-service.enabled": False,
    "network.connectivity-service.enabled": False,
    "network.dns.disablePrefetch": True,
    "network.prefetch-next": False,
    "network.http.speculative-parallel-limit": 0,
    "network.proxy.type": 0,
    "dom.push.connection.enabled": False,
    "geo.provider.network.url": "",
    "media.gmp-manager.url": "",
    "security.OCSP.enabled": 0,
}


class MarionetteError(RuntimeError):
    """An error reply: `error` is WebDriver's error name, such as "javascript error"."""

    def __init__(self, error, message):
        super().__init__(f"{error}: {message}")
        self.error = error


def live_members(group):
    """Pids of the processes of process group `group` that are not yet zombies."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", encoding="utf-8", errors="replace") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == group and fields[0] != "Z":  # fields: state, ppid, pgrp, ...
            found.append(int(entry))
    return found


def user_js(prefs):
    return "".join(f"user_pref({json.dumps(name)}, {json.dumps(value)});\n"
                   for name, value in prefs.items())


class Firefox(BrowserSession):
    """Headless Firefox driven over Marionette.

    prefs: more preferences for user.js (they win over the quiet ones).
    capabilities: more of the session's alwaysMatch capabilities.
    profile_setup: called with the profile folder before the browser starts (a certificate
        database, for one).
    system_access: allows the chrome context (`execute(..., chrome=True)`)."""

    def __init__(self, prefs=None, capabilities=None, profile_setup=None, system_access=False,
                 binary=FIREFOX, env=None):
        self.prefs = {**QUIET_PREFS, **(prefs or {})}
        self.capabilities = {"acceptInsecureCerts": True, **(capabilities or {})}
        self.profile_setup = profile_setup
        self.system_access = system_access
        self.binary = binary
        self.env = env
        self.folder = None
        self.process = None
        self.sock = None
        self.buffer = b""
        self.next_id = 0
        self.log_path = None

    # --- the browser's life ---------------------------------------------------------------

    def start(self):
        self.folder = tempfile.mkdtemp(prefix="talvoro-firefox-")
        profile = os.path.join(self.folder, "profile")
        os.mkdir(profile)
        port = free_loopback_port()
        with open(os.path.join(profile, "user.js"), "w", encoding="utf-8") as out:
            out.write(user_js({**self.prefs, "marionette.port": port}))
        if self.profile_setup:
            self.profile_setup(profile)
        command = [self.binary, "--headless", "--marionette", "--no-remote", "--profile", profile]
        if self.system_access:
            command.append("--remote-allow-system-access")
        self.log_path = os.path.join(self.folder, "firefox.log")
        env = dict(self.env if self.env is not None else os.environ, MOZ_CRASHREPORTER_DISABLE="1")
        with open(self.log_path, "wb") as log:
            # A session of its own: the browser's helper processes go down with its group.
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT, env=env,
                                            start_new_session=True)
        self.sock = self._connect(port)
        self._read_message(START_WAIT_S)  # the greeting: {"applicationType": ..., ...}
        # Marionette takes the capabilities themselves, already matched (no alwaysMatch).
        self.command("WebDriver:NewSession", self.capabilities, START_WAIT_S)

    def _connect(self, port):
        deadline = time.monotonic() + START_WAIT_S
        while True:
            if self.process.poll() is not None:
                raise RuntimeError(f"firefox exited with {self.process.returncode}: "
                                   f"{self.log_tail()}")
            try:
                return socket.create_connection(("127.0.0.1", port), timeout=1.0)
            except OSError:
                if time.monotonic() >= deadline:
                    raise RuntimeError(f"no Marionette on port {port} within {START_WAIT_S} s: "
                                       f"{self.log_tail()}") from None
                time.sleep(0.1)

    def close(self):
        """Quits the browser, then kills whatever is left of its process group."""
        if self.sock is not None:
            with contextlib.suppress(OSError, RuntimeError):
                self.command("Marionette:Quit", {"flags": ["eForceQuit"]}, QUIT_WAIT_S)
            self.sock.close()
            self.sock = None
        if self.process is not None:
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.process.wait(QUIT_WAIT_S)
            group = self.process.pid
            with contextlib.suppress(ProcessLookupError, PermissionError):
                os.killpg(group, signal.SIGKILL)
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.process.wait(QUIT_WAIT_S)
            # The helpers are orphans by now: whoever adopted them reaps them, so wait only
            # until none of them runs any more.
            deadline = time.monotonic() + QUIT_WAIT_S
            while live_members(group) and time.monotonic() < deadline:
                time.sleep(0.05)
            self.process = None
        if self.folder is not None:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None

    def log_tail(self, chars=3000):
        try:
            with open(self.log_path, "rb") as log:
                return log.read().decode("utf-8", "replace")[-chars:]
        except (OSError, TypeError):
            return ""

    # --- the protocol: LENGTH:JSON, [0, id, name, params] out, [1, id, error, result] in ----

    def _read_message(self, timeout):
        deadline = time.monotonic() + timeout
        while True:
            head, colon, rest = self.buffer.partition(b":")
            if colon:
                size = int(head)
                if len(rest) >= size:
                    self.buffer = rest[size:]
                    return json.loads(rest[:size])
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no reply from Marionette within {timeout} s")
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                raise RuntimeError(f"Marionette closed the connection: {self.log_tail()}")
            self.buffer += chunk

    def command(self, name, params=None, timeout=COMMAND_WAIT_S):
        self.next_id += 1
        body = json.dumps([0, self.next_id, name, params or {}]).encode("utf-8")
        self.sock.sendall(str(len(body)).encode("ascii") + b":" + body)
        while True:
            reply = self._read_message(timeout)
            if reply[0] == 1 and reply[1] == self.next_id:
                break  # anything else is a late reply to a command that timed out
        error, result = reply[2], reply[3]
        if error:
            raise MarionetteError(error.get("error"), error.get("message"))
        if isinstance(result, dict) and set(result) == {"value"}:
            return result["value"]
        return result

    # --- what a test does ------------------------------------------------------------------

    def set_context(self, chrome):
        self.command("Marionette:SetContext", {"value": "chrome" if chrome else "content"})

    def navigate(self, url, timeout=COMMAND_WAIT_S):
        self.command("WebDriver:Navigate", {"url": url}, timeout)

    def execute(self, script, args=(), timeout=COMMAND_WAIT_S, chrome=False):
        """Runs a function body; its `return` value comes back."""
        return self._script("WebDriver:ExecuteScript", script, args, timeout, chrome)

    def execute_async(self, script, args=(), timeout=COMMAND_WAIT_S, chrome=False):
        """Runs a function body whose last argument is the callback that ends it:
        `arguments[arguments.length - 1](value)`."""
        return self._script("WebDriver:ExecuteAsyncScript", script, args, timeout, chrome)

    def _script(self, name, script, args, timeout, chrome):
        if chrome:
            self.set_context(True)
        try:
            # Marionette's own script time-out, then a little more for the reply to come.
            self.command("WebDriver:SetTimeouts", {"script": int(timeout * 1000)})
            return self.command(name, {"script": script, "args": list(args)}, timeout + 5)
        finally:
            if chrome:
                self.set_context(False)

    def text(self, selector):
        """The element's textContent (hidden ones too), or None when there is none yet."""
        try:
            return self.execute("const e = document.querySelector(arguments[0]);"
                                "return e ? e.textContent : null;", [selector])
        except MarionetteError:
            return None  # a page between two documents
