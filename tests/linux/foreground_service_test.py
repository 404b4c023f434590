#!/usr/bin/env python3
"""The real service on Linux: started without a switch it runs in the foreground, answers the
stop signals at once and tells a notify socket its states; on a machine without systemd every
switch logs the failed open of the service manager; with a stand-in systemctl, in a private
mount namespace, the switches install, start, stop and remove the unit.
Usage: foreground_service_test.py EXE"""

import errno
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                "integration"))
from checks import check, failures, report  # noqa: E402
from live_service import port_accepts  # noqa: E402

STOP_LIMIT_S = 1.0  # a stop is answered at once, not after systemd's kill time-out
START_WAIT_S = 10.0  # generous: the sanitizer build starts slowly
STAMP = r"\d\d/\d\d/\d{4}, \d\d:\d\d:\d\d\n    "
# The only thing the service may print: the query server's report that a second server
# (started by SIGUSR1 or SIGUSR2) cannot bind the port the first one holds.
SECOND_SERVER_OUTPUT = re.compile(r"(Bind Error No : \d+)*")
BIND_ERROR = re.compile(r"Bind Error No : \d+")
QUERY_PORT = 10032



class Service:
    """The executable copied into a folder of its own (with a blank in its path), so that its
    log lands there."""

    def __init__(self, executable, workspace):
        self.folder = tempfile.mkdtemp(prefix="svc dir ", dir=workspace)
        self.path = os.path.join(self.folder, "talvoro_macadress")
        shutil.copy2(executable, self.path)
        self.log = self.path + ".log"

    def log_text(self):
        if not os.path.exists(self.log):
            return None
        with open(self.log, encoding="latin-1", newline="") as log:
            return log.read()

    def environment(self, notify_socket):
        env = dict(os.environ)
        env.pop("NOTIFY_SOCKET", None)
        if notify_socket is not None:
            env["NOTIFY_SOCKET"] = notify_socket
        return env

    def start(self, notify_socket=None):
        return subprocess.Popen([self.path], cwd=self.folder, env=self.environment(notify_socket),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    def run_switch(self, switch, extra_environment=None):
        env = self.environment(None)
        env.update(extra_environment or {})
        return subprocess.run([self.path, switch], cwd=self.folder, env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=30)


class NotifyListener:
    """What systemd would listen on: a Unix datagram socket at a path, or an abstract one."""

    def __init__(self, folder, abstract):
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        if abstract:
            name = f"talvoro-notify-{os.getpid()}-{time.monotonic_ns()}"
            self.socket.bind("\0" + name)
            self.address = "@" + name
        else:
            self.address = os.path.join(folder, "notify")
            self.socket.bind(self.address)
        self.received = []

    def next_message(self, timeout):
        self.socket.settimeout(timeout)
        try:
            message = self.socket.recv(4096).decode("latin-1")
        except socket.timeout:
            return None
        self.received.append(message)
        return message

    def close(self):
        self.socket.close()


def stop_and_time(process, signal_number):
    """Sends the signal and returns the exit code and the seconds until the process ended."""
    began = time.monotonic()
    process.send_signal(signal_number)
    try:
        code = process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return None, float("inf")
    return code, time.monotonic() - began


def check_stop(case, process, signal_number):
    code, seconds = stop_and_time(process, signal_number)
    print(f"{case}: ended {seconds * 1000:.0f} ms after {signal.Signals(signal_number).name}")
    check(code == 0, case, f"exit code {code}, expected 0")
    check(seconds < STOP_LIMIT_S, case, f"took {seconds:.3f} s to stop")


def port_held_elsewhere():
    """Whether another program holds the query server's port now that ours has ended."""
    probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        probe.bind(("0.0.0.0", QUERY_PORT))
        return False
    except OSError:
        return True
    finally:
        probe.close()


NO_OUTPUT = re.compile("")


def check_output(case, process, allowed_stdout=NO_OUTPUT, allowed_stderr=NO_OUTPUT):
    out, err = process.communicate()
    text = out.decode("latin-1")
    if allowed_stdout.fullmatch(text) is None and BIND_ERROR.fullmatch(text) and \
            port_held_elsewhere():
        # Not this service's fault: its query server reports the port in use, as it must.
        print(f"NOTE {case}: port {QUERY_PORT} is held by another program ({text})")
    else:
        check(allowed_stdout.fullmatch(text) is not None, case, f"stdout {out!r}")
    check(allowed_stderr.fullmatch(err.decode("latin-1")) is not None, case, f"stderr {err!r}")


def run_with_notify_socket(executable, workspace, case, signal_number, abstract,
                           while_running=None, output=NO_OUTPUT):
    """Starts the service with a notify socket, expects READY=1, runs while_running, stops it
    with signal_number and expects STOPPING=1, the console output and no log."""
    service = Service(executable, workspace)
    listener = NotifyListener(service.folder, abstract)
    process = service.start(listener.address)
    try:
        check(listener.next_message(START_WAIT_S) == "READY=1", case,
              f"first notification {listener.received!r}, expected READY=1")
        if while_running is not None:
            while_running(process, listener)
        check_stop(case, process, signal_number)
        listener.next_message(1.0)
        check(listener.received == ["READY=1", "STOPPING=1"], case,
              f"notifications {listener.received!r}")
        check_output(case, process, output)
        check(service.log_text() is None, case, f"log written: {service.log_text()!r}")
    finally:
        process.kill()
        listener.close()


def stop_with_notify_socket(executable, workspace, signal_number, abstract):
    case = f"{signal.Signals(signal_number).name}, {'abstract' if abstract else 'path'} socket"
    run_with_notify_socket(executable, workspace, case, signal_number, abstract)


def controls_do_not_stop(executable, workspace):
    """SIGUSR1 and SIGUSR2 are the user codes 128 and 255 (another pair of workers, whose query
    server cannot bind the port the first holds); SIGHUP, from terminals and log rotation, only
    asks for a report."""
    for signal_number, output in [(signal.SIGUSR1, SECOND_SERVER_OUTPUT),
                                  (signal.SIGUSR2, SECOND_SERVER_OUTPUT),
                                  (signal.SIGHUP, NO_OUTPUT)]:
        case = signal.Signals(signal_number).name

        def send_twice(process, listener, signal_number=signal_number, case=case):
            # The first server must hold the port before a second one starts: while both are
            # still sweeping at start, both binds succeed (SO_REUSEADDR) and the later one's
            # listen is what fails.
            deadline = time.monotonic() + START_WAIT_S
            while not port_accepts() and time.monotonic() < deadline:
                time.sleep(0.05)
            check(port_accepts(), case, "the first query server never listened")
            for _ in range(2):
                process.send_signal(signal_number)
                time.sleep(0.3)
            check(process.poll() is None, case, f"ended with {process.returncode}")
            # Still running: systemd is not told it is ready a second time.
            check(listener.next_message(0.2) is None, case,
                  f"notifications after {case} {listener.received!r}")

        run_with_notify_socket(executable, workspace, case, signal.SIGTERM, abstract=False,
                               while_running=send_twice, output=output)


# Stands for the tunnel program: records that it was started, then ends.
STAND_IN_TUNNEL = """#!/bin/sh
echo started >> "${0%/*}/starts"
"""


def make_deep_folder(executable, workspace, length):
    """Makes, and enters, a folder whose absolute path is about `length` bytes long, one short
    component at a time (a path longer than the system's limit cannot be named whole)."""
    os.chdir(tempfile.mkdtemp(prefix="deep-", dir=workspace))
    while len(os.getcwd()) < length:
        part = "d" * min(200, max(1, length - len(os.getcwd()) - 1))
        os.mkdir(part)
        os.chdir(part)
    shutil.copy2(executable, "talvoro_macadress")
    os.mkdir("bin")
    with open("bin/stunnel", "w", encoding="ascii") as tunnel:
        tunnel.write(STAND_IN_TUNNEL)
    os.chmod("bin/stunnel", 0o755)


# A sanitizer runtime, too, cannot read such a path, and says so.
SANITIZER_PATH_WARNING = re.compile(r"(==\d+==WARNING: reading executable name failed.*\n)?")


def children_of(pid):
    found = []
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children", encoding="ascii") as children:
            found += children.read().split()
    return found


def long_module_paths(executable, workspace):
    """The service's own path is read whole, past 259 bytes: the install registers it and the
    watchdog starts the tunnel beside it. Past the kernel's limit (4096) the path cannot be had:
    the install refuses, logging into the working folder, and the watchdog starts nothing, not
    even a program at the root's /bin/stunnel."""
    home = os.getcwd()
    for length, readable in [(300, True), (1000, True), (4200, False)]:
        case = f"module path of {length} bytes"
        try:
            make_deep_folder(executable, workspace, length)
            env = dict(os.environ, PATH="/nonexistent")  # no systemctl: the install's outcome
            env.pop("NOTIFY_SOCKET", None)
            subprocess.run(["./talvoro_macadress", "-i"], env=env, timeout=30,
                           stdin=subprocess.DEVNULL, capture_output=True)
            with open("talvoro_macadress.log", encoding="latin-1") as log:
                text = log.read()
            refused = "Failed to create service Talvoro_macadress, error code = 3\n"
            check((refused in text) != readable, case, f"install's log {text!r}")
            process = subprocess.Popen(["./talvoro_macadress"], env=env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE)
            deadline = time.monotonic() + START_WAIT_S
            while readable and not os.path.exists("bin/starts") and time.monotonic() < deadline:
                time.sleep(0.05)
            time.sleep(0.5)
            children = children_of(process.pid)
            check_stop(case, process, signal.SIGTERM)
            check_output(case, process, allowed_stderr=SANITIZER_PATH_WARNING)
            check(os.path.exists("bin/starts") == readable, case,
                  "the tunnel beside it was " + ("not " if readable else "") + "started")
            check(readable or not children, case, f"it started programs {children!r}")
        finally:
            os.chdir(home)
        print(f"{case}: done")


def early_stops(executable, workspace):
    """A stop in the first moments, while the service main is still registering its handler
    and starting the workers, still ends the process at once."""
    case = "SIGTERM at start"
    slowest = 0.0
    for attempt in range(20):
        service = Service(executable, workspace)
        listener = NotifyListener(service.folder, abstract=True)
        process = service.start(listener.address)
        try:
            time.sleep(attempt * 0.0005)
            code, seconds = stop_and_time(process, signal.SIGTERM)
            slowest = max(slowest, seconds)
            # Before the signals are taken the default action ends it, which systemd counts as
            # a clean stop too; what must not happen is a process that goes on.
            check(code in (0, -signal.SIGTERM), case, f"attempt {attempt}: exit code {code}")
            check(seconds < STOP_LIMIT_S + START_WAIT_S, case,
                  f"attempt {attempt}: took {seconds:.3f} s to stop")
            check_output(case, process)
        finally:
            process.kill()
            listener.close()
    print(f"{case}: 20 attempts, the slowest ended {slowest * 1000:.0f} ms after the signal")


def stop_without_notify_socket(executable, workspace):
    case = "no NOTIFY_SOCKET"
    service = Service(executable, workspace)
    process = service.start()
    try:
        time.sleep(0.5)  # time to report running; a failed report would show in the log
        check(process.poll() is None, case, f"ended by itself with {process.returncode}")
        check_stop(case, process, signal.SIGTERM)
        check_output(case, process)
        check(service.log_text() is None, case, f"log written: {service.log_text()!r}")
    finally:
        process.kill()


def stop_when_systemd_cannot_be_told(executable, workspace):
    case = "unreachable NOTIFY_SOCKET"
    service = Service(executable, workspace)
    process = service.start(os.path.join(service.folder, "nobody-listens"))
    entry = STAMP + f"SetServiceStatus failed, error code = {errno.ENOENT}\n"
    try:
        deadline = time.monotonic() + START_WAIT_S
        while service.log_text() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        check(re.fullmatch(entry, service.log_text() or "") is not None, case,
              f"log after the running report {service.log_text()!r}")
        # The stop still ends the process, and its failed report is logged too.
        check_stop(case, process, signal.SIGTERM)
        check(re.fullmatch(entry * 2, service.log_text() or "") is not None, case,
              f"log after the stop {service.log_text()!r}")
        check_output(case, process)
    finally:
        process.kill()


def switches_without_systemd(executable, workspace):
    if os.path.isdir("/run/systemd/system"):
        print("SKIP switches without systemd: systemd runs this machine, so the switches "
              "would act on its real service entry")
        return
    expected = STAMP + f"OpenSCManager failed, error code = {errno.ENOENT}\n"
    for switch in ["-i", "-k", "-u", "-s"]:
        case = f"switch {switch} without systemd"
        service = Service(executable, workspace)
        if switch == "-u":
            with open(service.log, "w", encoding="latin-1") as log:
                log.write("an earlier entry\n")
        result = service.run_switch(switch)
        check(result.returncode == 0, case, f"exit code {result.returncode}")
        check(result.stdout == b"", case, f"stdout {result.stdout!r}")
        check(result.stderr == b"", case, f"stderr {result.stderr!r}")
        if switch == "-u":
            check(service.log_text() is None, case, f"log left behind: {service.log_text()!r}")
        else:
            check(re.fullmatch(expected, service.log_text() or "") is not None, case,
                  f"log {service.log_text()!r}")
        print(f"{case}: done")


UNIT = "Talvoro_macadress.service"
UNIT_PATH = "/etc/systemd/system/" + UNIT
INSIDE_FLAG = "--inside-mount-namespace"

# Records each call, keeps the unit's state in a file, fails the verb it is told to, and
# talks on its stdout and stderr, which must never reach the service's. `show` answers as
# systemd does: the unit is loaded from /etc when its file is there, or from the package's
# folder when STAND_IN_PACKAGED is set.
STAND_IN_SYSTEMCTL = """#!/bin/sh
echo "$*" >> "$STAND_IN_STATE/calls"
echo "systemctl says $*"
echo "systemctl complains" >&2
[ "$1" = "$STAND_IN_FAIL" ] && exit 4
case "$1" in
  is-active) [ -e "$STAND_IN_STATE/active" ] || exit 3 ;;
  start) touch "$STAND_IN_STATE/active" ;;
  stop) rm -f "$STAND_IN_STATE/active" ;;
  show)
    if [ -n "$STAND_IN_PACKAGED" ]; then
      printf 'LoadState=loaded\\nFragmentPath=/lib/systemd/system/%s\\n' "$4"
    elif [ -e "/etc/systemd/system/$4" ]; then
      printf 'LoadState=loaded\\nFragmentPath=/etc/systemd/system/%s\\n' "$4"
    else
      printf 'LoadState=not-found\\nFragmentPath=\\n'
    fi
    if [ -e "$STAND_IN_STATE/active" ]; then echo ActiveState=active; else echo ActiveState=inactive; fi ;;
esac
exit 0
"""


def switches_with_stand_in_systemd(executable, workspace):
    """Runs inside a private mount namespace: /run and the unit folder are fresh tmpfs, so
    neither the machine's systemd nor its unit files are touched."""
    print("inside a private mount namespace")
    for target in ["/run", "/etc/systemd/system"]:
        subprocess.run(["mount", "-t", "tmpfs", "talvoro-test", target], check=True)
    os.makedirs("/run/systemd/system")
    state = tempfile.mkdtemp(prefix="systemd-state-", dir=workspace)
    tools = tempfile.mkdtemp(prefix="bin-", dir=workspace)
    with open(os.path.join(tools, "systemctl"), "w", encoding="ascii") as script:
        script.write(STAND_IN_SYSTEMCTL)
    os.chmod(os.path.join(tools, "systemctl"), 0o755)
    calls_path = os.path.join(state, "calls")

    service = Service(executable, workspace)
    exec_start = f'ExecStart="{service.path}"'  # quoted: the folder holds a blank
    name = "Talvoro_macadress"
    show = ["show --property=LoadState,FragmentPath,ActiveState -- " + UNIT]
    active = ["is-active --quiet " + UNIT]
    removal = ["disable " + UNIT, "daemon-reload", "reset-failed " + UNIT]
    # switch, the verb the stand-in fails (or "packaged": the unit is the package's), the log's
    # new entries (None: no log left), the systemctl calls, whether the unit file is there
    # afterwards. These are the failures a real systemd will not stage; the real one is driven
    # in tests/systemd.
    steps = [
        ("-i", None, [f"Service {name} installed\n"], show + ["daemon-reload", "enable " + UNIT],
         True),
        ("-i", None, [f"Failed to create service {name}, error code = 1073\n"], show, True),
        ("-s", None, [], show + active + ["start " + UNIT], True),
        ("-s", None, ["StartService failed, error code = 1056\n"], show + active, True),
        # -k reads the unit's state itself: "activating" (a restart due) is stopped too.
        ("-k", None, [], show + show + ["stop " + UNIT], True),
        ("-k", None, ["ControlService failed, error code = 1062\n"], show + show, True),
        ("-s", "start", ["StartService failed, error code = 4\n"],
         show + active + ["start " + UNIT], True),
        ("-s", "show", ["OpenService failed, error code = 4\n"], show, True),
        # A running service is stopped before its unit goes; a failed stop keeps the unit.
        ("-s", None, [], show + active + ["start " + UNIT], True),
        ("-u", "stop", None, show + show + ["stop " + UNIT], True),
        ("-u", None, None, show + show + ["stop " + UNIT] + removal, False),
        ("-u", None, None, show, False),
        ("-s", None, ["OpenService failed, error code = 1060\n"], show, False),
        ("-k", None, ["OpenService failed, error code = 1060\n"], show, False),
        # A unit that a package installed elsewhere is the entry: no second one in /etc, and
        # the switches leave its removal to the package manager.
        ("-i", "packaged", [f"Failed to create service {name}, error code = 1073\n"], show,
         False),
        ("-u", "packaged", None, show + show, False),
        # A failed enable takes the new unit file back, so that a later install can succeed.
        ("-i", "enable", [f"Failed to create service {name}, error code = 4\n"],
         show + ["daemon-reload", "enable " + UNIT, "daemon-reload"], False),
        ("-i", None, [f"Service {name} installed\n"], show + ["daemon-reload", "enable " + UNIT],
         True),
    ]
    for number, (switch, fail, entries, calls, unit_there) in enumerate(steps, 1):
        case = f"stand-in systemd, step {number} ({switch}" + (f", {fail} fails)" if fail else ")")
        before = service.log_text() or ""
        if os.path.exists(calls_path):
            os.remove(calls_path)
        packaged = "1" if fail == "packaged" else ""
        result = service.run_switch(switch, {"PATH": tools + os.pathsep + os.environ["PATH"],
                                             "STAND_IN_STATE": state, "STAND_IN_FAIL": fail or "",
                                             "STAND_IN_PACKAGED": packaged})
        check(result.returncode == 0, case, f"exit code {result.returncode}")
        check(result.stdout == b"" and result.stderr == b"", case,
              f"output {result.stdout!r} {result.stderr!r}")
        after = service.log_text()
        if entries is None:
            check(after is None, case, f"log left behind: {after!r}")
        else:
            pattern = re.escape(before) + "".join(STAMP + re.escape(entry) for entry in entries)
            check(after is not None and re.fullmatch(pattern, after) is not None, case,
                  f"log {after!r}, expected {entries!r} after {before!r}")
        made = []
        if os.path.exists(calls_path):
            with open(calls_path, encoding="latin-1") as recorded:
                made = recorded.read().splitlines()
        check(made == calls, case, f"systemctl calls {made!r}, expected {calls!r}")
        check(os.path.exists(UNIT_PATH) == unit_there, case,
              "unit file " + ("missing" if unit_there else "left behind"))
        if unit_there:
            with open(UNIT_PATH, encoding="latin-1") as unit:
                lines = unit.read().splitlines()
            check(exec_start in lines and f'ReadWritePaths="{service.folder}"' in lines, case,
                  f"unit file {lines!r}")
    print(f"stand-in systemd: {len(steps)} steps done")


def in_private_mount_namespace(executable, workspace):
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        print("SKIP switches with a stand-in systemd: needs root and unshare for a private "
              "mount namespace")
        return
    if not os.path.isdir("/etc/systemd/system"):
        print("SKIP switches with a stand-in systemd: no /etc/systemd/system to mount over")
        return
    result = subprocess.run(["unshare", "--mount", "--propagation", "private", sys.executable,
                             os.path.abspath(__file__), INSIDE_FLAG, executable, workspace],
                            capture_output=True, text=True, timeout=120)
    if not result.stdout.startswith("inside a private mount namespace"):
        print("SKIP switches with a stand-in systemd: no private mount namespace here "
              f"({result.stderr.strip()})")
        return
    sys.stdout.write(result.stdout)
    sys.stdout.write(result.stderr)
    check(result.returncode == 0, "stand-in systemd", f"exit code {result.returncode}")


def main():
    if len(sys.argv) == 4 and sys.argv[1] == INSIDE_FLAG:
        switches_with_stand_in_systemd(sys.argv[2], sys.argv[3])
        return 1 if failures else 0
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    executable = os.path.abspath(sys.argv[1])
    workspace = tempfile.mkdtemp(prefix="talvoro-foreground-")
    try:
        stop_with_notify_socket(executable, workspace, signal.SIGTERM, abstract=False)
        stop_with_notify_socket(executable, workspace, signal.SIGINT, abstract=True)
        controls_do_not_stop(executable, workspace)
        early_stops(executable, workspace)
        long_module_paths(executable, workspace)
        stop_without_notify_socket(executable, workspace)
        stop_when_systemd_cannot_be_told(executable, workspace)
        switches_without_systemd(executable, workspace)
        in_private_mount_namespace(executable, workspace)
    finally:
        shutil.rmtree(workspace, ignore_errors=True)
    return report()


if __name__ == "__main__":
    sys.exit(main())
