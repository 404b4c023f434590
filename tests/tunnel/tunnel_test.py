#!/usr/bin/env python3
"""The service with the real TLS tunnel program on Linux: the watchdog launches it, HTTPS
requests reach the query server through it, every kill is followed by a fresh launch, no dead
tunnel is left as a zombie, and a stop of the service leaves the tunnel running.
Usage: tunnel_test.py EXE

The classes here are also the set-up of bench/idle_cpu.py."""

import os
import shlex
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                "integration"))
from checks import check, failures, report  # noqa: E402
# become_subreaper is also the set-up of bench/idle_cpu.py.
from tunnel_setup import (become_subreaper, free_loopback_port, read_tail,  # noqa: E402,F401
                          write_tunnel_config)

QUERY_PORT = 10032
TUNNEL_NAME = "stunnel"  # the watchdog's name rule: contained in the lower-cased file name
TUNNEL_PROGRAM = "/usr/bin/stunnel4"
REQUEST = b"GET /?callback=cb&a&b&c&d&e HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
REPLY = (b"HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Type: text/html\r\n\r\n"
         b"cb({'ret': ''});")
SCAN_STEP_S = 0.005  # the watchdog's pause per process entry
START_WAIT_S = 15.0  # generous: the sanitizer build starts slowly
STOP_WAIT_S = 10.0
LOG_TAIL_CHARS = 800  # enough of the tunnel's log to tell why it failed
FOREIGN_WAIT_S = 60.0
KILLS = 20


class Abort(Exception):
    """A failed step that leaves nothing sensible to check after it."""


# --- processes --------------------------------------------------------------------------

def process_count():
    return sum(1 for name in os.listdir("/proc") if name.isdigit())


def scan_cycle_s():
    """How long one watchdog scan of the whole process list takes."""
    return (process_count() + 1) * SCAN_STEP_S


def process_info(pid):
    """(file name, state letter, parent pid) as the watchdog sees the name, or None once gone.
    A zombie has no executable left, so its short name stands in, as it does for the service."""
    try:
        with open(f"/proc/{pid}/status", encoding="latin-1") as status:
            fields = dict(line.rstrip("\n").split(":\t", 1) for line in status if ":\t" in line)
    except (FileNotFoundError, ProcessLookupError):
        return None
    try:
        name = os.path.basename(os.readlink(f"/proc/{pid}/exe").removesuffix(" (deleted)"))
    except OSError:
        name = fields.get("Name", "")
    return name, fields.get("State", "?")[:1], int(fields.get("PPid", "0"))


def processes():
    table = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            info = process_info(int(entry))
            if info is not None:
                table[int(entry)] = info
    return table


def is_tunnel(name):
    return TUNNEL_NAME in name.lower()


def tunnels(parent=None, zombies=False):
    """Processes that count as the tunnel (of one parent), by pid."""
    return sorted(pid for pid, (name, state, ppid) in processes().items()
                  if is_tunnel(name) and (state == "Z") == zombies
                  and (parent is None or ppid == parent))


def end_children():
    """Kills and reaps every child of this process: the service's orphaned tunnels, and
    anything a launch was starting when the service was killed."""
    deadline = time.monotonic() + STOP_WAIT_S
    while time.monotonic() < deadline:
        children = [pid for pid, (_, _, ppid) in processes().items() if ppid == os.getpid()]
        if not children:
            return
        for pid in children:
            try:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            except (ProcessLookupError, ChildProcessError):
                pass


def wait_until(condition, seconds, step=0.02):
    """condition()'s first true value within the time, else None."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value or None
        time.sleep(step)


def require_quiet_machine():
    """The service's start-up sweep ends the first tunnel it finds, and the watchdog counts any
    tunnel as its own: a tunnel or a query server of someone else would spoil the run."""
    if wait_until(lambda: not tunnels() and not listeners(QUERY_PORT), FOREIGN_WAIT_S,
                  step=0.5) is None:
        raise Abort(f"another tunnel {tunnels()} or service on port {QUERY_PORT} keeps running")


# --- traffic ------------------------------------------------------------------------------

def exchange(port, tls, timeout=5.0):
    """The reply to REQUEST, read to the end of the connection."""
    connection = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    if tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE  # the test's own self-signed certificate
        connection = context.wrap_socket(connection)
    with connection:
        connection.sendall(REQUEST)
        reply = b""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                chunk = connection.recv(4096)
            except ssl.SSLEOFError:
                break  # the tunnel may close without a TLS close alert
            if not chunk:
                break
            reply += chunk
        return reply


def listeners(port):
    """The listening TCP sockets on the port, as their /proc/PID/fd link texts."""
    inodes = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table, encoding="ascii") as rows:
            for row in list(rows)[1:]:
                fields = row.split()
                if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                    inodes.add(f"socket:[{fields[9]}]")
    return inodes


def listens_on(pid, port):
    """Whether the process holds a listening socket on the port: the query server that
    answers must be this service's, not one that another run left on the port."""
    inodes = listeners(port)
    try:
        descriptors = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return False
    for fd in descriptors:
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}") in inodes:
                return True
        except OSError:
            pass
    return False


