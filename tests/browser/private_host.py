"""This test process as a host of its own: private network and mount namespaces, so that what
the browsers, the pages and the service meet there is what a user's machine has, while nothing
of the real machine changes.

- The network: loopback up, and one adapter with a gateway (a tap device with a default route)
  whose hardware address the test chose, so the service has an address to report. No packet
  leaves the namespace: the tap device has no other end.
- /sys mounted afresh, so that the adapter list reads this namespace's interfaces.
- /etc under a writable overlay, so that the browsers' managed policies can be written where
  the browsers read them (/etc/chromium/policies/managed, /etc/firefox/policies).

Needs root (unshare, ip, mount); the test suite runs as root."""

import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # keep the source tree clean
# browser_test puts the integration tests' fixtures (checks among them) on the path.
from browser_test import arguments  # noqa: E402
from checks import check, report  # noqa: E402

MARK = "TALVORO_PRIVATE_HOST"  # set once the process runs inside the namespaces
ADAPTER = "tap0"
ADAPTER_MAC = "02:00:5e:10:00:32"  # locally administered: no vendor's block
ADAPTER_ADDRESS = "192.0.2.2/24"  # TEST-NET-1, never routed anywhere
GATEWAY = "192.0.2.1"
CHROMIUM_POLICY = "/etc/chromium/policies/managed/talvoro-test.json"
FIREFOX_POLICY = "/etc/firefox/policies/policies.json"


def reenter():
    """Runs this script again inside new network and mount namespaces and returns its exit
    code; returns None when already inside (then call `set_up`)."""
    if os.environ.get(MARK):
        return None
    command = ["unshare", "--net", "--mount", "--propagation", "private",
               sys.executable, *sys.argv]
    try:
        return subprocess.run(command, env={**os.environ, MARK: "1"},
                              stdin=subprocess.DEVNULL).returncode
    except FileNotFoundError:
        print("FAIL: needs unshare (util-linux)")
        return 1


def _run(*command):
    subprocess.run(command, check=True, capture_output=True, timeout=30)


def set_up(scratch):
    """The namespace's network, /sys and /etc overlay; scratch holds the overlay's layers."""
    _run("ip", "link", "set", "lo", "up")
    _run("ip", "tuntap", "add", "dev", ADAPTER, "mode", "tap")
    _run("ip", "link", "set", ADAPTER, "address", ADAPTER_MAC)
    _run("ip", "address", "add", ADAPTER_ADDRESS, "dev", ADAPTER)
    _run("ip", "link", "set", ADAPTER, "up")
    # No carrier on a tap device nobody holds: the route is taken only with onlink.
    _run("ip", "route", "add", "default", "via", GATEWAY, "dev", ADAPTER, "onlink")
    _run("mount", "-t", "sysfs", "sysfs", "/sys")
    upper, work = os.path.join(scratch, "etc-upper"), os.path.join(scratch, "etc-work")
    os.mkdir(upper)
    os.mkdir(work)
    _run("mount", "-t", "overlay", "overlay", "-o",
         f"lowerdir=/etc,upperdir={upper},workdir={work}", "/etc")


def run_test(doc, programs, run):
    """A browser test's whole run as a host of its own: EXE and MACPARAM from the command line,
    the programs it needs on PATH, then `run(executable, macparam, scratch)` inside the
    namespaces once they are set up, with a scratch folder that goes afterwards. A set-up that
    fails counts as a failed check. Returns the test's exit code."""
    executable, macparam = arguments(doc, programs)[:2]
    code = reenter()
    if code is not None:
        return code
    scratch = tempfile.mkdtemp(prefix="talvoro-host-")
    try:
        set_up(scratch)
        run(executable, macparam, scratch)
    except (RuntimeError, OSError, subprocess.SubprocessError) as error:
        check(False, "set-up", str(error))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return report()


def expected_mac():
    """The adapter's address as the service writes it."""
    return ADAPTER_MAC.upper().replace(":", "-")


def set_policy(path, policy):
    """Writes a browser's managed policy file, or removes it when policy is None."""
    if policy is None:
        if os.path.exists(path):
            os.remove(path)
        return
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as out:
        json.dump(policy, out)
