#!/usr/bin/env python3
"""The page-side client web/macaddress.js in headless Chromium against the real service. Pages
of http://shop.example:PORT load it as a classic script and as an ES module and write what
getMacAddress settled to into their DOM. While the service runs: the site's own parameter gives
this machine's address, another site's gives '', ten calls at once all give the address. With
the service stopped the call rejects with SERVICE_UNREACHABLE, and against a port that accepts
but never answers it rejects with the same code once the time-out passes; that page is on
http://127.0.0.1:PORT, where the client knows that no browser gates the call (pages on public
addresses are public_site_test.py's). After every page, no script tag and no callback of the
client is left. The pages run on the real clock in Chromium driven through DevTools: Chromium
dumps a page's DOM once it has loaded, and a pending fetch, unlike a script tag, does not hold
the load back.
Usage: client_test.py EXE MACPARAM"""

import json
import socket
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
from browser_test import announced_address, arguments, page_server, read_web  # noqa: E402
from checks import check, report  # noqa: E402
from chromium_devtools import Chromium, DevToolsError  # noqa: E402
from live_service import LiveService, encode, port_accepts  # noqa: E402

# Ten parallel calls queue at a server that takes one connection at a time with a backlog of
# one: refused handshakes are retried after seconds, so their time-out is generous.
MANY_TIMEOUT_MS = 30000
STOPPED_TIMEOUT_MS = 5000
SILENT_TIMEOUT_MS = 1500
QUIET_WAIT_S = 120.0  # another run on this machine may hold the query port a while
# Until a page shows its result: every call at its time-out, and a slow browser start.
RUNNING_PAGE_WAIT_S = 3 * MANY_TIMEOUT_MS / 1000 + 30
STOPPED_PAGE_WAIT_S = (STOPPED_TIMEOUT_MS + SILENT_TIMEOUT_MS) / 1000 + 30

# What every page runs after its calls: any script tag or global callback of the client (it
# reads the reply with fetch and should add neither).
LEFTOVERS = """
function leftovers() {
  return {scripts: [...document.scripts].filter(s => s.src.includes("/?callback=")).length,
          callbacks: Object.keys(globalThis).filter(k => k.startsWith("__talvoroMac_"))};
}
async function attempt(call, options) {
  const start = performance.now();
  try {
    return {value: await call(options), ms: performance.now() - start};
  } catch (error) {
    return {code: error.code, message: error.message, ms: performance.now() - start};
  }
}
function show(result) { document.getElementById("result").textContent = JSON.stringify(result); }
"""

# Classic script: the global TalvoroMac.
RUNNING_PAGE = """<!doctype html>
<html><head><title>shop</title><script src="/macaddress.js"></script></head>
<body><pre id="result">waiting</pre>
<script>
{leftovers}
(async () => {{
  const get = TalvoroMac.getMacAddress, own = {own}, other = {other};
  const result = {{}};
  result.own = await attempt(get, {{param: own, timeoutMs: {many}}});
  result.other = await attempt(get, {{param: other, timeoutMs: {many}}});
  result.many = await Promise.all(Array.from({{length: 10}},
                                             () => attempt(get, {{param: own, timeoutMs: {many}}})));
  result.left = leftovers();
  show(result);
}})().catch(error => show({{crash: String(error)}}));
</script></body></html>
"""

# ES module: the named exports of macaddress.mjs.
STOPPED_PAGE = """<!doctype html>
<html><head><title>shop</title></head>
<body><pre id="result">waiting</pre>
<script>{leftovers}</script>
<script type="module">
import {{ getMacAddress, errors }} from "/macaddress.mjs";
const result = {{same: getMacAddress === TalvoroMac.getMacAddress,
                 code: errors.SERVICE_UNREACHABLE}};
result.stopped = await attempt(getMacAddress, {{param: {own}, timeoutMs: {stopped}}});
result.silent = await attempt(getMacAddress, {{param: {own}, timeoutMs: {silent},
                                                base: "http://127.0.0.1:{silent_port}/"}});
result.left = leftovers();
show(result);
</script></body></html>
"""


