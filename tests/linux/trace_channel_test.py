#!/usr/bin/env python3
"""The Linux trace channel with the real service and the real trace viewer: a viewer that
listens shows one request's traces in order, from the service's pid; only root can send to it,
a second viewer is refused while one reads, and a killed viewer's socket is taken over; a viewer
started while the service runs gets the next request's traces. With no viewer a failed send to
the viewer's socket stands for the lines of the next 50 ms, which cost no call at all; nothing
else is done with them: no system log, no other socket, no file written. Runs itself in private
mount, network and pid namespaces (root), with a /run and a loopback of its own, so that no
other service or viewer interferes.
Usage: trace_channel_test.py EXE TRACE_VIEWER MACPARAM"""

import os
import re
import shutil
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
TRACE_SOCKET = "/run/talvoro_macadress/trace"
START_WAIT_S = 20.0  # generous: the sanitizer build under strace starts slowly
LINE_WAIT_S = 10.0
NO_VIEWER_PAUSE_S = 0.05  # after a failed send, lines are dropped without one for this long
ORIGIN = "shop.example"
REFERER = "http://shop.example:8080/"
# The watchdog's launch traces come from its own thread, between any two of the server's.
WATCHDOG_LINES = ("==========================st start==========================\n",
                  "==========================st end==========================\n")
VIEWER_LINE = re.compile(r"\[(\d+)\] (.*)")


def unescape(shown):
    """The trace text back from the viewer's escaped form."""
    return re.sub(rb"\\(x[0-9a-f]{2}|.)",
                  lambda m: {b"r": b"\r", b"n": b"\n", b"t": b"\t", b"\\": b"\\"}.get(
                      m.group(1), bytes([int(m.group(1)[1:] or b"0", 16)])),
                  shown.encode("ascii")).decode("latin-1")


def request_text(param):
    return (f"GET /?callback=cb&{param}&b&c&d&_=1 HTTP/1.1\r\nHost: 127.0.0.1:{QUERY_PORT}\r\n"
            f"Referer: {REFERER}\r\n\r\n")


def expected_request_traces(param, request):
    """One real request's traces after the accept, as the server, the handler and the
    decryption write them; then come the address lookup's lines (checked by their start: their
    texts depend on the adapters), the reply's and the next accept's."""
    query = f"cb&{param}&b&c&d&_=1 HTTP/1.1"
    return ["[sock] recv start server 001 \r\n",
            "[sock] recv start server 002 \r\n",
            "[sock] recv start server 003 :0\r\n",
            f"[sock] recv : {request}\r\n",
            f"::Sleep debug ===== 2. referer: {REFERER} \r\n",
            "::Sleep Mac Adress ==== debug ===== \r\n",
            f"::Sleep Mac Adress ==== ndbg:count : 5, org {query} ===== \r\n",
            f"{query}::Sleep Mac Adress 4444 ==== debug ===== \r\n",
            f"cb - {param} - b - c - d::Sleep Mac Adress 4444 ==== debug ===== \r\n",
            f"{ORIGIN}===referer: {REFERER}::Sleep Mac Adress 4444 ==== debug ===== \r\n"]


NEXT_ACCEPT = "[sock] recv start server 000 \r\n"


def matches(expected, reply, lines):
    fixed, rest = lines[:len(expected)], lines[len(expected):]
    replied = reply.decode("latin-1") + " :: Sleep Mac Adress 4444 ==== debug ===== \r\n"
    return (fixed == expected and len(rest) >= 3 and rest[-2:] == [replied, NEXT_ACCEPT] and
            all(line.startswith("\n\n ") for line in rest[:-2]))


def listens():
    try:
        socket.create_connection(("127.0.0.1", QUERY_PORT), timeout=1.0).close()
        return True
    except OSError:
        return False


def ask(request):
    with socket.create_connection(("127.0.0.1", QUERY_PORT), timeout=5.0) as connection:
        connection.sendall(request.encode("ascii"))
        reply = b""
        while chunk := connection.recv(4096):
            reply += chunk
    return reply


class Viewer:
    def __init__(self, program, workspace, name):
        self.output_path = os.path.join(workspace, name + ".out")
        self.error_path = os.path.join(workspace, name + ".err")
        with open(self.output_path, "wb") as out, open(self.error_path, "wb") as err:
            self.process = subprocess.Popen([program], stdout=out, stderr=err,
                                            stdin=subprocess.DEVNULL)

    def ready(self):
        return wait_until(lambda: b"listening" in self.errors() or self.process.poll() is not None,
                          LINE_WAIT_S) and self.process.poll() is None

    def errors(self):
        with open(self.error_path, "rb") as err:
            return err.read()

    def traces(self, pid):
        with open(self.output_path, encoding="ascii") as out:
            found = [VIEWER_LINE.fullmatch(line.rstrip("\n")) for line in out]
        return [unescape(m.group(2)) for m in found if m and int(m.group(1)) == pid]

    def end(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=10)


