#!/usr/bin/env python3
"""Another user's program on the service's port. Any local user may listen on 127.0.0.1:10032
before the service starts; the service then cannot bind, and that program answers the pages'
calls in the service's place. Here it is a small server run as `nobody`, started before the
real service; it answers each request with the service's header and a reply of the case's,
with the request's callback name put in, and the service is seen to report that the port is
taken. A public https page of shop.example, allowed by the LoopbackNetworkAllowedForUrls
policy, calls it in headless Chromium, with web/macaddress.js or with a plain script tag.

Each case is a reply and what the page must show:
- a reply that sets a global and calls the page's callback: the client's call rejects with
  INVALID_REPLY and no global is set, while the same reply to a plain script tag runs (the
  global is 1): the threat is real here, and the check would see a client that ran it;
- replies near the service's (another callback name, more script after the call, 1 MB, a lower
  case or short address, headers and then nothing until the call's time-out has passed): each
  INVALID_REPLY, nothing of it run, no script tag or callback of the client left;
- once that program is gone, the real service started afresh gives this host's address.

Not shown here: a program that answers exactly as the service does, with an address of its
choosing, is believed (its case says so): the client cannot tell who holds the port. Firefox is
not driven here. Runs as a host of its own (private_host.py; needs root).
Usage: hostile_port_test.py EXE MACPARAM"""

import contextlib
import html
import json
import os
import pwd
import queue
import subprocess
import sys
import tempfile
import threading
import time
from collections import namedtuple

sys.dont_write_bytecode = True  # keep the source tree clean
import private_host  # noqa: E402
from browser_test import PAGE, page_server, read_web, serve_over_tls  # noqa: E402
from checks import check  # noqa: E402
from chromium_devtools import Chromium, DevToolsError  # noqa: E402
from live_service import PORT, START_WAIT_S, LiveService, encode  # noqa: E402
from public_site_test import SITE, wait_for_policy  # noqa: E402

OTHER_USER, OTHER_GROUP = "nobody", "nogroup"
TIMEOUT_MS = 3000
# The page's clock and the client's timer read time at different moments and resolutions.
CLOCK_SLACK_MS = 10
PAGE_WAIT_S = 30.0  # the client's time-out, and a slow page load on a busy machine
PROGRAM_WAIT_S = 15.0
FOREIGN = "66-66-66-66-66-66"

# The other user's program. It listens, says so, and answers every connection in a thread of
# its own, so that a reply it holds open does not stop the next. Each line on its stdin is the
# reply to give from then on (CALLBACK stands for the request's callback name) and whether to
# hold the connection open after it; it says "ready" once the reply is in place, and ends when
# its stdin closes. It sets SO_REUSEADDR, as most servers do: the connections it closed would
# otherwise keep the service's bind out for a minute after it ends (the kernel's TIME_WAIT rule),
# while its listening socket keeps it out either way.
PROGRAM = r"""
import json, re, socket, sys, threading
HEADER = (b"HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\n"
          b"Content-Type: text/html\r\n\r\n")
behaviour = (b"", False)

def serve(connection):
    with connection:
        try:
            connection.settimeout(10)
            request = b""
            while b"\r\n\r\n" not in request:
                chunk = connection.recv(4096)
                if not chunk:
                    return
                request += chunk
            reply, hold = behaviour
            found = re.match(rb"GET /\?callback=([^&\s]*)", request)
            connection.sendall(HEADER + reply.replace(b"CALLBACK",
                                                      found.group(1) if found else b""))
            if hold:
                connection.settimeout(None)
                while connection.recv(4096):
                    pass
        except OSError:
            pass

def accept(listener):
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve, args=(connection,), daemon=True).start()

listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", int(sys.argv[1])))
listener.listen(16)
print("listening", flush=True)
threading.Thread(target=accept, args=(listener,), daemon=True).start()
for line in sys.stdin:
    wanted = json.loads(line)
    behaviour = (wanted["reply"].encode("utf-8"), wanted["hold"])
    print("ready", flush=True)
"""

# The page calls once at load with the client and shows what the call settled to.
CLIENT_PAGE = """<!doctype html>
<html><head><title>shop</title><script src="/macaddress.js"></script></head>
<body><pre id="result">waiting</pre>
<script>
const start = performance.now();
TalvoroMac.getMacAddress({param: PARAM, timeoutMs: TIMEOUT_MS}).then(
  value => ({value}),
  error => ({code: error.code, message: error.message})
).then(result => {
  result.ms = Math.round(performance.now() - start);
  document.getElementById("result").textContent = JSON.stringify(result);
});
</script></body></html>
"""

