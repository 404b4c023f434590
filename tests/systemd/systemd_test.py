#!/usr/bin/env python3
"""The service under a real systemd, in a Debian 12 root booted with systemd-nspawn (a fresh
boot for each group): the Debian package installed, controlled with the switches and
systemctl, reinstalled, removed and purged; the bare executable in a folder with a blank,
installed and removed by its own switches, with a stand-in tunnel that the watchdog starts
again inside the unit's control group; crashes that systemd restarts and a crash loop that
its start limit ends, stops that stay stopped, a log that is a link, -i from folders others
can change; stops as early as they can come; and lintian on the package. Needs root, systemd-nspawn, nsenter and debootstrap; exits 77 (skipped) without.
Usage: systemd_test.py NATIVE_RELEASE_TREE STAND_IN_TUNNEL"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # keep the source tree clean
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, os.pardir, "integration"))
from booted_container import BootedContainer, ContainerError  # noqa: E402
from checks import check, failures, report  # noqa: E402

# Cases that this tree cannot run, named in the summary.
not_run = []
# The source of -i's check of the install folder, relative to the source tree: the folder
# cases run where it is.
INSTALL_FOLDER_CHECK = "src/service/install_folder.cpp"
from live_service import PORT, REPLY_HEADER, encode  # noqa: E402

NAME = "Talvoro_macadress"
UNIT = NAME + ".service"
PACKAGE = "talvoro-macadress"
HOME = "/opt/talvoro_macadress"
PACKAGED_UNIT = "/lib/systemd/system/" + UNIT
OWN_UNIT = "/etc/systemd/system/" + UNIT
BOOT_LINK = "/etc/systemd/system/multi-user.target.wants/" + UNIT
UNIT_PROCS = f"/sys/fs/cgroup/system.slice/{UNIT}/cgroup.procs"
STAGE = "/mnt/talvoro"  # the host's files to test, read-only inside
BARE_HOME = "/srv/Talvoro Test"  # a blank in the path, as users' folders have
TUNNEL_NAME = "stunnel"
TAP = {"name": "tap0", "hardware_address": "02:00:5e:10:00:32", "address": "192.0.2.2/24",
       "gateway": "192.0.2.1"}
ADDRESS = "02-00-5E-10-00-32"
SITE = "shop.example"
REFERER = "http://shop.example/"
STAMP = r"\d\d/\d\d/\d{4}, \d\d:\d\d:\d\d\n    "
LOG_GONE = object()  # a step's log expectation: the log is deleted
EXPOSURE_LIMIT = 3.0
EARLY_STOPS = 20
EARLY_STOP_STEP_S = 0.003  # 0 to 57 ms after the exec: the start-up until READY=1 and past it
EARLY_STOP_LIMIT_S = 5.0  # far below a kill time-out (90 s), far above a clean stop
ANSWER_WAIT_S = 15.0
SETTLE_WAIT_S = 10.0
RELAUNCH_WAIT_S = 15.0
RECOVERY_LIMIT_S = 10.0  # a crashed service runs and answers again within this
# The unit restarts a crash after RestartSec (1 s): a stop that systemd would undo shows as a
# restart within a second or two of it. Five times that stays down on any machine this runs
# on without a restart having been due.
STAY_DOWN_S = 5.0
SWITCH_TIMEOUT_S = 120
# One request on one connection; cat sends it in a single write, as a browser does, for the
# service takes a request in one receive.
CLIENT = f"exec 3<>/dev/tcp/127.0.0.1/{PORT} || exit 7; cat >&3; timeout 5 cat <&3"


def verify(case, *conditions):
    """(condition, what when it fails) pairs; prints one ok line when all hold."""
    passed = all([check(condition, case, what) for condition, what in conditions])
    if passed:
        print(f"ok   {case}")
    return passed


def wait_for(probe, seconds, step=0.1):
    """probe's first truthy value within seconds, else its last value."""
    deadline = time.monotonic() + seconds
    while True:
        value = probe()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