def answers(port, tls):
    try:
        return exchange(port, tls, timeout=2.0) == REPLY
    except OSError:
        return False


# --- the service's folder and run ---------------------------------------------------------

class ServiceFolder:
    """The executable copied into a folder of its own (with a blank in its path, which the
    launch must not split), beside bin/stunnel as one of three programs:
    "tunnel"  a launcher that execs the real tunnel program in the foreground, TLS on a free
              loopback port to the query server;
    "exits"   a stand-in that ends at once;
    None      no bin/stunnel at all.
    Both scripts add a line with their argument count to `launches` on every launch."""

    def __init__(self, executable, program):
        self.folder = tempfile.mkdtemp(prefix="tunnel dir ")
        self.executable = os.path.join(self.folder, "talvoro_macadress")
        shutil.copy2(executable, self.executable)
        self.launches_path = os.path.join(self.folder, "launches")
        self.tunnel_log = os.path.join(self.folder, "tunnel.log")
        self.tunnel_port = free_loopback_port()
        if program is not None:
            os.mkdir(os.path.join(self.folder, "bin"))
            body = self._tunnel_command() if program == "tunnel" else "exit 0"
            self._write_launcher(body)

    def _tunnel_command(self):
        config = write_tunnel_config(self.folder, self.tunnel_port, self.tunnel_log)
        return f"exec {TUNNEL_PROGRAM} {shlex.quote(config)}"

    def _write_launcher(self, body):
        # Only shell built-ins before the exec: until then the process is named after the
        # shell, and a scan in that gap would miss the tunnel.
        path = os.path.join(self.folder, "bin", "stunnel")
        with open(path, "w", encoding="utf-8") as out:
            out.write(f"#!/bin/sh\necho \"$#\" >> {shlex.quote(self.launches_path)}\n{body}\n")
        os.chmod(path, 0o755)

    def launches(self):
        """The argument count of every launch so far."""
        try:
            with open(self.launches_path, encoding="utf-8") as log:
                return log.read().split()
        except FileNotFoundError:
            return []

    def tunnel_log_tail(self):
        return read_tail(self.tunnel_log, LOG_TAIL_CHARS)

    def remove(self):
        shutil.rmtree(self.folder, ignore_errors=True)


class RunningService:
    """The service in the foreground; `end` kills it and whatever it left, on every way out."""

    def __init__(self, folder):
        self.output_path = os.path.join(folder.folder, "service.out")
        env = {key: value for key, value in os.environ.items() if key != "NOTIFY_SOCKET"}
        with open(self.output_path, "wb") as output:
            self.process = subprocess.Popen([folder.executable], cwd=folder.folder, env=env,
                                            stdin=subprocess.DEVNULL, stdout=output,
                                            stderr=subprocess.STDOUT)
        self.pid = self.process.pid
        self.seen = set()  # every tunnel of this run, to tell whether clean-up ended them

    def wait_for_queries(self):
        """Once the query server answers, its start-up sweep is over."""
        if wait_until(lambda: listens_on(self.pid, QUERY_PORT) and answers(QUERY_PORT, tls=False),
                      START_WAIT_S + scan_cycle_s(), step=0.1) is None:
            raise Abort(f"the query server never answered on port {QUERY_PORT}; exit "
                        f"{self.process.poll()}, output {self.output()!r}")

    def tunnel(self):
        """The one tunnel the service runs, or None."""
        running = tunnels(self.pid)
        self.seen.update(running)
        return running[0] if len(running) == 1 else None

    def cpu_seconds(self):
        with open(f"/proc/{self.pid}/stat", encoding="latin-1") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime + stime

    def output(self):
        with open(self.output_path, "rb") as output:
            return output.read()

    def end(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=STOP_WAIT_S)
        end_children()


# --- the checks ---------------------------------------------------------------------------



def relaunch_bound_s():
    # A kill just after a scan began: that scan still finds the dead tunnel's entry, the next
    # one runs to its end without it, then the launch; plus time for the tunnel to come up.
    return 2 * scan_cycle_s() + 3.0