# What a reply could have left in the page: the global the hostile replies set, and the
# client's script tags and callbacks.
TRACES = """({pwned: String(globalThis.__pwned),
  scripts: [...document.scripts].filter(s => s.src.includes("/?callback=")).length,
  callbacks: Object.keys(globalThis).filter(k => k.startsWith("__talvoroMac_"))})"""

THREAT = f"window.__pwned = 1; CALLBACK({{'ret': '{FOREIGN}'}});"
RIGHT = f"CALLBACK({{'ret': '{FOREIGN}'}});"
UNTOUCHED = {"pwned": "undefined", "scripts": 0, "callbacks": []}
INVALID = {"code": "INVALID_REPLY", **UNTOUCHED}

# page: "client" (the client's outcome) or "tag" (a plain script tag, no client); reply: what
# the other user's program sends after the service's header; hold: it then keeps the
# connection open; expect: the fields the page must show, with its traces.
Case = namedtuple("Case", "name page reply hold expect")
CASES = [
    Case("sets a global, then calls the page's callback", "client", THREAT, False, INVALID),
    Case("the same reply to a plain script tag (no client) runs", "tag", THREAT, False,
         {"value": FOREIGN, "pwned": "1"}),
    # A name the client itself makes, but not this call's.
    Case("the service's shape with another callback name", "client",
         f"__talvoroMac_1_1({{'ret': '{FOREIGN}'}});", False, INVALID),
    Case("the right call, then more script", "client", RIGHT + " window.__pwned = 1;", False,
         INVALID),
    # A client that trimmed the text, or read it without a bound, would take this one.
    Case("1 MB: blanks, then the right call", "client", " " * (1 << 20) + RIGHT, False, INVALID),
    Case("the header and the call's start, then nothing", "client", "CALLBACK({'ret': '66-66-",
         True, {**INVALID, "waited": True}),
    Case("a lower-case address", "client", "CALLBACK({'ret': '66-66-66-aa-bb-cc'});", False,
         INVALID),
    Case("five pairs", "client", "CALLBACK({'ret': '66-66-66-66-66'});", False, INVALID),
    # What the client cannot show: this program's word is as good as the service's.
    Case("exactly the service's reply, its own address (believed)", "client", RIGHT, False,
         {"value": FOREIGN, **UNTOUCHED}),
]


class OtherUsersProgram:
    """PROGRAM as OTHER_USER, listening on the service's port. Use as a context manager."""

    def __init__(self):
        self.process = None
        self.lines = queue.Queue()
        self.errors = None

    def __enter__(self):
        self.errors = tempfile.TemporaryFile()
        try:
            self.process = subprocess.Popen(
                ["setpriv", f"--reuid={OTHER_USER}", f"--regid={OTHER_GROUP}", "--clear-groups",
                 sys.executable, "-c", PROGRAM, str(PORT)],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.errors, cwd="/",
                env={"PATH": os.environ.get("PATH", "/usr/bin:/bin")})
            threading.Thread(target=self._read, daemon=True).start()
            self._expect("listening")
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.decode("utf-8", "replace").strip())
        self.lines.put(None)

    def _expect(self, word):
        try:
            line = self.lines.get(timeout=PROGRAM_WAIT_S)
        except queue.Empty:
            line = f"nothing within {PROGRAM_WAIT_S} s"
        if line != word:
            raise RuntimeError(f"the other user's program said {line!r}, expected {word!r}; "
                               f"its stderr: {self.stderr()!r}")

    def stderr(self):
        self.errors.seek(0)
        return self.errors.read().decode("utf-8", "replace")[-2000:]

    def behave(self, reply, hold):
        """From now on every request gets `reply`; returns once the program has it."""
        self.process.stdin.write(json.dumps({"reply": reply, "hold": hold}).encode() + b"\n")
        self.process.stdin.flush()
        self._expect("ready")

    def uid(self):
        with open(f"/proc/{self.process.pid}/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Uid:"):
                    return int(line.split()[1])
        return None

    def stop(self):
        """Closes its stdin; returns its exit code once it has ended and let go of the port."""
        self.process.stdin.close()
        return self.process.wait(timeout=PROGRAM_WAIT_S)

    def __exit__(self, *exc):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if self.errors is not None:
            self.errors.close()
        return False