class Inside:
    """What the tests ask of the booted container."""

    def __init__(self, container, param):
        self.container = container
        self.request = (f"GET /?callback=cb&{param}&b&c&d&_=1700000000000 HTTP/1.1\r\n"
                        f"Host: 127.0.0.1:{PORT}\r\nReferer: {REFERER}\r\n\r\n").encode("ascii")
        self.expected_reply = REPLY_HEADER.decode("ascii") + f"cb({{'ret': '{ADDRESS}'}});"

    def run(self, *command, timeout=60):
        return self.container.run(list(command), timeout=timeout)

    def shell(self, script, timeout=60):
        return self.container.shell(script, timeout=timeout)

    def read(self, path):
        code, out, _ = self.run("cat", path)
        return out if code == 0 else None

    def exists(self, path):
        return self.run("bash", "-c", 'test -e "$1" || test -L "$1"', "-", path)[0] == 0

    def unit_property(self, name):
        return self.run("systemctl", "show", "-P", name, UNIT)[1].strip()

    def state(self):
        return self.unit_property("ActiveState")

    def reply(self):
        return self.container.run(["bash", "-c", CLIENT], input_bytes=self.request,
                                  timeout=20)[1]

    def answer_problem(self):
        """None when the service answers with the address (a starting one gets a while),
        else what it answered."""
        deadline = time.monotonic() + ANSWER_WAIT_S
        while (reply := self.reply()) != self.expected_reply:
            if time.monotonic() > deadline:
                return f"no answer with {ADDRESS}: {reply!r}"
            time.sleep(0.3)
        return None

    def listening(self):
        return self.run("ss", "-Hltn", f"sport = :{PORT}")[1].strip() != ""

    def executables(self):
        """{pid: executable path} of every process in the container."""
        out = self.shell('for p in /proc/[0-9]*; do e=$(readlink "$p/exe") && '
                         'echo "${p#/proc/} $e"; done 2>/dev/null')[1]
        return {int(pid): exe for pid, exe in (line.split(" ", 1) for line in out.splitlines())}

    def unit_pids(self):
        return [int(pid) for pid in (self.read(UNIT_PROCS) or "").split()]

    def tunnels(self):
        return [pid for pid, exe in self.executables().items()
                if os.path.basename(exe) == TUNNEL_NAME]

    def main_pid(self):
        text = self.unit_property("MainPID")
        return int(text) if text.isdigit() else 0

    def restarts(self):
        text = self.unit_property("NRestarts")
        return int(text) if text.isdigit() else None

    def answers_by(self, deadline):
        """Whether the service answers with the address before deadline (monotonic)."""
        while self.reply() != self.expected_reply:
            if time.monotonic() > deadline:
                return False
            time.sleep(0.2)
        return True

    def settled_state(self, seconds):
        """The unit's state once it is neither starting nor stopping (bounded wait)."""
        state = wait_for(lambda: self.state() in ("active", "inactive", "failed"), seconds, 0.05)
        return self.state() if state else f"still {self.state()}"


def switch_step(inside, exe, switch, entry, state, case):
    """Runs a switch and checks what it must do: exit 0 with no output, the log's new entry
    (a regular expression; None: unchanged; LOG_GONE: deleted), the unit's state after it,
    and an answer with the address whenever the unit is active."""
    log = exe + ".log"
    before = inside.read(log)
    code, out, err = inside.run(exe, switch, timeout=SWITCH_TIMEOUT_S)
    after = inside.read(log)
    if entry is LOG_GONE:
        log_ok, log_problem = after is None, f"log left behind: {after!r}"
    elif entry is None:
        log_ok, log_problem = after == before, f"log changed from {before!r} to {after!r}"
    else:
        log_ok = after is not None and re.fullmatch(
            re.escape(before or "") + STAMP + entry + "\n", after) is not None
        log_problem = f"log {after!r} after {before!r}, expected the entry {entry!r}"
    actual = inside.settled_state(SETTLE_WAIT_S)
    conditions = [(code == 0 and out == "" and err == "",
                   f"exit code {code}, output {out!r} {err!r}"),
                  (log_ok, log_problem),
                  (actual == state, f"unit {actual}, expected {state}")]
    if state == "active":
        problem = inside.answer_problem()
        conditions.append((problem is None, problem))
    return verify(case, *conditions)


# --- the Debian package --------------------------------------------------------------------

def stop_time_out_s(inside):
    text = inside.unit_property("TimeoutStopUSec")
    out = inside.run("systemd-analyze", "timespan", text)[1]
    found = re.search(r"(?:μs|us): (\d+)", out)
    return int(found.group(1)) / 1e6 if found else None


def exposure(inside):
    """The last line of systemd-analyze security and its figure."""
    out = inside.run("systemd-analyze", "security", "--no-pager", UNIT)[1]
    lines = [line for line in out.splitlines() if line.strip()]
    last = lines[-1] if lines else ""
    found = re.search(r"Overall exposure level for \S+: (\d+(?:\.\d+)?)", last)
    return last, float(found.group(1)) if found else None


def analyze_verify(inside, unit_file, case):
    """systemd-analyze verify reads the unit as systemd does: an unknown key or a value it
    cannot parse (which systemd itself only logs, then ignores) shows as a complaint."""
    code, out, err = inside.run("systemd-analyze", "verify", unit_file)
    verify(case, (code == 0 and out.strip() == "" and err.strip() == "",
                  f"exit code {code}: {out}{err}"))


