#!/usr/bin/env python3
"""Real sites in current browsers. A real site is on a public address and served over https, so
the browser's Local Network Access (LNA) stands between its page and the service on 127.0.0.1.
This test runs as a host of its own (private network and mount namespaces: an adapter with a
gateway for the service to report, the browsers' managed policies written where they read
them), makes the page servers' addresses public for each browser (Chromium's
--ip-address-space-overrides, Firefox's network.lna.address_space.public.override), and loads
pages of https://shop.example and http://shop.example that ask with web/macaddress.js or with a
plain script tag, in headless Chromium (DevTools) and headless Firefox ESR (Marionette).

Each case names what allows the page (a policy, a preference, nothing) and what the page must
show: the address, '' for another site's parameter, LOCAL_ACCESS_BLOCKED where the browser
stands in the way, SERVICE_UNREACHABLE where it allows the call and nothing answers.
Usage: public_site_test.py EXE MACPARAM"""

import html
import json
import sys
import time
from collections import namedtuple

sys.dont_write_bytecode = True  # keep the source tree clean
import private_host  # noqa: E402
from browser_test import PAGE, page_server, read_web, serve_over_tls  # noqa: E402
from checks import check  # noqa: E402
from chromium_devtools import Chromium, DevToolsError  # noqa: E402
from live_service import PORT, LiveService, encode, expected_address  # noqa: E402
from marionette import Firefox, MarionetteError  # noqa: E402

SITE = "shop.example"
CLIENT_TIMEOUT_MS = 4000
# How long a call waits for the user's answer to a prompt: headless Firefox shows its prompt
# and nobody answers it here (the answers are prompt_test.py's).
PROMPT_WAIT_MS = 6000
PAGE_WAIT_S = 30.0  # the client's time-out, its permission query, and a slow browser start

# The page asks with the client and shows what the call settled to, as JSON.
CLIENT_PAGE = """<!doctype html>
<html><head><title>shop</title><script src="/macaddress.js"></script></head>
<body><pre id="result">waiting</pre>
<script>
const params = {own: OWN_PARAM, other: OTHER_PARAM};
const which = new URLSearchParams(location.search).get("param");
const start = performance.now();
TalvoroMac.getMacAddress({param: params[which], timeoutMs: TIMEOUT_MS,
                          promptWaitMs: PROMPT_WAIT_MS}).then(
  value => ({value}),
  error => ({code: error.code, permission: error.permission, message: error.message})
).then(result => {
  result.ms = Math.round(performance.now() - start);
  document.getElementById("result").textContent = JSON.stringify(result);
});
</script></body></html>
"""

# where: "https" or "http" page; "client" (the client's outcome as JSON), "tag" (a plain
# script tag, no client) or "demo" (web/demo.html: the name of the case it tells the reader).
# allow: what lets the page through: a browser policy, preferences, or nothing.
# expect: the fields the page must show (a subset of the client's outcome).
Case = namedtuple("Case", "browser name where param allow expect service")
RUNNING, STOPPED = "running", "stopped"


