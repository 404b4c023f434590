#!/usr/bin/env python3
"""The real service when another user holds its port: it reports the bind failure once, on its
console and in its traces, tries again without a line per attempt, and answers within 5 s of
the port being let go; a stop while it waits ends it at once, with exit code 0. Runs itself in
private mount, network and pid namespaces (root), with a loopback and a /run of its own, so
that nothing else on the machine holds or asks the port.
Usage: listener_wait_test.py EXE TRACE_VIEWER"""

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
from checks import check, wait_until  # noqa: E402
import private_namespaces  # noqa: E402

QUERY_PORT = 10032
NOBODY = 65534
START_WAIT_S = 20.0  # generous: the sanitizer build under strace starts slowly
TAKE_OVER_BOUND_S = 5.0  # a bound for failure: the port must be taken within it
STOP_LIMIT_S = 1.0  # as for a stop of a service that listens
RETRIES_SEEN = 4  # binds to watch before the port is let go: the first and three retries
BIND_FAILURE_TRACE = "[sock] recv start server error 1 \r\n"
LISTENING_TRACE = "[sock] recv start server \r\n"
VIEWER_LINE = re.compile(r"\[(\d+)\] (.*)")
PORT_BIND = re.compile(r"\bbind\(\d+, \{sa_family=AF_INET, sin_port=htons\(%d\)" % QUERY_PORT)
REQUEST = (f"GET /?callback=cb&a&b&c&d&e HTTP/1.1\r\nHost: 127.0.0.1:{QUERY_PORT}\r\n"
           "Referer: http://x/\r\n\r\n").encode("ascii")

def read(path):
    with open(path, encoding="latin-1", newline="") as file:
        return file.read()


def answers():
    """Whether the service replies; the holder would accept and say nothing."""
    try:
        with socket.create_connection(("127.0.0.1", QUERY_PORT), timeout=0.5) as connection:
            connection.sendall(REQUEST)
            return connection.recv(4096).startswith(b"HTTP/1.1 200 OK")
    except OSError:
        return False


def unescape(shown):
    """The trace text back from the viewer's escaped form."""
    return re.sub(rb"\\(x[0-9a-f]{2}|.)",
                  lambda m: {b"r": b"\r", b"n": b"\n", b"t": b"\t", b"\\": b"\\"}.get(
                      m.group(1), bytes([int(m.group(1)[1:] or b"0", 16)])),
                  shown.encode("ascii")).decode("latin-1")


class Holder:
    """Another user's program on the port: a child that becomes nobody, listens on
    127.0.0.1:10032 and holds it until its pipe from this process closes."""

    def __init__(self):
        ready_read, ready_write = os.pipe()
        self.release_read, self.release_write = os.pipe()
        self.pid = os.fork()
        if self.pid == 0:
            try:
                os.close(ready_read)
                os.close(self.release_write)
                os.setgroups([])
                os.setgid(NOBODY)
                os.setuid(NOBODY)
                holder = socket.socket()
                # Binds over the TIME_WAIT connections an earlier case's service left on the
                # port, as any server does; on Linux it still cannot share a listened port.
                holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                holder.bind(("127.0.0.1", QUERY_PORT))
                holder.listen()
                os.write(ready_write, b"holding")
                os.read(self.release_read, 1)
                os._exit(0)
            except BaseException:  # noqa: B036  (the parent sees no "holding")
                os._exit(1)
        os.close(ready_write)
        os.close(self.release_read)
        self.holding = os.read(ready_read, 16) == b"holding"
        os.close(ready_read)
        self.exited = False

    def let_go(self):
        if not self.exited:
            os.close(self.release_write)
            os.waitpid(self.pid, 0)
            self.exited = True


class Service:
    """The executable in a folder of its own (its log lands there), optionally under strace
    watching its binds."""

    def __init__(self, executable, workspace, strace_log=None):
        self.folder = tempfile.mkdtemp(prefix="svc ", dir=workspace)
        self.path = os.path.join(self.folder, "talvoro_macadress")
        self.output = os.path.join(self.folder, "console.out")
        shutil.copy2(executable, self.path)
        command = [self.path]
        if strace_log is not None:
            command = ["strace", "-f", "-qq", "-o", strace_log, "-e", "trace=bind",
                       "-e", "signal=none"] + command
        env = {key: value for key, value in os.environ.items() if key != "NOTIFY_SOCKET"}
        with open(self.output, "wb") as out:
            self.process = subprocess.Popen(command, cwd=self.folder, env=env,
                                            stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=subprocess.STDOUT)

        self.traced = strace_log is not None

    def pid(self):
        """The service's own pid (under strace, strace's child's)."""
        if not self.traced:
            return self.process.pid
        children = f"/proc/{self.process.pid}/task/{self.process.pid}/children"
        found = wait_until(lambda: os.path.exists(children) and read(children).split(), 10.0)
        return int(found[0]) if found else None

    def console(self):
        return read(self.output)

    def end(self):
        if self.process.poll() is None:
            pid = self.pid()
            if pid is not None:
                os.kill(pid, signal.SIGKILL)  # strace's own end would leave it running
            self.process.kill()
        self.process.wait(timeout=10)