class Service:
    """The executable in a folder of its own (its log lands there), optionally under strace."""

    def __init__(self, executable, workspace, strace_log=None):
        self.folder = tempfile.mkdtemp(prefix="svc ", dir=workspace)
        self.path = os.path.join(self.folder, "talvoro_macadress")
        shutil.copy2(executable, self.path)
        command = [self.path]
        if strace_log is not None:
            command = ["strace", "-f", "-ttt", "-qq", "-s", "400", "-o", strace_log, "-e",
                       "trace=socket,connect,bind,sendto,sendmsg,sendmmsg,open,openat,creat",
                       "-e", "signal=none"] + command
        env = {key: value for key, value in os.environ.items() if key != "NOTIFY_SOCKET"}
        self.process = subprocess.Popen(command, cwd=self.folder, env=env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)

    def end(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=10)


def request_lines(lines, param, request):
    """The server's lines of the one request (not of the empty probes before it that asked
    whether it listens): from the accept's return to the next accept."""
    own = [line for line in lines if line not in WATCHDOG_LINES]
    received = [at for at, line in enumerate(own) if line.startswith("[sock] recv : ")]
    start = received[0] - 3 if received else len(own)
    end = own.index(NEXT_ACCEPT, start) + 1 if NEXT_ACCEPT in own[start:] else len(own)
    return own[start:end]


def viewed_request_lines(viewer, service, param, request):
    """The request's lines as the viewer shows them, once the next accept's has come (or the
    wait for it has run out)."""
    def lines():
        return request_lines(viewer.traces(service.process.pid), param, request)
    wait_until(lambda: NEXT_ACCEPT in lines(), LINE_WAIT_S)
    return lines()


def viewer_sees_the_request(executable, viewer_program, param, workspace):
    case = "viewer listening"
    viewer = Viewer(viewer_program, workspace, "viewer")
    service = None
    try:
        if not check(viewer.ready(), case, f"viewer did not start: {viewer.errors()!r}"):
            return 0
        mode = os.stat(TRACE_SOCKET).st_mode & 0o777
        check(mode == 0o600, case, f"trace socket mode {oct(mode)}, want 0600 (root's alone)")
        service = Service(executable, workspace)
        check(wait_until(listens, START_WAIT_S), case, "the service never listened")
        request = request_text(param)
        reply = ask(request)
        check(reply.startswith(b"HTTP/1.1 200 OK"), case, f"reply {reply!r}")
        expected = expected_request_traces(param, request)
        got = viewed_request_lines(viewer, service, param, request)
        check(matches(expected, reply, got), case,
              f"request traces\n  got  {got!r}\n  want {expected!r}")
        check(viewer.traces(service.process.pid)[:1] == [WATCHDOG_LINES[0]] or
              "[run] === start.exe ==== \r\n" in viewer.traces(service.process.pid), case,
              "start-up traces missing")

        # Only root sends: a process of another user is refused by the socket's mode.
        child = os.fork()
        if child == 0:
            try:
                os.setgid(65534)
                os.setuid(65534)
                sender = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
                sender.sendto(b"forged by nobody", TRACE_SOCKET)
                os._exit(1)
            except PermissionError:
                os._exit(0)
            except BaseException:  # noqa: B036  (anything else is a failure of the check)
                os._exit(2)
        _, status = os.waitpid(child, 0)
        check(os.waitstatus_to_exitcode(status) == 0, "another user", "could send a trace")

        second = Viewer(viewer_program, workspace, "second")
        second.process.wait(timeout=10)
        check(second.process.returncode == 1 and b"another viewer" in second.errors(),
              "second viewer", f"exit {second.process.returncode}, {second.errors()!r}")
        return len(got)
    finally:
        if service is not None:
            service.end()
        viewer.end()


def late_viewer_gets_the_next_request(executable, viewer_program, param, workspace):
    """A viewer started after the service, whose traces had nowhere to go, gets the lines of
    a request made once the service's pause after its last failed send is over."""
    case = "viewer started late"
    service = Service(executable, workspace)
    viewer = None
    try:
        check(wait_until(listens, START_WAIT_S), case, "the service never listened")
        request = request_text(param)
        check(ask(request).startswith(b"HTTP/1.1 200 OK"), case, "no reply without a viewer")
        viewer = Viewer(viewer_program, workspace, "late")
        if not check(viewer.ready(), case, f"viewer did not start: {viewer.errors()!r}"):
            return
        time.sleep(NO_VIEWER_PAUSE_S * 2)
        reply = ask(request)
        got = viewed_request_lines(viewer, service, param, request)
        check(matches(expected_request_traces(param, request), reply, got), case,
              f"request traces {got!r}")
    finally:
        service.end()
        if viewer is not None:
            viewer.end()
        if os.path.exists(TRACE_SOCKET):
            os.unlink(TRACE_SOCKET)