@contextlib.contextmanager
def service_kept_out(executable):
    """The real service started while the port is taken, once it has said it cannot bind."""
    service = LiveService(executable)
    try:
        service.launch()
        deadline = time.monotonic() + START_WAIT_S
        while b"Bind Error" not in service.output()[0]:
            if not service.running() or time.monotonic() > deadline:
                raise RuntimeError(f"the service did not report the port taken: "
                                   f"{service.output()!r}")
            time.sleep(0.05)
        yield service
    finally:
        service.__exit__(None, None, None)


def client_outcome(text):
    try:
        result = json.loads(text)
    except ValueError:
        return {"unreadable": text}
    result["waited"] = result.get("ms", 0) >= TIMEOUT_MS - CLOCK_SLACK_MS
    return result


def tag_outcome(text):
    if text.startswith("ret=[") and text.endswith("]"):
        return {"value": text[len("ret=["):-1]}
    return {"unreadable": text}


# Each kind of page: its outcome's element, its text while it waits, and how to read it.
SHOWN_BY = {"client": ("#result", "waiting", client_outcome),
            "tag": ("#ret", "waiting", tag_outcome)}


def run_case(browser, origin, name, page, expect):
    selector, waiting, outcome = SHOWN_BY[page]
    try:
        browser.navigate(f"{origin}/{page}")
        text = browser.wait_text(selector, PAGE_WAIT_S,
                                 done=lambda shown: shown not in (None, "", waiting))
        result = {**outcome(text or ""), **browser.evaluate(TRACES)}
    except (DevToolsError, RuntimeError, OSError) as error:
        result = {"error": str(error)}
    wrong = {key: result.get(key) for key, value in expect.items() if result.get(key) != value}
    if check(not wrong, name, f"showed {result}, expected {expect}\n"
                              f"browser log: {browser.log_tail()[-2000:]}"):
        print(f"ok   {name}: {result}")


def pages(macparam):
    param = encode(macparam, SITE)
    client = (CLIENT_PAGE.replace("PARAM", json.dumps(param))
              .replace("TIMEOUT_MS", str(TIMEOUT_MS)))
    tag = PAGE.format(src=html.escape(f"http://127.0.0.1:{PORT}/?callback=show&{param}"
                                      f"&b&c&d&_=1"))
    return {"/macaddress.js": read_web("macaddress.js"), "/client": client.encode("utf-8"),
            "/tag": tag.encode("utf-8")}


def run(executable, macparam, scratch):
    address = private_host.expected_mac()
    server = page_server(pages(macparam))
    serve_over_tls(server, scratch)
    port = server.server_address[1]
    origin = f"https://{SITE}:{port}"
    private_host.set_policy(private_host.CHROMIUM_POLICY,
                            {"LoopbackNetworkAllowedForUrls": [origin]})
    try:
        with Chromium([f"--host-resolver-rules=MAP {SITE} 127.0.0.1",
                       "--ignore-certificate-errors",
                       f"--ip-address-space-overrides=127.0.0.1:{port}=public"]) as browser:
            wait_for_policy(browser, origin, "chromium")
            with OtherUsersProgram() as program:
                check(program.uid() == pwd.getpwnam(OTHER_USER).pw_uid, "set-up",
                      f"the program on the port runs as uid {program.uid()}, "
                      f"expected {OTHER_USER}'s")
                with service_kept_out(executable) as service:
                    for case in CASES:
                        program.behave(case.reply, case.hold)
                        run_case(browser, origin, case.name, case.page, case.expect)
                    code = service.stop()
                    check(code == 0, "SIGTERM, the service kept out",
                          f"exit code {code}, expected 0")
                code = program.stop()
                check(code == 0, "the other user's program",
                      f"exit code {code}, expected 0; its stderr: {program.stderr()!r}")
            with LiveService(executable) as service:
                run_case(browser, origin, "the port the service's own again: this host's address",
                         "client", {"value": address, **UNTOUCHED})
                code = service.stop()
                check(code == 0, "SIGTERM", f"exit code {code}, expected 0")
    finally:
        server.shutdown()
        server.server_close()



if __name__ == "__main__":
    sys.exit(private_host.run_test(__doc__, ("chromium", "setpriv"), run))
