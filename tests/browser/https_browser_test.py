#!/usr/bin/env python3
"""A real browser end to end over HTTPS: the service runs with the real TLS tunnel program as its
bin/stunnel (TLS on a free loopback port, forwarding to the query server), and headless Chromium
loads a page of https://shop.example:PORT (a small HTTPS server on loopback) whose script tag
calls the service through the tunnel with JSONP. The page made with the parameter for
shop.example shows this machine's address; the same page with another site's parameter shows an
empty one. Every process the run starts, the tunnel that outlives the service too, is ended.
Usage: https_browser_test.py EXE MACPARAM"""

import contextlib
import html
import os
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # keep the source tree clean
# The page, the browser run and the checks are the HTTP browser test's; it brings the running
# service and the address it should report from the integration test's fixture.
import browser_test  # noqa: E402
from browser_test import (PAGE, announced_address, arguments, check_pages, page_server,  # noqa: E402
                          serve_over_tls)
from checks import check, report  # noqa: E402
from live_service import PORT, LiveService, encode, port_accepts  # noqa: E402
from tunnel_setup import (become_subreaper, free_loopback_port,  # noqa: E402
                          read_tail, write_tunnel_config)

TUNNEL_PROGRAM = "stunnel4"  # Debian's package of the tunnel program
TUNNEL_NAME = "stunnel"  # the service's rule: contained in the process's file name
QUIET_WAIT_S = 240.0  # other runs on this machine may hold the query port or a tunnel a while
QUIET_STRETCH_S = 2.0
TUNNEL_WAIT_S = 30.0
SCAN_STEP_S = 0.005  # the watchdog's pause per process entry
END_WAIT_S = 10.0
LOG_TAIL_CHARS = 1500


def https_browser_command(browser, profile, url, plain=browser_test.browser_command):
    # Both servers show the run's own self-signed certificates.
    command = plain(browser, profile, url)
    return command[:-1] + ["--ignore-certificate-errors", command[-1]]


browser_test.browser_command = https_browser_command  # what load_in_browser runs


# --- processes ------------------------------------------------------------------------------