def install_package(inside, deb, case):
    code, out, err = inside.run("dpkg", "-i", deb, timeout=180)
    enabled = inside.run("systemctl", "is-enabled", UNIT)[1].strip()
    state = inside.settled_state(SETTLE_WAIT_S)
    problem = inside.answer_problem()
    verify(case, (code == 0, f"dpkg -i failed ({code}): {out}{err}"),
           (enabled == "enabled", f"unit {enabled!r}, expected enabled"),
           (state == "active", f"unit {state}, expected active"),
           (problem is None, problem))


def package_case(inside, deb_name):
    deb = f"{STAGE}/{deb_name}"
    exe = f"{HOME}/talvoro_macadress"
    install_package(inside, deb, "package: dpkg -i enables and starts the unit, which answers")
    analyze_verify(inside, PACKAGED_UNIT, "package: systemd-analyze verify finds nothing in the unit")

    # The packaged unit belongs to dpkg: the switches control it but neither make nor delete
    # it (-u logs its refusal and, as on every path, deletes the log with it).
    steps = [
        ("-k", None, "inactive"),
        ("-s", None, "active"),
        ("-i", re.escape(f"Failed to create service {NAME}, error code = 1073"), "active"),
        ("-u", LOG_GONE, "active"),
    ]
    for switch, entry, state in steps:
        case = f"package: {switch}"
        switch_step(inside, exe, switch, entry, state, case)
        enabled = inside.run("systemctl", "is-enabled", UNIT)[1].strip()
        verify(case + " leaves the packaged unit alone",
               (inside.exists(PACKAGED_UNIT), f"{PACKAGED_UNIT} is gone"),
               (enabled == "enabled", f"unit {enabled!r}, expected enabled"),
               (not inside.exists(OWN_UNIT), f"{OWN_UNIT} was written"))

    limit = stop_time_out_s(inside)
    began = time.monotonic()
    code, _, err = inside.run("systemctl", "stop", UNIT, timeout=300)
    seconds = time.monotonic() - began
    print(f"     systemctl stop took {seconds:.2f} s; the unit's stop time-out is {limit} s")
    verify("package: systemctl stop returns within the unit's stop time-out",
           (code == 0, f"systemctl stop failed ({code}): {err}"),
           (limit is not None and seconds < limit, f"{seconds:.1f} s, time-out {limit} s"),
           (inside.state() == "inactive", f"unit {inside.state()} after the stop"))
    inside.run("systemctl", "start", UNIT)

    last_line, figure = exposure(inside)
    print(f"     {last_line}")
    verify(f"package: systemd-analyze security rates the unit {EXPOSURE_LIMIT} or lower",
           (figure is not None and figure <= EXPOSURE_LIMIT, f"exposure {figure}"))

    install_package(inside, deb, "package: dpkg -i over the installed package (upgrade)")

    # The log is the administrator's: removal keeps it, purge deletes it.
    log = exe + ".log"
    inside.shell(f"[ -e {log} ] || echo 'an entry' >{log}")
    kept = inside.read(log)

    code, out, err = inside.run("dpkg", "-r", PACKAGE, timeout=180)
    status_code, _, status_err = inside.run("systemctl", "status", "--no-pager", UNIT)
    left = {pid: path for pid, path in inside.executables().items()
            if path.startswith(HOME + "/")}
    verify("package: dpkg -r stops and removes the service, the log stays",
           (code == 0, f"dpkg -r failed ({code}): {out}{err}"),
           (not inside.exists(PACKAGED_UNIT), f"{PACKAGED_UNIT} is still there"),
           (not inside.exists(BOOT_LINK), f"{BOOT_LINK} is still there"),
           (left == {}, f"processes of the package still run: {left}"),
           (not inside.listening(), f"something still listens on {PORT}"),
           (status_code == 4 and "could not be found" in status_err,
            f"systemctl status exit code {status_code}: {status_err.strip()!r}"),
           (inside.read(log) == kept, f"the log was {kept!r}, now {inside.read(log)!r}"))

    code, out, err = inside.run("dpkg", "-P", PACKAGE, timeout=180)
    verify("package: dpkg -P deletes the log and the folder",
           (code == 0, f"dpkg -P failed ({code}): {out}{err}"),
           (not inside.exists(HOME), f"{HOME} is still there"))


# --- the bare executable -------------------------------------------------------------------

