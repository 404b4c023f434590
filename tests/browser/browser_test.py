#!/usr/bin/env python3
"""A real browser end to end: headless Chromium loads a page of http://shop.example:PORT (mapped
to a small server on loopback) whose script tag calls the running service with JSONP, and the
page writes the reply's `ret` into its DOM. The page made with the parameter for shop.example
shows this machine's address; the same page with another site's parameter shows an empty one.
Usage: browser_test.py EXE MACPARAM"""

import html
import http.server
import os
import re
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True  # keep the source tree clean
# The running service and the address it should report come from the integration test's
# fixture, which the browser sessions' module puts on the path.
import browser_session  # noqa: E402,F401
from checks import check, failures, report  # noqa: E402,F401
from live_service import PORT, LiveService, encode, expected_address  # noqa: E402
from tunnel_setup import certificate  # noqa: E402

WEB = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "web")
BROWSER_WAIT_S = 90.0
PAGE = """<!doctype html>
<html><head><title>shop</title>
<script>
function show(reply) {{ document.getElementById("ret").textContent = "ret=[" + reply.ret + "]"; }}
</script></head>
<body><p id="ret">waiting</p>
<script src="{src}" referrerpolicy="origin"
        onerror="document.getElementById('ret').textContent = 'script error'"></script>
</body></html>
"""
SHOWN = re.compile(r'<p id="ret">([^<]*)</p>')



def read_web(name):
    """A file of the page-side client, as a site serves it."""
    with open(os.path.join(WEB, name), "rb") as file:
        return file.read()


def page_server(pages):
    """Serves pages[path] on a free loopback port, in a thread of its own."""

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):  # noqa: N802 (the name http.server calls)
            body = pages.get(self.path)
            if body is None:
                self.send_error(404)
                return
            self.send_response(200)
            script = self.path.endswith((".js", ".mjs"))  # modules need a script type
            self.send_header("Content-Type", ("text/javascript" if script else "text/html")
                             + "; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def serve_over_tls(server, folder):
    """The page server behind TLS with a certificate for shop.example. Nobody knows its port
    yet, so no connection can come while the listening socket is swapped."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(*certificate(folder, "page", "shop.example"))
    # The handshake in the request's own thread: a stalled client must not hold up accept.
    server.socket = context.wrap_socket(server.socket, server_side=True,
                                        do_handshake_on_connect=False)


def browser_command(browser, profile, url):
    return [browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--disable-quic", f"--user-data-dir={profile}",
            "--host-resolver-rules=MAP shop.example 127.0.0.1",
            # The page's host resolves to loopback, so the call to 127.0.0.1 stays within one
            # address space: Local Network Access has nothing to block and needs no flag.
            "--virtual-time-budget=10000", "--dump-dom", url]


def load_in_browser(browser, url):
    """The page's DOM after it has loaded, as Chromium dumps it; a fresh profile each time.
    A page whose outcome comes after its load (a fetch, a timer) wants the DevTools driver
    (chromium_devtools.py): Chromium dumps the DOM once the page has loaded, whatever
    --timeout says."""
    profile = tempfile.mkdtemp(prefix="talvoro-chromium-")
    command = browser_command(browser, profile, url)
    # A session of its own, so that a hung browser goes down with all its helper processes.
    process = subprocess.Popen(command, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                               start_new_session=True)
    try:
        out, err = process.communicate(timeout=BROWSER_WAIT_S)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        out, err = process.communicate()
        err += b"\n(browser killed after the time-out)"
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    return out.decode("utf-8", "replace"), err.decode("utf-8", "replace")


def check_pages(browser, origin, cases, more=lambda: ""):
    """Loads each case's page from `origin` and checks the address it shows."""
    for case, path, _, shown in cases:
        dom, err = load_in_browser(browser, origin + path)
        found = SHOWN.search(dom)
        text = found.group(1) if found else None
        if check(text == f"ret=[{shown}]", case,
                 f"the page shows {text!r}, expected 'ret=[{shown}]'\n"
                 f"DOM: {dom[:2000]}\nbrowser stderr: {err[-3000:]}{more()}"):
            print(f"ok   {case}: the page shows {text}")


def arguments(doc, programs=("chromium",)):
    """EXE and MACPARAM from the command line as absolute paths, then each program as found on
    PATH. Ends the run with 2 on a wrong command line and with 1 when a program is missing."""
    if len(sys.argv) != 3:
        print(doc)
        sys.exit(2)
    found = [shutil.which(name) for name in programs]
    missing = [name for name, path in zip(programs, found) if path is None]
    if missing:
        print(f"FAIL: needs {' and '.join(missing)} on PATH (Debian's packages of those names)")
        sys.exit(1)
    return [os.path.abspath(path) for path in sys.argv[1:]] + found


def announced_address():
    """The address the service should report here, printed for the log of the run."""
    address = expected_address()
    print(f"this machine's address: {address or '(none: no interface with a gateway)'}")
    return address


def main():
    executable, macparam, browser = arguments(__doc__)
    address = announced_address()
    stamp = int(time.time() * 1000)
    cases = [("the site's own parameter", "/shop", "shop.example", address),
             ("another site's parameter", "/other", "other.example", "")]
    # The parameter goes into the URL as it is: '+', '/' and '=' are legal in a query.
    pages = {path: PAGE.format(src=html.escape(f"http://127.0.0.1:{PORT}/?callback=show&"
                                               f"{encode(macparam, text)}&b&c&d&_={stamp}"))
             .encode("utf-8")
             for _, path, text, _ in cases}
    server = page_server(pages)
    try:
        with LiveService(executable) as service:
            check_pages(browser, f"http://shop.example:{server.server_address[1]}", cases)
            code = service.stop()
            check(code == 0, "SIGTERM", f"exit code {code}, expected 0")
    finally:
        server.shutdown()
        server.server_close()
    return report()


if __name__ == "__main__":
    sys.exit(main())