def wait_for_working_tunnel(case, service, folder, old_pid):
    """The pid of a tunnel other than old_pid that carries a request, within the bound."""
    began = time.monotonic()
    bound = relaunch_bound_s()

    def new_tunnel():
        running = service.tunnel()
        return running if running != old_pid else None

    pid = wait_until(new_tunnel, bound)
    if pid is None:
        raise Abort(f"{case}: no tunnel within {bound:.1f} s; the service's {tunnels(service.pid)}"
                    f", others {tunnels()}, launches {folder.launches()}, "
                    f"tunnel log {folder.tunnel_log_tail()!r}")
    remaining = max(bound - (time.monotonic() - began), 1.0)
    if wait_until(lambda: answers(folder.tunnel_port, tls=True), remaining, step=0.05) is None:
        reply = exchange(folder.tunnel_port, tls=True) if service.tunnel() else b""
        raise Abort(f"{case}: tunnel {pid} gave {reply!r}; log {folder.tunnel_log_tail()!r}")
    return pid, time.monotonic() - began


def check_launch(case, pid, folder):
    check(all(count == "0" for count in folder.launches()), case,
          f"argument counts of the launches {folder.launches()}, expected none")
    for fd in (0, 1, 2):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError as error:
            target = str(error)
        check(target == "/dev/null", case, f"fd {fd} of the tunnel is {target}")


def check_first_tunnel(service, folder):
    case = "first tunnel"
    pid, seconds = wait_for_working_tunnel(case, service, folder, old_pid=None)
    print(f"{case}: pid {pid} carried an HTTPS request, {seconds:.2f} s after the query server "
          f"answered; {len(folder.launches())} launch(es)")
    check_launch(case, pid, folder)
    return pid


def check_running_tunnel_is_left_alone(service, folder, pid):
    case = "running tunnel"
    launched = len(folder.launches())
    time.sleep(2 * scan_cycle_s() + 0.5)  # two whole scans that find it
    check(service.tunnel() == pid, case,
          f"tunnel {pid} replaced by {tunnels(service.pid)} while it ran")
    check(len(folder.launches()) == launched, case,
          f"{len(folder.launches()) - launched} launch(es) while the tunnel ran")


def check_kills(service, folder, pid):
    case = "kill"
    latencies = []
    launched = len(folder.launches())
    for kill in range(1, KILLS + 1):
        os.kill(pid, signal.SIGKILL)
        pid, seconds = wait_for_working_tunnel(f"{case} {kill}", service, folder, old_pid=pid)
        latencies.append(seconds)
    # Printed, not checked: a scan that falls between the launch and the launcher's exec sees
    # only the shell and launches once more (that tunnel cannot bind the port and ends).
    print(f"{case}: {KILLS} kills, each relaunched and carrying requests, in "
          f"{len(folder.launches()) - launched} launches; relaunch {min(latencies):.2f} .. "
          f"{max(latencies):.2f} s (bound {relaunch_bound_s():.1f} s)")
    check_launch(case, pid, folder)
    zombies = tunnels(service.pid, zombies=True)
    check(not zombies, case, f"zombie tunnels {zombies} after {KILLS} kills")
    return pid


def check_stop(service, pid):
    case = "SIGTERM"
    service.process.send_signal(signal.SIGTERM)
    try:
        code = service.process.wait(timeout=STOP_WAIT_S)
    except subprocess.TimeoutExpired:
        raise Abort(f"{case}: the service did not end within {STOP_WAIT_S} s") from None
    check(code == 0, case, f"exit code {code}, expected 0")
    check(service.output() == b"", case, f"output {service.output()[:LOG_TAIL_CHARS]!r}")
    info = process_info(pid)
    check(info is not None and info[1] != "Z", case,
          f"tunnel {pid} ended with the service: {info}")
    print(f"{case}: exit {code}, tunnel {pid} still runs: {info}")


def run(executable):
    require_quiet_machine()
    folder = ServiceFolder(executable, "tunnel")
    service = RunningService(folder)
    try:
        service.wait_for_queries()
        pid = check_first_tunnel(service, folder)
        check_running_tunnel_is_left_alone(service, folder, pid)
        pid = check_kills(service, folder, pid)
        check_stop(service, pid)
    finally:
        service.end()
        folder.remove()
        leftover = [pid for pid in service.seen if process_info(pid) is not None]
        check(not leftover, "clean-up", f"tunnels left behind: {leftover}")


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    if not os.access(TUNNEL_PROGRAM, os.X_OK):
        print(f"FAIL: {TUNNEL_PROGRAM} is missing (Debian's stunnel4 package)")
        return 1
    become_subreaper()
    try:
        run(os.path.abspath(sys.argv[1]))
    except Abort as abort:
        failures.append(str(abort))
        print(f"FAIL {abort}")
    return report()


if __name__ == "__main__":
    sys.exit(main())
