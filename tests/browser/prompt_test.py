#!/usr/bin/env python3
"""The browser's Local Network Access prompt, answered as a user answers it. A public https page
of shop.example, with no policy for it, calls the real service with web/macaddress.js; the
browser shows its prompt and holds the request. The test answers the prompt itself: in a headed
Chromium on a virtual X display (Xvfb) by a mouse click on the prompt's button (xdotool), and in
headless Firefox ESR by clicking the prompt's button element through Marionette's chrome
context; both are the browser's own prompt and its own handling of the answer.

Each answer comes only after the call's time-out has passed, so a call that did not wait for the
user would already have failed:
- Allow: the same call resolves with this host's address;
- Block: the call rejects with LOCAL_ACCESS_BLOCKED at once;
- no answer: LOCAL_ACCESS_BLOCKED once promptWaitMs has passed, not at the time-out;
- the service stopped: the call settles within its time-out, not promptWaitMs.

Not shown here: Chromium's headless mode answers every prompt with Block on its own, so the
Chromium cases need the headed browser; the prompt's position is that of this Chromium with the
window geometry set below, and the test says so when it finds no prompt there.
Usage: prompt_test.py EXE MACPARAM"""

import json
import os
import struct
import subprocess
import sys
import time
from collections import namedtuple

sys.dont_write_bytecode = True  # keep the source tree clean
import private_host  # noqa: E402
from browser_test import page_server, read_web, serve_over_tls  # noqa: E402
from checks import check  # noqa: E402
from chromium_devtools import Chromium, DevToolsError  # noqa: E402
from live_service import LiveService, encode  # noqa: E402
from marionette import Firefox, MarionetteError  # noqa: E402

SITE = "shop.example"
TIMEOUT_MS = 3000
ANSWERED_WAIT_MS = 30000  # the wait of a call whose prompt is answered: never reached
UNANSWERED_WAIT_MS = 8000
ANSWER_AFTER_MS = TIMEOUT_MS + 500  # past the time-out, so only a waiting call can succeed
PERMISSION_READ_MS = 1000  # the client's bound on its permission query
PROMPT_WAIT_S = 20.0  # until the prompt shows: a browser start and a page load
RESULT_WAIT_S = 45.0

# The page starts one call at load, as a site may, and shows what it settled to.
PAGE = """<!doctype html>
<html><head><title>shop</title><script src="/macaddress.js"></script></head>
<body><pre id="result">waiting</pre>
<script>
window.callStart = performance.now();
TalvoroMac.getMacAddress({param: PARAM, timeoutMs: TIMEOUT_MS, promptWaitMs: WAIT_MS}).then(
  value => ({value}),
  error => ({code: error.code, permission: error.permission, message: error.message})
).then(result => {
  result.ms = Math.round(performance.now() - window.callStart);
  document.getElementById("result").textContent = JSON.stringify(result);
});
</script></body></html>
"""
ELAPSED = "Math.round(performance.now() - window.callStart)"

# answer: "allow", "block" or None; expect: the fields the result must have.
Case = namedtuple("Case", "browser answer service wait expect")

# Headed Chromium's prompt, for a window at 0,0 of 1000x800: its Block and Allow buttons, and a
# point inside each button beside its label, pale blue there (the page below is white, and an
# empty screen black).
CHROMIUM_WINDOW = ["--window-position=0,0", "--window-size=1000,800"]
CHROMIUM_BUTTONS = {"block": (306, 241), "allow": (385, 241)}
CHROMIUM_BUTTON_PADDING = [(277, 241), (356, 241)]

# Firefox's prompt is a popup notification of the browser window.
FIREFOX_PROMPT = "loopback-network-notification"
FIREFOX_PROMPT_SHOWN = f"""
const n = document.getElementById("{FIREFOX_PROMPT}");
return Boolean(n && !n.hidden && PopupNotifications.panel.state === "open");"""
FIREFOX_BUTTONS = {"allow": "button", "block": "secondaryButton"}


def cases(address):
    blocked = {"code": "LOCAL_ACCESS_BLOCKED"}
    return [Case(browser, answer, service, wait, expect)
            for browser in ("chromium", "firefox")
            for answer, service, wait, expect in [
                ("allow", "running", ANSWERED_WAIT_MS, {"value": address}),
                ("block", "running", ANSWERED_WAIT_MS, {**blocked, "permission": "denied"}),
                (None, "running", UNANSWERED_WAIT_MS, {**blocked, "permission": "prompt"}),
                (None, "stopped", ANSWERED_WAIT_MS, {**blocked, "permission": "prompt"})]]


def describe(case):
    what = f"answered {case.answer}" if case.answer else "not answered"
    return f"{case.browser}: prompt {what}, service {case.service}"