def processes():
    """{pid: (file name, command line)} of every process still readable."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                command = cmdline.read().replace(b"\0", b" ").decode("utf-8", "replace")
            try:
                name = os.path.basename(os.readlink(f"/proc/{entry}/exe"))
            except OSError:  # a zombie: its short name is all that is left
                with open(f"/proc/{entry}/comm", encoding="utf-8") as comm:
                    name = comm.read().strip()
        except OSError:
            continue
        table[int(entry)] = (name, command)
    return table


def running_tunnels():
    return sorted(pid for pid, (name, _) in processes().items() if TUNNEL_NAME in name.lower())


def quiet():
    return not port_accepts() and not running_tunnels()


def start_service(stack, executable):
    """The service, started once the machine is quiet: the service's start-up sweep ends the
    first tunnel it finds and its watchdog takes any tunnel for its own, so another run's
    tunnel or query server must be gone first. Other runs start services back to back: a
    quiet stretch first, and a start that loses the race waits again."""
    deadline = time.monotonic() + QUIET_WAIT_S
    quiet_since = None
    while True:
        now = time.monotonic()
        if not quiet():
            quiet_since = None
        elif quiet_since is None:
            quiet_since = now
        elif now - quiet_since >= QUIET_STRETCH_S:
            try:
                return stack.enter_context(LiveService(executable))
            except RuntimeError:
                if quiet() or time.monotonic() >= deadline:
                    raise
                quiet_since = None
        if now >= deadline:
            raise RuntimeError(f"after {QUIET_WAIT_S} s still a tunnel {running_tunnels()} or "
                               f"a listener on 127.0.0.1:{PORT}")
        time.sleep(0.2)


def reap_dead_children():
    """Collects the orphans that died on their own: a zombie left here would outlive this run
    and count as a tunnel for every later service."""
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


def end_processes_naming(texts):
    """Kills the processes whose command line holds one of the texts (this run's folders) and
    waits until they are gone; returns those left. The tunnel outlives the service, and as
    the subreaper this process collects it, whatever pid 1 does with orphans."""
    deadline = time.monotonic() + END_WAIT_S
    while True:
        reap_dead_children()
        found = [pid for pid, (_, command) in processes().items()
                 if pid != os.getpid() and any(text in command for text in texts)]
        if not found or time.monotonic() >= deadline:
            return found
        for pid in found:
            try:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            except (ProcessLookupError, ChildProcessError):
                pass  # gone already, or not ours to collect: seen again on the next round
        time.sleep(0.05)


# --- TLS ------------------------------------------------------------------------------------

class Tunnel:
    """The tunnel's configuration in a folder of this run, and the launcher that the service's
    watchdog starts as <service folder>/bin/stunnel: it execs the real tunnel program in the
    foreground, TLS on `port` forwarded to the query server."""

    def __init__(self, program, folder):
        self.program = program
        self.port = free_loopback_port()
        self.log = os.path.join(folder, "tunnel.log")
        self.config = write_tunnel_config(folder, self.port, self.log)

    def install(self, service_folder):
        # Nothing but the exec: until then the process bears the shell's name, and a scan in
        # that gap would launch a second tunnel.
        os.makedirs(os.path.join(service_folder, "bin"), exist_ok=True)
        path = os.path.join(service_folder, "bin", "stunnel")
        with open(path, "w", encoding="utf-8") as out:
            out.write(f"#!/bin/sh\nexec {shlex.quote(self.program)} {shlex.quote(self.config)}\n")
        os.chmod(path, 0o755)

    def accepts(self):
        try:
            # A bare connection: without a handshake the tunnel never reaches the query server.
            with socket.create_connection(("127.0.0.1", self.port), timeout=0.5):
                return True
        except OSError:
            return False

    def wait(self):
        # Launched by the next scan of the watchdog (one entry per process), then it binds.
        bound = TUNNEL_WAIT_S + 2 * len(processes()) * SCAN_STEP_S
        deadline = time.monotonic() + bound
        while not self.accepts():
            if time.monotonic() >= deadline:
                raise RuntimeError(f"the tunnel did not accept on 127.0.0.1:{self.port} within "
                                   f"{bound:.0f} s; tunnels {running_tunnels()}, "
                                   f"log {self.log_tail()!r}")
            time.sleep(0.05)

    def log_tail(self):
        return read_tail(self.log, LOG_TAIL_CHARS)


# --- the run --------------------------------------------------------------------------------

def pages_for(macparam, tunnel_port, cases):
    return {path: PAGE.format(src=html.escape(
                f"https://127.0.0.1:{tunnel_port}/?callback=show&{encode(macparam, text)}"
                f"&b&c&d&_=1")).encode("utf-8")
            for _, path, text, _ in cases}


def run(executable, macparam, browser, tunnel_program, folder):
    address = announced_address()
    cases = [("the site's own parameter", "/", "shop.example", address),
             ("another site's parameter", "/other", "other.example", "")]
    tunnel = Tunnel(tunnel_program, folder)
    server = page_server(pages_for(macparam, tunnel.port, cases))
    serve_over_tls(server, folder)
    service_folder = None
    try:
        with contextlib.ExitStack() as stack:
            service = start_service(stack, executable)
            service_folder = service.folder
            # The folder is made as the service starts; the watchdog's launch that finds no
            # program there is followed by one at its next scan.
            tunnel.install(service_folder)
            tunnel.wait()
            check_pages(browser, f"https://shop.example:{server.server_address[1]}", cases,
                        more=lambda: f"\ntunnel log: {tunnel.log_tail()}")
            code = service.stop()
            check(code == 0, "SIGTERM", f"exit code {code}, expected 0")
    finally:
        server.shutdown()
        server.server_close()
        # The service is gone by now, so nothing launches again.
        left = end_processes_naming([text for text in (folder, service_folder) if text])
        check(not left, "clean-up", f"processes of this run left: {left}")


def main():
    executable, macparam, browser, tunnel_program = arguments(__doc__,
                                                              ("chromium", TUNNEL_PROGRAM))
    try:
        become_subreaper()
    except OSError as error:
        print(f"FAIL: {error}")
        return 1
    folder = tempfile.mkdtemp(prefix="talvoro-https-")
    try:
        run(executable, macparam, browser, tunnel_program, folder)
    except (RuntimeError, OSError, subprocess.SubprocessError) as error:
        check(False, "set-up", str(error))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return report()


if __name__ == "__main__":
    sys.exit(main())