def tunnel_in_unit(inside, other_than=None):
    """The stand-in tunnel's pid inside the unit's control group, or None."""
    tunnels = set(inside.tunnels()) & set(inside.unit_pids())
    tunnels.discard(other_than)
    return min(tunnels) if tunnels else None


def last_start(inside):
    lines = (inside.read(f"{BARE_HOME}/bin/starts") or "").split()
    return int(lines[-1]) if lines else None


def check_tunnel_relaunch(inside):
    tunnel = wait_for(lambda: tunnel_in_unit(inside), RELAUNCH_WAIT_S)
    if not verify("bare: the watchdog starts the stand-in tunnel in the unit's control group",
                  (tunnel is not None, f"no {TUNNEL_NAME} among the unit's processes "
                   f"{inside.unit_pids()}; tunnels anywhere: {inside.tunnels()}"),
                  (tunnel is not None and last_start(inside) == tunnel,
                   f"the stand-in's record of its start: {last_start(inside)}")):
        return
    killed = inside.shell(f"kill -KILL {tunnel}")[0] == 0  # bash's own: minbase has no kill(1)
    began = time.monotonic()
    again = wait_for(lambda: tunnel_in_unit(inside, other_than=tunnel), RELAUNCH_WAIT_S)
    print(f"     the stand-in ran again {time.monotonic() - began:.2f} s after it was killed")
    verify("bare: a killed stand-in tunnel is started again in the unit's control group",
           (killed, f"could not kill the stand-in {tunnel}"),
           (again is not None, f"not started again within {RELAUNCH_WAIT_S:.0f} s"),
           (again is not None and last_start(inside) == again,
            f"the last recorded start is {last_start(inside)}, the running one {again}"))


def check_sweep(inside):
    """SIGUSR1 (the user code 128) starts another pair of workers: the new query server's
    start-up sweep ends the running tunnel, which the confined service may still do to its own,
    and a watchdog starts it again."""
    tunnel = wait_for(lambda: tunnel_in_unit(inside), RELAUNCH_WAIT_S)
    sent = inside.run("systemctl", "kill", "--kill-whom=main", "-s", "SIGUSR1", UNIT)[0] == 0
    gone = wait_for(lambda: tunnel not in inside.tunnels(), RELAUNCH_WAIT_S)
    again = wait_for(lambda: tunnel_in_unit(inside, other_than=tunnel), RELAUNCH_WAIT_S)
    verify("bare: SIGUSR1's second query server sweeps the tunnel away and it is started again",
           (tunnel is not None and sent, f"tunnel {tunnel}, SIGUSR1 sent: {sent}"),
           (gone, f"the tunnel {tunnel} still runs after the sweep"),
           (again is not None, f"no tunnel again within {RELAUNCH_WAIT_S:.0f} s"),
           (inside.state() == "active" and inside.answer_problem() is None,
            f"the service after SIGUSR1: {inside.state()}, {inside.answer_problem()}"))


def check_writable_folder(inside):
    """In the service's own mount namespace: the executable's folder takes its log, the rest
    of the system is read-only."""
    main_pid = inside.unit_property("MainPID")

    def touches(folder):
        probe = f"{folder}/.talvoro-write-probe"
        code = inside.run("nsenter", "-t", main_pid, "-m", "--", "touch", probe)[0]
        inside.run("nsenter", "-t", main_pid, "-m", "--", "rm", "-f", probe)
        return code == 0

    verify("bare: the service may write its own folder and not /etc",
           (main_pid not in ("", "0"), "no main process"),
           (touches(BARE_HOME), f"{BARE_HOME} is not writable for the service"),
           (not touches("/etc"), "/etc is writable for the service"))


def check_gone_after_uninstall(inside):
    gone = wait_for(lambda: not inside.unit_pids() and not inside.listening()
                    and not inside.tunnels(), SETTLE_WAIT_S)
    verify("bare: after -u nothing of the service runs and systemd forgets the unit",
           (gone, f"still running: unit {inside.unit_pids()}, tunnels {inside.tunnels()}, "
                  f"listener {inside.listening()}"),
           (not inside.exists(OWN_UNIT), f"{OWN_UNIT} is still there"),
           (not inside.exists(BOOT_LINK), f"{BOOT_LINK} is still there"),
           (inside.unit_property("LoadState") == "not-found",
            f"unit {inside.unit_property('LoadState')}, expected not-found"))


# --- recovery and stops ----------------------------------------------------------------------