def killed_viewer_is_replaced(viewer_program, workspace):
    case = "killed viewer's socket"
    check(os.path.exists(TRACE_SOCKET), case, "a killed viewer's socket should be left behind")
    viewer = Viewer(viewer_program, workspace, "replacement")
    try:
        check(viewer.ready(), case, f"replacement viewer did not start: {viewer.errors()!r}")
        sender = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        sender.sendto(b"to the new viewer", TRACE_SOCKET)
        check(wait_until(lambda: "to the new viewer" in viewer.traces(os.getpid()),
                         LINE_WAIT_S), case, "the replacement viewer received nothing")
    finally:
        viewer.end()
    os.unlink(TRACE_SOCKET)


SYSCALL = re.compile(r"(\d+) +(\d+\.\d+) +(\w+)\((.*)\) += (-?\d+)(?: (\w+))?")


def nothing_kept_without_viewer(executable, param, workspace, request_line_count):
    case = "no viewer"
    strace_log = os.path.join(workspace, "strace.log")
    service = Service(executable, workspace, strace_log)
    try:
        check(wait_until(listens, START_WAIT_S), case, "the service never listened")
        reply = ask(request_text(param))
        check(reply.startswith(b"HTTP/1.1 200 OK"), case, f"reply {reply!r}")
        time.sleep(0.5)
    finally:
        service.end()
    calls = []
    with open(strace_log, encoding="latin-1") as log:
        for line in log:
            found = SYSCALL.match(line)
            if found:
                pid, at, name, arguments, result, error = found.groups()
                calls.append((pid, name, arguments, result, error, float(at)))
    trace_sends = [c for c in calls if c[1] == "sendto" and TRACE_SOCKET in c[2]]
    check(trace_sends, case, "no trace was sent at all")
    check(all(c[3] == "-1" and c[4] == "ENOENT" for c in trace_sends), case,
          f"a trace send did more than fail: {[c for c in trace_sends if c[4] != 'ENOENT'][:3]}")
    # Each failed send stands for the lines of the next 50 ms. The server's and the watchdog's
    # threads may look at the same moment when a pause ends, so two sends can come together,
    # never three within one pause (10 ms allowed for a thread held between its clock and its
    # send). The watchdog, finding no tunnel program here, traces a launch every cycle, so which
    # lines get a send is a matter of timing: the request's burst may fall wholly into a pause.
    spans = [third[5] - first[5] for first, third in zip(trace_sends, trace_sends[2:])]
    check(all(span >= NO_VIEWER_PAUSE_S - 0.010 for span in spans), case,
          f"three sends within one pause: {sorted(spans)[:3]}")
    check(len(trace_sends) >= 2, case, "the pause never ended: one send in the whole run")
    request_sends = [c for c in trace_sends
                     if "recv start server 00" in c[2] or "Sleep" in c[2] or "recv :" in c[2]]
    # The request's lines come within a few milliseconds: at most one look for a viewer among
    # them (two when the burst straddles the end of a pause), not one send each.
    check(len(request_sends) <= 2 < request_line_count, case,
          f"{len(request_sends)} sends for the request's {request_line_count} traces, want <= 2")
    connects = [c for c in calls if c[1] == "connect"]
    check(not connects, case, f"connected somewhere (a system log?): {connects[:3]}")
    # Beside the traces: the replies (no address) and questions to the kernel (netlink pid 0).
    other_sends = [c for c in calls if c[1] in ("sendto", "sendmsg", "sendmmsg")
                   and TRACE_SOCKET not in c[2] and "NULL, 0" not in c[2]
                   and "nl_pid=0," not in c[2]]
    check(not other_sends, case, f"sent elsewhere: {other_sends[:3]}")
    unix_sockets = [c for c in calls if c[1] == "socket" and "AF_UNIX" in c[2]]
    check(len(unix_sockets) == 1, case, f"the trace socket opened {len(unix_sockets)} times")
    written = {re.search(r'"([^"]*)"', c[2]).group(1) for c in calls
               if c[1] in ("open", "openat", "creat") and c[3] != "-1" and
               re.search(r"O_WRONLY|O_RDWR|O_CREAT", c[2]) and '"' in c[2]}
    allowed = {"/dev/null", os.path.join(service.folder, "talvoro_macadress.log")}
    # ThreadSanitizer's runtime maps a scratch file of its own; that is the build's, not ours.
    written = {path for path in written if not re.fullmatch(r"/tmp/tsan\.rodata\.\d+", path)}
    check(written <= allowed, case, f"files written: {sorted(written - allowed)}")
    check(not os.path.exists(os.path.dirname(TRACE_SOCKET)) or
          not os.listdir(os.path.dirname(TRACE_SOCKET)), case, "the service made a file in /run")


def cases(workspace, executable, viewer_program, macparam):
    param = subprocess.run([macparam, "encode", ORIGIN], capture_output=True, check=True,
                           timeout=30).stdout.decode("ascii").strip()
    count = viewer_sees_the_request(executable, viewer_program, param, workspace)
    killed_viewer_is_replaced(viewer_program, workspace)
    late_viewer_gets_the_next_request(executable, viewer_program, param, workspace)
    nothing_kept_without_viewer(executable, param, workspace, count)


def main():
    return private_namespaces.main(__file__, __doc__, 3, cases, 600, "talvoro-traces-")


if __name__ == "__main__":
    sys.exit(main())