def run_page(url, case, wait_s, flags=()):
    """The result object the page showed, or None (reported) when it showed none; a fresh
    browser each time."""
    text, log = None, ""
    try:
        with Chromium(flags) as browser:
            browser.navigate(url)
            text = browser.wait_text("#result", wait_s)
            log = browser.log_tail()
    except (DevToolsError, OSError) as error:
        log = str(error)
    try:
        result = json.loads(text) if text not in (None, "waiting") else None
    except ValueError:
        result = None
    if not check(isinstance(result, dict) and "crash" not in result, case,
                 f"no result: the page shows {text!r}\nbrowser log: {log[-3000:]}"):
        return None
    return result


def wait_for_quiet_port():
    """Bounded: until nothing, another run's service neither, listens on the query port."""
    deadline = time.monotonic() + QUIET_WAIT_S
    while port_accepts() and time.monotonic() < deadline:
        time.sleep(0.5)


def check_no_leftovers(result, case):
    check(result["left"] == {"scripts": 0, "callbacks": []}, case,
          f"left behind after the calls: {result['left']}")


def check_running(result, address):
    check(result["own"].get("value") == address, "the site's own parameter",
          f"{result['own']}, expected the address {address!r}")
    check(result["other"].get("value") == "", "another site's parameter",
          f"{result['other']}, expected the empty address")
    wrong = [call for call in result["many"] if call.get("value") != address]
    check(len(result["many"]) == 10 and not wrong, "ten calls at once",
          f"calls that did not give {address!r}: {wrong}")
    check_no_leftovers(result, "cleanup after the running service's calls")


def check_stopped(result):
    check(result["same"] and result["code"] == "SERVICE_UNREACHABLE", "module exports",
          f"the module's names differ from the classic script's: {result}")
    stopped, silent = result["stopped"], result["silent"]
    check(stopped.get("code") == "SERVICE_UNREACHABLE" and stopped["ms"] < STOPPED_TIMEOUT_MS,
          "service stopped", f"{stopped}, expected SERVICE_UNREACHABLE within "
                             f"{STOPPED_TIMEOUT_MS} ms")
    check(silent.get("code") == "SERVICE_UNREACHABLE" and "within" in silent.get("message", ""),
          "no answer within the time-out", f"{silent}, expected the time-out's rejection")
    check_no_leftovers(result, "cleanup after the failed calls")


def main():
    executable, macparam, _ = arguments(__doc__)
    address = announced_address()
    own, other = (json.dumps(encode(macparam, text)) for text in ("shop.example", "other.example"))
    # Accepts connections (the kernel completes them) and never answers.
    silent = socket.create_server(("127.0.0.1", 0), backlog=4)
    pages = {
        "/macaddress.js": read_web("macaddress.js"),
        "/macaddress.mjs": read_web("macaddress.mjs"),
        "/running": RUNNING_PAGE.format(leftovers=LEFTOVERS, own=own, other=other,
                                        many=MANY_TIMEOUT_MS).encode("utf-8"),
        "/stopped": STOPPED_PAGE.format(leftovers=LEFTOVERS, own=own, stopped=STOPPED_TIMEOUT_MS,
                                        silent=SILENT_TIMEOUT_MS,
                                        silent_port=silent.getsockname()[1]).encode("utf-8"),
    }
    server = page_server(pages)
    origin = f"http://shop.example:{server.server_address[1]}"
    try:
        wait_for_quiet_port()
        with LiveService(executable) as service:
            result = run_page(origin + "/running", "service running", RUNNING_PAGE_WAIT_S,
                              ["--host-resolver-rules=MAP shop.example 127.0.0.1"])
            if result:
                check_running(result, address)
                print(f"running service: {result}")
            code = service.stop()
            check(code == 0, "SIGTERM", f"exit code {code}, expected 0")
        wait_for_quiet_port()
        # A page under another name that resolves to loopback would read LOCAL_ACCESS_BLOCKED
        # here: the client cannot see the page's address, only its host name.
        loopback = f"http://127.0.0.1:{server.server_address[1]}"
        result = run_page(loopback + "/stopped", "service stopped", STOPPED_PAGE_WAIT_S)
        if result:
            check_stopped(result)
            print(f"stopped service: {result}")
    finally:
        server.shutdown()
        server.server_close()
        silent.close()
    return report()


if __name__ == "__main__":
    sys.exit(main())