def check_crash_recovery(inside, signal_name):
    """A main process that dies of signal_name runs again, as a new process, and answers
    within RECOVERY_LIMIT_S."""
    inside.run("systemctl", "reset-failed", UNIT)  # the start limit's count, from here
    old = inside.main_pid()
    restarts = inside.restarts()
    killed = old != 0 and inside.shell(f"kill -{signal_name} {old}")[0] == 0
    began = time.monotonic()
    deadline = began + RECOVERY_LIMIT_S
    new = wait_for(lambda: inside.main_pid() not in (0, old) and inside.state() == "active"
                   and inside.main_pid(), RECOVERY_LIMIT_S, 0.05)
    answers = bool(new) and inside.answers_by(deadline)
    print(f"     after SIG{signal_name}: running again in {time.monotonic() - began:.2f} s")
    verify(f"bare: a main process killed by SIG{signal_name} runs again and answers within "
           f"{RECOVERY_LIMIT_S:.0f} s",
           (killed, f"no main process to kill ({old})"),
           (bool(new), f"main process {inside.main_pid()}, unit {inside.state()}, "
                       f"result {inside.unit_property('Result')}"),
           (answers, "no answer with the address in time"),
           (restarts is not None and inside.restarts() == restarts + 1,
            f"NRestarts {restarts} -> {inside.restarts()}"))


def check_crash_loop_ends(inside):
    """A service that keeps crashing is restarted StartLimitBurst times, then left failed."""
    burst = int(inside.unit_property("StartLimitBurst") or 0)
    inside.run("systemctl", "reset-failed", UNIT)
    restarted = 0
    for _ in range(burst + 2):
        old = inside.main_pid()
        if old == 0 or inside.shell(f"kill -KILL {old}")[0] != 0:
            break
        new = wait_for(lambda: inside.state() == "failed" or (
            inside.main_pid() not in (0, old) and inside.state() == "active"),
            RECOVERY_LIMIT_S, 0.05)
        if not new or inside.state() == "failed":
            break
        restarted += 1
    # The start refused keeps the result of the crash before it.
    result = inside.unit_property("Result")
    state = inside.state()
    restarts = inside.restarts()
    # Stays failed: the next due restart, had one been queued, would come after RestartSec.
    came_back = wait_for(lambda: inside.state() != "failed", STAY_DOWN_S / 2)
    verify(f"bare: a crash loop ends after StartLimitBurst ({burst}) restarts",
           (burst > 0, "no StartLimitBurst"),
           (restarted == burst, f"{restarted} restarts seen, NRestarts {restarts}"),
           (state == "failed" and result in ("signal", "start-limit-hit"),
            f"unit {state}, result {result}"),
           (not came_back, f"the unit left failed: {inside.state()}"))
    inside.run("systemctl", "reset-failed", UNIT)
    inside.run("systemctl", "start", UNIT)


def stop_with_systemctl(inside, _exe):
    return inside.run("systemctl", "stop", UNIT)[0] == 0


def stop_with_switch(inside, exe):
    code, out, err = inside.run(exe, "-k", timeout=SWITCH_TIMEOUT_S)
    return code == 0 and out == "" and err == ""


def stop_with_sigterm(inside, _exe):
    pid = inside.main_pid()
    return pid != 0 and inside.shell(f"kill -TERM {pid}")[0] == 0


# How an administrator stops the service: each is a stop that must stay.
STOPS = [("systemctl stop", stop_with_systemctl), ("-k", stop_with_switch),
         ("SIGTERM to the main process", stop_with_sigterm)]


def check_stops_stay(inside, exe):
    for how, stop in STOPS:
        inside.run("systemctl", "reset-failed", UNIT)
        if inside.state() != "active":
            inside.run("systemctl", "start", UNIT)
        started = inside.state() == "active"
        restarts = inside.restarts()
        stopped = stop(inside, exe)
        settled = inside.settled_state(SETTLE_WAIT_S)
        # The absence of a restart, watched for well past RestartSec.
        woke = wait_for(lambda: inside.state() != "inactive" or inside.restarts() != restarts,
                        STAY_DOWN_S, 0.1)
        verify(f"bare: after {how} the service stays stopped for {STAY_DOWN_S:.0f} s",
               (started, "the service did not run before the stop"),
               (stopped, f"{how} failed"),
               (settled == "inactive", f"unit {settled} after the stop"),
               (not woke, f"unit {inside.state()} ({inside.unit_property('SubState')}), "
                          f"NRestarts {restarts} -> {inside.restarts()}"),
               (inside.main_pid() == 0 and not inside.listening(),
                f"main process {inside.main_pid()}, listening {inside.listening()}"))


