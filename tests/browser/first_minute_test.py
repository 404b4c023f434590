#!/usr/bin/env python3
"""A newcomer's first minute: scripts/build-and-run serves the demo page with scripts/serve-demo
and prints its address. Here that server is started the same way beside the real service, and a
browser opens the address it printed: the page must show this host's address, with nothing
edited by hand. Runs as a host of its own (private network and mount namespaces: an adapter
with a gateway whose address the test chose; needs root), in headless Chromium and Firefox ESR.
Not shown: build-and-run's own build and Ctrl-C; only the page server it starts.
Usage: first_minute_test.py EXE MACPARAM"""

import os
import subprocess
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
import private_host  # noqa: E402
from checks import check  # noqa: E402
from chromium_devtools import Chromium, DevToolsError  # noqa: E402
from live_service import LiveService  # noqa: E402
from marionette import Firefox, MarionetteError  # noqa: E402

SERVE_DEMO = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                          "scripts", "serve-demo")
PAGE_WAIT_S = 30.0


def shown(browser, url):
    """The demo page's case and address once it has settled."""
    browser.navigate(url)
    case = browser.wait_text("#case", PAGE_WAIT_S,
                             done=lambda text: text not in (None, "", "asking"))
    return case, browser.text("#address")


def run(executable, macparam, _scratch):
    server = subprocess.Popen([sys.executable, SERVE_DEMO, macparam], stdout=subprocess.PIPE,
                              text=True)
    try:
        url = server.stdout.readline().strip()
        if not check(url.startswith("http://127.0.0.1:"), "serve-demo",
                     f"printed {url!r}, expected the page's address"):
            return
        print(f"the demo page: {url}")
        address = private_host.expected_mac()
        with LiveService(executable):
            for name, browser in (("chromium", lambda: Chromium()),
                                  ("firefox", lambda: Firefox())):
                try:
                    with browser() as session:
                        case, text = shown(session, url)
                except (DevToolsError, MarionetteError, RuntimeError, OSError) as error:
                    case, text = f"error: {error}", None
                if check((case, text) == ("address", address), name,
                         f"the page shows case {case!r} with {text!r}, expected the "
                         f"address {address!r}"):
                    print(f"ok   {name}: the demo page shows {text}")
    finally:
        server.terminate()
        server.wait()



if __name__ == "__main__":
    sys.exit(private_host.run_test(__doc__, ("chromium", "firefox-esr"), run))