class Viewer:
    def __init__(self, program, workspace):
        self.output = os.path.join(workspace, "viewer.out")
        self.errors = os.path.join(workspace, "viewer.err")
        with open(self.output, "wb") as out, open(self.errors, "wb") as err:
            self.process = subprocess.Popen([program], stdout=out, stderr=err,
                                            stdin=subprocess.DEVNULL)

    def ready(self):
        return wait_until(lambda: "listening" in read(self.errors) or
                          self.process.poll() is not None, 10.0) and self.process.poll() is None

    def traces(self, pid):
        found = [VIEWER_LINE.fullmatch(line) for line in read(self.output).split("\n")]
        return [unescape(m.group(2)) for m in found if m and int(m.group(1)) == pid]

    def end(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=10)


def port_bind_count(strace_log):
    return len(PORT_BIND.findall(read(strace_log))) if os.path.exists(strace_log) else 0


def takes_the_freed_port(executable, viewer_program, workspace):
    case = "port held by another user"
    holder = Holder()
    viewer = Viewer(viewer_program, workspace)
    strace_log = os.path.join(workspace, "binds.strace")
    service = None
    try:
        if not (check(holder.holding, case, "the holder did not get the port") and
                check(viewer.ready(), case, f"the viewer did not start: {read(viewer.errors)}")):
            return
        service = Service(executable, workspace, strace_log)
        check(wait_until(lambda: port_bind_count(strace_log) >= RETRIES_SEEN, START_WAIT_S),
              case, f"binds seen while the port was held: {port_bind_count(strace_log)}, "
                    f"want {RETRIES_SEEN} or more (does it try again?)")
        check(service.process.poll() is None, case, "the service ended while it waited")
        pid = service.pid()
        held_binds = port_bind_count(strace_log)
        console_while_held = service.console()
        holder.let_go()
        let_go_at = time.monotonic()
        answered = wait_until(answers, TAKE_OVER_BOUND_S)
        check(answered, case, f"no answer within {TAKE_OVER_BOUND_S} s of the port's release")
        if answered:
            print(f"answered {time.monotonic() - let_go_at:.2f} s after the port was let go")
        # One line for the whole wait, however many binds failed: the code is EADDRINUSE.
        check(console_while_held == "Bind Error No : 98", case,
              f"console after {held_binds} failed binds: {console_while_held!r}")
        check(service.console() == console_while_held, case,
              f"console after the port was taken: {service.console()!r}")
        traces = viewer.traces(pid)
        failures = traces.count(BIND_FAILURE_TRACE)
        check(failures == 1, case, f"{failures} bind failure traces for {held_binds} failed binds")
        check(LISTENING_TRACE in traces and
              traces.index(LISTENING_TRACE) > traces.index(BIND_FAILURE_TRACE), case,
              "no listening trace after the bind failure's")
    finally:
        holder.let_go()
        if service is not None:
            service.end()
        viewer.end()


def stop_while_waiting(executable, workspace):
    case = "stop while the port is held"
    holder = Holder()
    service = None
    try:
        if not check(holder.holding, case, "the holder did not get the port"):
            return
        service = Service(executable, workspace)
        if not check(wait_until(lambda: "Bind Error No : " in service.console(), START_WAIT_S),
                     case, f"no bind failure reported: {service.console()!r}"):
            return
        service.process.send_signal(signal.SIGTERM)
        try:
            code = service.process.wait(timeout=STOP_LIMIT_S)
            check(code == 0, case, f"exit code {code}")
        except subprocess.TimeoutExpired:
            check(False, case, f"still running {STOP_LIMIT_S} s after SIGTERM")
    finally:
        holder.let_go()
        if service is not None:
            service.end()


def cases(workspace, executable, viewer_program):
    takes_the_freed_port(executable, viewer_program, workspace)
    stop_while_waiting(executable, workspace)


def main():
    return private_namespaces.main(__file__, __doc__, 2, cases, 300, "talvoro-listener-")


if __name__ == "__main__":
    sys.exit(main())