def check_stop_while_restart_is_due(inside, exe):
    """-k while systemd waits to start a crashed service again cancels that start. A drop-in
    lengthens RestartSec for this case, so that the wait is long enough to be met for certain;
    the unit then reads "activating (auto-restart)", and a stop must not be refused as if
    nothing ran."""
    drop_in = f"/run/systemd/system/{UNIT}.d"
    inside.container.must(f"mkdir -p {drop_in} && printf '[Service]\\nRestartSec=600\\n' "
                          f"> {drop_in}/restart-wait.conf && systemctl daemon-reload")
    inside.run("systemctl", "reset-failed", UNIT)
    inside.run("systemctl", "start", UNIT)
    old = inside.main_pid()
    killed = old != 0 and inside.shell(f"kill -KILL {old}")[0] == 0
    waiting = wait_for(lambda: inside.unit_property("SubState") == "auto-restart",
                       RECOVERY_LIMIT_S, 0.05)
    stopped = stop_with_switch(inside, exe)
    state, sub = inside.state(), inside.unit_property("SubState")
    jobs = inside.run("systemctl", "list-jobs", "--no-legend", UNIT)[1].strip()
    verify("bare: -k while a restart is due stops the service for good",
           (killed, f"no main process to kill ({old})"),
           (bool(waiting), f"unit {inside.state()} ({inside.unit_property('SubState')}), "
                           "never waiting to restart"),
           (stopped, "-k failed"),
           (state == "inactive" and sub == "dead", f"unit {state} ({sub}) after -k"),
           (jobs == "", f"jobs still queued: {jobs!r}"))
    inside.container.must(f"rm -rf {drop_in} && systemctl daemon-reload")
    inside.run("systemctl", "start", UNIT)


# --- the log and the install folder ----------------------------------------------------------

def check_log_links(inside, exe):
    """-i on the installed unit logs its refusal (1073); with the log a link, that entry goes
    nowhere: the file it points at keeps its text, and a missing one is not made."""
    log = exe + ".log"
    for what, target, text in (("a link to another file", "/etc/talvoro-kept", "kept\n"),
                               ("a dangling link", "/etc/talvoro-never", None)):
        inside.shell(f"rm -f '{log}' {target}"
                     + (f" && printf '{text}' >{target}" if text else "")
                     + f" && ln -s {target} '{log}'")
        code, out, err = inside.run(exe, "-i", timeout=SWITCH_TIMEOUT_S)
        after = inside.read(target)
        linked = inside.run("test", "-L", log)[0] == 0
        verify(f"bare: with the log {what}, -i writes nothing through it",
               (code == 0 and out == "" and err == "", f"exit code {code}, output {out!r} {err!r}"),
               (after == text, f"{target} is {after!r}, was {text!r}"),
               (linked, "the link was replaced"))
        inside.shell(f"rm -f '{log}' {target}")


def install_folder_check_in_tree():
    """Whether this source tree has -i's check of the install folder."""
    return os.path.exists(os.path.join(HERE, os.pardir, os.pardir, INSTALL_FOLDER_CHECK))


# -i from each folder that someone other than root can change: no unit, and an entry that names
# the folder. (folder, what, how it is made so, from a root-owned folder with a bin.)
UNSAFE_FOLDERS = [
    ("/srv/open", "a world-writable folder", "chmod 0777 /srv/open"),
    ("/srv/nobodys", "a folder owned by nobody", "chown nobody: /srv/nobodys"),
    ("/srv/open-bin", "a root-owned folder with a writable bin", "chmod 0777 /srv/open-bin/bin"),
]


def check_install_folders(inside, exe):
    cases = [f"bare: -i from {what} is refused with a log entry naming it"
             for _, what, _ in UNSAFE_FOLDERS]
    if not install_folder_check_in_tree():
        for case in cases:
            not_run.append(f"{case} (the install folder check is not in this tree)")
            print(f"NOT RUN {not_run[-1]}")
        return
    switch_step(inside, exe, "-u", LOG_GONE, "inactive", "bare: -u before the folder cases")
    for (folder, _, make_unsafe), case in zip(UNSAFE_FOLDERS, cases):
        copy = f"{folder}/talvoro_macadress"
        inside.container.must(f"mkdir -p {folder}/bin && cp {STAGE}/talvoro_macadress {folder}/ "
                              f"&& cp {STAGE}/{TUNNEL_NAME} {folder}/bin/ && {make_unsafe}")
        code, out, err = inside.run(copy, "-i", timeout=SWITCH_TIMEOUT_S)
        log = inside.read(copy + ".log") or ""
        verify(case,
               (code == 0 and out == "" and err == "", f"exit code {code}, output {out!r} {err!r}"),
               (not inside.exists(OWN_UNIT), f"{OWN_UNIT} was written"),
               (inside.unit_property("LoadState") == "not-found",
                f"unit {inside.unit_property('LoadState')}"),
               (re.fullmatch(STAMP + ".*" + re.escape(folder) + ".*\n", log, re.DOTALL)
                is not None, f"log {log!r}"))
    switch_step(inside, exe, "-i", re.escape(f"Service {NAME} installed"), "inactive",
                "bare: -i from a root-owned folder installs the unit")