def cases(https_origin, address):
    chromium_allowed = {"LoopbackNetworkAllowedForUrls": [https_origin]}
    firefox_allowed = {"policy": {"policies": {"LocalNetworkAccess": {"SkipDomains": [SITE]}}}}
    address_shown = {"value": address}
    blocked = {"code": "LOCAL_ACCESS_BLOCKED"}
    return [
        Case("chromium", "allowed by LoopbackNetworkAllowedForUrls, the site's own parameter",
             ("https", "client"), "own", {"policy": chromium_allowed}, address_shown, RUNNING),
        Case("chromium", "allowed by the older LocalNetworkAccessAllowedForUrls",
             ("https", "client"), "own",
             {"policy": {"LocalNetworkAccessAllowedForUrls": [https_origin]}},
             address_shown, RUNNING),
        Case("chromium", "allowed, another site's parameter", ("https", "client"), "other",
             {"policy": chromium_allowed}, {"value": ""}, RUNNING),
        Case("chromium", "no permission", ("https", "client"), "own", {}, blocked, RUNNING),
        # Not a secure context: Chromium refuses it whatever the policy says.
        Case("chromium", "a plain-http public page", ("http", "client"), "own", {},
             {**blocked, "permission": "denied"}, RUNNING),
        Case("chromium", "a plain script tag with referrerpolicy=origin, allowed",
             ("https", "tag"), "own", {"policy": chromium_allowed}, address_shown, RUNNING),
        Case("chromium", "allowed, the service stopped", ("https", "client"), "own",
             {"policy": chromium_allowed},
             {"code": "SERVICE_UNREACHABLE", "permission": "granted"}, STOPPED),

        # The demo page tells the reader which case it is.
        *[Case(browser, f"the demo page: {name}", (scheme, "demo"), param, allow,
               {"case": told}, service)
          for browser, name, scheme, param, allow, told, service in [
              ("chromium", "allowed", "https", "own", {"policy": chromium_allowed}, "address",
               RUNNING),
              ("chromium", "another site's parameter", "https", "other",
               {"policy": chromium_allowed}, "withheld", RUNNING),
              ("chromium", "no permission", "https", "own", {}, "blocked", RUNNING),
              ("chromium", "a plain-http page", "http", "own", {}, "insecure-page", RUNNING),
              # The page says what it waits for while the prompt is open.
              ("firefox", "the prompt open", "https", "own", {}, "waiting", RUNNING),
              ("chromium", "the service stopped", "https", "own", {"policy": chromium_allowed},
               "unreachable", STOPPED)]],

        Case("firefox", "allowed by the LocalNetworkAccess policy's SkipDomains",
             ("https", "client"), "own", firefox_allowed, address_shown, RUNNING),
        Case("firefox", "allowed, another site's parameter", ("https", "client"), "other",
             firefox_allowed, {"value": ""}, RUNNING),
        Case("firefox", "denied (permissions.default.loopback-network = 2)",
             ("https", "client"), "own",
             {"prefs": {"permissions.default.loopback-network": 2}}, blocked, RUNNING),
        # Headless Firefox leaves its prompt open and holds the request: the end of the
        # client's wait for an answer ends the call, and the permission still reads "prompt".
        Case("firefox", "the prompt left unanswered until the client's wait ends",
             ("https", "client"), "own", {}, {**blocked, "permission": "prompt"}, RUNNING),
        Case("firefox", "a plain script tag with referrerpolicy=origin, allowed",
             ("https", "tag"), "own", firefox_allowed, address_shown, RUNNING),
        # Firefox's permission reads "prompt" whatever its policy or preferences allow, so a
        # stopped service on an allowed site cannot be told from a blocked call there.
        Case("firefox", "allowed, the service stopped (the client cannot tell)",
             ("https", "client"), "own", firefox_allowed, {**blocked, "permission": "prompt"},
             STOPPED),
        # With Local Network Access switched off the names are unknown: the client says what
        # it said before browsers had the permission.
        Case("firefox", "Local Network Access off by policy, the service stopped",
             ("https", "client"), "own",
             {"policy": {"policies": {"LocalNetworkAccess": {"Enabled": False}}}},
             {"code": "SERVICE_UNREACHABLE", "permission": None}, STOPPED),
    ]


def pages(macparam, stamp):
    own, other = (encode(macparam, text) for text in (SITE, "other.example"))
    client = (CLIENT_PAGE.replace("OWN_PARAM", json.dumps(own))
              .replace("OTHER_PARAM", json.dumps(other))
              .replace("PROMPT_WAIT_MS", str(PROMPT_WAIT_MS))
              .replace("TIMEOUT_MS", str(CLIENT_TIMEOUT_MS)))
    tag = PAGE.format(src=html.escape(f"http://127.0.0.1:{PORT}/?callback=show&{own}"
                                      f"&b&c&d&_={stamp}"))
    demo = read_web("demo.html").decode("utf-8")
    return {"/macaddress.js": read_web("macaddress.js"),
            "/client?param=own": client.encode("utf-8"),
            "/client?param=other": client.encode("utf-8"),
            "/tag?param=own": tag.encode("utf-8"),
            **{f"/demo?param={which}": demo.replace("PUT-THE-PARAMETER-FOR-YOUR-ORIGIN-HERE",
                                                    param).encode("utf-8")
               for which, param in (("own", own), ("other", other))}}


def client_outcome(text):
    try:
        return json.loads(text)
    except ValueError:
        return {"unreadable": text}


def tag_outcome(text):
    if text.startswith("ret=[") and text.endswith("]"):
        return {"value": text[len("ret=["):-1]}
    return {"unreadable": text}


# For each kind of page: the element that shows the outcome, its text while it waits, and how
# to read it.
SHOWN_BY = {"client": ("#result", "waiting", client_outcome),
            "tag": ("#ret", "waiting", tag_outcome),
            "demo": ("#case", "asking", lambda text: {"case": text})}