class VirtualDisplay:
    """Xvfb on a display number of its own, its screen kept in a file that can be read."""

    def __init__(self, folder):
        self.folder = folder
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x900x24",
             "-fbdir", folder, "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            number = pipe.readline().strip()
        if not number:
            self.close()
            raise RuntimeError("Xvfb did not start")
        self.name = f":{number}"

    def pixel(self, x, y):
        """The screen's colour at x, y, from the XWD image Xvfb keeps of it."""
        with open(os.path.join(self.folder, "Xvfb_screen0"), "rb") as screen:
            head = struct.unpack(">25I", screen.read(100))
            size, order, bits, line, colours = head[0], head[7], head[11], head[12], head[19]
            screen.seek(size + colours * 12 + y * line + x * bits // 8)
            value = int.from_bytes(screen.read(bits // 8), "little" if order == 0 else "big")
        return (value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF

    def click(self, x, y):
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], check=True,
                       env=dict(os.environ, DISPLAY=self.name), timeout=30)

    def close(self):
        self.process.kill()
        self.process.wait()


def chromium_prompt_shown(display):
    colours = [display.pixel(x, y) for x, y in CHROMIUM_BUTTON_PADDING]
    red, green, blue = colours[0]
    return colours[0] == colours[1] and blue > 200 and blue > red + 20


def wait_until(condition, timeout):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.1)
    return True


def open_browser(case, port, display):
    public = f"127.0.0.1:{port}"
    if case.browser == "chromium":
        return Chromium([f"--host-resolver-rules=MAP {SITE} 127.0.0.1",
                         "--ignore-certificate-errors", *CHROMIUM_WINDOW,
                         f"--ip-address-space-overrides={public}=public"],
                        display=display.name)
    return Firefox(capabilities={"pageLoadStrategy": "eager"}, system_access=True,
                   prefs={"network.dns.localDomains": SITE,
                          "network.lna.address_space.public.override": public,
                          "dom.security.https_first": False})


def elapsed(browser):
    """The call's age in ms; 0 while the page has not started it."""
    if isinstance(browser, Firefox):
        age = browser.execute(f"return {ELAPSED};")
    else:
        age = browser.evaluate(ELAPSED)
    return age or 0


def answer(case, browser, display):
    """Waits for the prompt and past the call's time-out, answers, and returns the call's age
    at the answer (ms); raises RuntimeError when no prompt shows."""
    if case.browser == "chromium":
        shown = lambda: chromium_prompt_shown(display)  # noqa: E731
    else:
        shown = lambda: browser.execute(FIREFOX_PROMPT_SHOWN, chrome=True)  # noqa: E731
    if not wait_until(shown, PROMPT_WAIT_S):
        raise RuntimeError(f"no prompt showed within {PROMPT_WAIT_S} s")
    wait_until(lambda: elapsed(browser) >= ANSWER_AFTER_MS, PROMPT_WAIT_S)
    at = elapsed(browser)
    if case.browser == "chromium":
        display.click(*CHROMIUM_BUTTONS[case.answer])
    else:
        browser.execute(f'document.getElementById("{FIREFOX_PROMPT}")'
                        f'.{FIREFOX_BUTTONS[case.answer]}.click();', chrome=True)
    return at


def run_case(case, port, display):
    label = describe(case)
    answered_at = None
    try:
        with open_browser(case, port, display) as browser:
            browser.navigate(f"https://{SITE}:{port}/call?wait={case.wait}")
            if case.answer:
                answered_at = answer(case, browser, display)
            text = browser.wait_text("#result", RESULT_WAIT_S)
            log = browser.log_tail()
    except (DevToolsError, MarionetteError, RuntimeError, OSError) as error:
        check(False, label, str(error))
        return
    try:
        result = json.loads(text or "")
    except ValueError:
        result = {"unreadable": text}
    wrong = {key: result.get(key) for key, value in case.expect.items()
             if result.get(key) != value}
    ms = result.get("ms", 0)
    # When the call settled, against what it must have waited for and what it must not have.
    if case.answer == "allow":
        timing = ms >= answered_at, f"settled at {ms} ms, before the answer at {answered_at} ms"
    elif case.answer == "block":
        timing = (ms < answered_at + TIMEOUT_MS,
                  f"settled at {ms} ms, not at once after the answer at {answered_at} ms")
    elif case.service == "running":
        timing = ms >= case.wait, f"settled at {ms} ms, before its prompt wait of {case.wait} ms"
    else:
        timing = (ms < TIMEOUT_MS + PERMISSION_READ_MS,
                  f"settled at {ms} ms, past its time-out of {TIMEOUT_MS} ms")
    if check(not wrong and timing[0], label,
             f"showed {result}, expected {case.expect}"
             f"{'' if timing[0] else '; ' + timing[1]}\nbrowser log: {log[-2000:]}"):
        at = f", answered at {answered_at} ms" if answered_at is not None else ""
        print(f"ok   {label}: {result}{at}")


def run(executable, macparam, scratch):
    address = private_host.expected_mac()
    own = encode(macparam, SITE)
    page = PAGE.replace("PARAM", json.dumps(own)).replace("TIMEOUT_MS", str(TIMEOUT_MS))
    table = cases(address)
    site = {"/macaddress.js": read_web("macaddress.js"),
            **{f"/call?wait={wait}": page.replace("WAIT_MS", str(wait)).encode("utf-8")
               for wait in {case.wait for case in table}}}
    server = page_server(site)
    serve_over_tls(server, scratch)
    port = server.server_address[1]
    frames = os.path.join(scratch, "screen")
    os.mkdir(frames)
    display = VirtualDisplay(frames)
    try:
        with LiveService(executable) as service:
            for case in table:
                if case.service == "running":
                    run_case(case, port, display)
            code = service.stop()
            check(code == 0, "SIGTERM", f"exit code {code}, expected 0")
        for case in table:
            if case.service == "stopped":
                run_case(case, port, display)
    finally:
        display.close()
        server.shutdown()
        server.server_close()



if __name__ == "__main__":
    sys.exit(private_host.run_test(__doc__, ("chromium", "firefox-esr", "Xvfb", "xdotool"),
                                   run))