def early_stop_outcome(inside, exe, delay_s):
    """Starts the unit without waiting and sends SIGTERM to its main process delay_s after
    it runs the service's code. (state, result, how the main process ended), or a reason."""
    script = (f"exe='{exe}'\n"
              f"systemctl reset-failed {UNIT}\n"  # also its start limit: 20 starts in a row
              f"systemctl start --no-block {UNIT} || exit 1\n"
              "for try in $(seq 1000); do\n"
              f"  pid=$(systemctl show -P MainPID {UNIT}); [ \"$pid\" != 0 ] && break\n"
              "done\n"
              # systemd sets the main pid when it forks: the signal is for the service itself.
              "for try in $(seq 5000); do\n"
              '  [ "$(readlink /proc/$pid/exe)" = "$exe" ] && break\n'
              "done\n"
              + (f"sleep {delay_s:.3f}\n" if delay_s else "")
              + 'kill -TERM "$pid" && exit\nexit 2\n')
    code = inside.shell(script)[0]
    if code != 0:
        return f"no SIGTERM sent ({code}): the service's main process was not seen"
    state = inside.settled_state(EARLY_STOP_LIMIT_S)
    how = {"1": "exited", "2": "killed", "3": "dumped"}.get(inside.unit_property("ExecMainCode"),
                                                            "?")
    return (state, inside.unit_property("Result"),
            f"{how} {inside.unit_property('ExecMainStatus')}")


# A stop the service took in hand ends the unit "inactive". A SIGTERM that comes before the
# program can catch it kills it, and systemd calls a notify service that ends before it said
# it was ready a protocol failure: the signal's doing, not the service's.
EARLY_STOP_OUTCOMES = {("inactive", "success", "exited 0"),
                       ("failed", "protocol", "killed 15")}


def check_early_stops(inside, exe):
    """Stops as early as they can come, spread over the service's start-up (at once, and a
    few milliseconds later each time): the service must end by itself, not after systemd's
    kill time-out."""
    inside.run("systemctl", "stop", UNIT)
    tally = {}
    bad = []
    for number in range(EARLY_STOPS):
        delay_s = number * EARLY_STOP_STEP_S
        outcome = early_stop_outcome(inside, exe, delay_s)
        tally[outcome] = tally.get(outcome, 0) + 1
        if outcome not in EARLY_STOP_OUTCOMES:
            bad.append((f"{delay_s * 1000:.0f} ms", outcome))
    print(f"     {EARLY_STOPS} early stops (state, result, main process): {tally}")
    verify(f"bare: {EARLY_STOPS} SIGTERMs during the start end the unit within "
           f"{EARLY_STOP_LIMIT_S:.0f} s, inactive", (not bad, f"(delay, outcome): {bad}"))


def bare_executable_case(inside, _deb_name):
    exe = f"{BARE_HOME}/talvoro_macadress"
    inside.container.must(f"mkdir -p '{BARE_HOME}/bin' && cp {STAGE}/talvoro_macadress "
                          f"'{BARE_HOME}/' && cp {STAGE}/{TUNNEL_NAME} '{BARE_HOME}/bin/'")
    installed = re.escape(f"Service {NAME} installed")
    switch_step(inside, exe, "-i", installed, "inactive", "bare: -i installs the unit")
    enabled = inside.run("systemctl", "is-enabled", UNIT)[1].strip()
    verify("bare: -i writes and enables its own unit",
           (inside.exists(OWN_UNIT), f"no {OWN_UNIT}"),
           (enabled == "enabled", f"unit {enabled!r}, expected enabled"))
    analyze_verify(inside, OWN_UNIT, "bare: systemd-analyze verify finds nothing in the unit")
    switch_step(inside, exe, "-i",
                re.escape(f"Failed to create service {NAME}, error code = 1073"), "inactive",
                "bare: a second -i finds it installed")
    switch_step(inside, exe, "-s", None, "active", "bare: -s starts it and it answers")
    check_tunnel_relaunch(inside)
    check_sweep(inside)
    check_writable_folder(inside)
    switch_step(inside, exe, "-u", LOG_GONE, "inactive",
                "bare: -u while it runs stops and removes it, and deletes the log")
    check_gone_after_uninstall(inside)
    switch_step(inside, exe, "-i", installed, "inactive", "bare: -i again after -u")
    switch_step(inside, exe, "-s", None, "active", "bare: -s again after -u and -i")
    began = time.monotonic()
    for signal_name in ("SEGV", "KILL"):
        check_crash_recovery(inside, signal_name)
    check_crash_loop_ends(inside)
    check_stops_stay(inside, exe)
    check_stop_while_restart_is_due(inside, exe)
    check_log_links(inside, exe)
    print(f"     crashes, stops and log links took {time.monotonic() - began:.1f} s")
    check_early_stops(inside, exe)
    check_install_folders(inside, exe)