def open_browser(case, ports):
    """The case's browser, its policy in place, with both page servers counted as public."""
    public = [f"127.0.0.1:{port}" for port in ports.values()]
    if case.browser == "chromium":
        private_host.set_policy(private_host.CHROMIUM_POLICY, case.allow.get("policy"))
        return Chromium([f"--host-resolver-rules=MAP {SITE} 127.0.0.1",
                         "--ignore-certificate-errors",
                         "--ip-address-space-overrides=" +
                         ",".join(f"{server}=public" for server in public)])
    private_host.set_policy(private_host.FIREFOX_POLICY, case.allow.get("policy"))
    # A held request holds the page's load event too: navigation ends at DOMContentLoaded.
    return Firefox(capabilities={"pageLoadStrategy": "eager"},
                   prefs={"network.dns.localDomains": SITE,
                          "network.lna.address_space.public.override": ",".join(public),
                          "dom.security.https_first": False,
                          **case.allow.get("prefs", {})})


# The state of the site's local-network permission, by the first name the browser knows.
PERMISSION_STATE = """(async () => {
  for (const name of ["loopback-network", "local-network-access"]) {
    try { return (await navigator.permissions.query({name})).state; } catch (e) {}
  }
  return null;
})()"""
POLICY_WAIT_S = 10.0


def wait_for_policy(browser, origin, label):
    """A user's browser has been running a while when a site's page asks. A Chromium just
    started, given a page with a plain script tag as its first page, was seen to refuse that
    early loopback request now and then (about one run in three: it connected, sent nothing and
    closed) although the policy allows it. So a page of the site (a 404 is one) comes first,
    and the wait until its permission reads granted; a first reading other than granted is
    printed."""
    browser.navigate(origin + "/no-such-page")
    began = time.monotonic()
    states = []
    while time.monotonic() - began < POLICY_WAIT_S:
        states.append(browser.evaluate(PERMISSION_STATE))
        if states[-1] == "granted":
            break
        time.sleep(0.05)
    if states[0] != "granted":
        print(f"     {label}: the policy's permission read {states[0]!r} at first, "
              f"{states[-1]!r} after {time.monotonic() - began:.2f} s")


def run_case(case, ports):
    scheme, kind = case.where
    origin = f"{scheme}://{SITE}:{ports[scheme]}"
    url = f"{origin}/{kind}?param={case.param}"
    try:
        with open_browser(case, ports) as browser:
            selector, waiting, outcome = SHOWN_BY[kind]
            if case.browser == "chromium" and "policy" in case.allow:
                wait_for_policy(browser, origin, f"{case.browser}: {case.name}")
            browser.navigate(url)
            text = browser.wait_text(selector, PAGE_WAIT_S,
                                     done=lambda shown: shown not in (None, "", waiting))
            result = outcome(text or "")
            log = browser.log_tail()
    except (DevToolsError, MarionetteError, RuntimeError, OSError) as error:
        result, log = {"error": str(error)}, ""
    label = f"{case.browser}: {case.name}"
    wrong = {key: result.get(key) for key, value in case.expect.items()
             if result.get(key) != value}
    if check(not wrong, label, f"showed {result}, expected {case.expect}\n"
                               f"browser log: {log[-2000:]}"):
        print(f"ok   {label}: {result}")


def run(executable, macparam, scratch):
    address = private_host.expected_mac()
    independent = expected_address()
    if not check(independent == address, "set-up",
                 f"this host's adapter list gives {independent!r}, expected {address!r}"):
        return
    print(f"this host's address: {address}")
    site = pages(macparam, 1)
    servers = {"https": page_server(site), "http": page_server(site)}
    serve_over_tls(servers["https"], scratch)
    ports = {scheme: server.server_address[1] for scheme, server in servers.items()}
    table = cases(f"https://{SITE}:{ports['https']}", address)
    try:
        with LiveService(executable) as service:
            for case in table:
                if case.service == RUNNING:
                    run_case(case, ports)
            code = service.stop()
            check(code == 0, "SIGTERM", f"exit code {code}, expected 0")
            for case in table:
                if case.service == STOPPED:
                    run_case(case, ports)
    finally:
        for server in servers.values():
            server.shutdown()
            server.server_close()



if __name__ == "__main__":
    sys.exit(private_host.run_test(__doc__, ("chromium", "firefox-esr"), run))