# --- lintian ---------------------------------------------------------------------------------

def lintian_case(deb):
    if shutil.which("lintian") is None:
        print("SKIP lintian: not installed")
        return
    result = subprocess.run(["lintian", "--display-info", deb], capture_output=True,
                            text=True, timeout=600)
    print("     lintian --display-info:")
    print("".join(f"     | {line}\n" for line in result.stdout.splitlines()), end="")
    explained = subprocess.run(["lintian", "--info", "--display-info", deb],
                               capture_output=True, text=True, timeout=600)
    print(f"     lintian --info --display-info: {len(explained.stdout.splitlines())} lines")
    tags = re.findall(r"^([EW]): \S+: (\S+)", result.stdout, re.MULTILINE)
    unexpected = [f"{level}: {tag}" for level, tag in tags if "opt" not in tag]
    complaints = [line for line in result.stderr.splitlines()
                  if "running with root privileges is not recommended" not in line]
    verify("lintian: no error or warning but those about /opt",
           (result.returncode in (0, 1) and not complaints,
            f"lintian failed ({result.returncode}): {complaints}"),
           (not unexpected, f"tags {unexpected}"))


# --- set-up ----------------------------------------------------------------------------------

def build_package(tree, scratch):
    out = os.path.join(scratch, "deb")
    result = subprocess.run(["cpack", "-G", "DEB", "--config",
                             os.path.join(tree, "CPackConfig.cmake"), "-B", out],
                            capture_output=True, text=True, timeout=300)
    debs = [name for name in os.listdir(out) if name.endswith(".deb")] \
        if os.path.isdir(out) else []
    if not verify("cpack makes the Debian package",
                  (result.returncode == 0 and len(debs) == 1,
                   f"cpack ({result.returncode}): {result.stdout}{result.stderr}")):
        return None
    return os.path.join(out, debs[0])


def make_root(tree):
    began = time.monotonic()
    result = subprocess.run(["bash", os.path.join(HERE, "systemd_root.sh"), tree],
                            capture_output=True, text=True, timeout=600)
    if not verify("the Debian 12 root for systemd-nspawn",
                  (result.returncode == 0, f"systemd_root.sh: {result.stderr.strip()}")):
        return None
    print(f"     root {result.stdout.strip()} ready in {time.monotonic() - began:.1f} s")
    return result.stdout.strip()


def in_fresh_container(case, root, stage, param, deb_name):
    try:
        with BootedContainer(root, [(stage, STAGE)]) as container:
            container.add_tap(**TAP)
            case(Inside(container, param), deb_name)
    except ContainerError as error:
        check(False, case.__name__, str(error))


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    if os.geteuid() != 0:
        print("SKIP: booting a container needs root")
        return 77
    missing = [tool for tool in ("systemd-nspawn", "nsenter", "debootstrap", "cpack")
               if shutil.which(tool) is None]
    if missing:
        print(f"SKIP: {', '.join(missing)} not installed")
        return 77
    # A stop from outside (ctest, kill) still powers the container off.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    began = time.monotonic()
    tree = os.path.abspath(sys.argv[1])
    scratch = tempfile.mkdtemp(prefix="talvoro-systemd-")
    try:
        deb = build_package(tree, scratch)
        root = make_root(tree)
        if deb is not None:
            lintian_case(deb)
        if root is not None and deb is not None:
            stage = os.path.join(scratch, "stage")
            os.mkdir(stage)
            shutil.copy2(deb, stage)
            shutil.copy2(os.path.join(tree, "src", "talvoro_macadress"), stage)
            shutil.copy2(os.path.abspath(sys.argv[2]), os.path.join(stage, TUNNEL_NAME))
            param = encode(os.path.join(tree, "tools", "macparam"), SITE)
            for case in (package_case, bare_executable_case):
                in_fresh_container(case, root, stage, param, os.path.basename(deb))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"summary: ran {time.monotonic() - began:.0f} s")
    for failure in failures:
        print(f"  FAIL {failure}")
    for case in not_run:
        print(f"  NOT RUN {case}")
    return report()


if __name__ == "__main__":
    sys.exit(main())
