#!/usr/bin/env python3
"""The watchdog's process snapshot on Linux, taken again and again by one thread as the
watchdog takes it: each process by its executable's file name, read anew so that an exec is
seen at the next snapshot; by its short name where the executable cannot be read (a zombie, a
kernel thread), in every snapshot; gone once it is gone.
Usage: process_snapshot_test.py PROBE"""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                "integration"))
from checks import check, report  # noqa: E402

WAIT_S = 10.0


class Probe:
    def __init__(self, program):
        self.process = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True)

    def snapshot(self):
        """{pid: name}."""
        self.process.stdin.write("\n")
        self.process.stdin.flush()
        entries = {}
        for line in self.process.stdout:
            if line == "end\n":
                return entries
            pid, name = line.rstrip("\n").split(" ", 1)
            entries[int(pid)] = name
        raise RuntimeError("the probe ended")

    def end(self):
        self.process.stdin.close()
        self.process.wait(timeout=WAIT_S)


def exe_name(pid):
    return os.path.basename(os.readlink(f"/proc/{pid}/exe"))


def wait_for(condition):
    deadline = time.monotonic() + WAIT_S
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out")
        time.sleep(0.01)


def shell_that_execs():
    """Named after the shell until told, then after sleep."""
    child = subprocess.Popen(["/bin/sh", "-c", "read line; exec sleep 30"], stdin=subprocess.PIPE)
    before = exe_name(child.pid)

    def change():
        child.stdin.write(b"\n")
        child.stdin.flush()
        wait_for(lambda: exe_name(child.pid) == "sleep")
    return child, before, change, "sleep"


def interpreter_with_its_own_short_name():
    """python3 runs as python3.N: the executable's name counts, not the short name."""
    child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(30)"])
    wait_for(lambda: exe_name(child.pid) != "")
    return child, exe_name(child.pid), lambda: None, exe_name(child.pid)


def zombie():
    """A child that ended and is not reaped: no executable to read, its short name stands."""
    child = subprocess.Popen(["sleep", "0"])
    wait_for(lambda: open(f"/proc/{child.pid}/stat", encoding="ascii").read()
             .rsplit(")", 1)[1].split()[0] == "Z")
    return child, "sleep", lambda: None, "sleep"


def reaped_zombie():
    """The zombie reaped between two snapshots: gone from the second."""
    child, name, _, _ = zombie()
    return child, name, lambda: child.wait(timeout=WAIT_S), None


# (case, set-up giving (child, name in the first snapshot, change, name in the second or None))
CASES = [
    ("exec between snapshots", shell_that_execs),
    ("short name unlike the executable's", interpreter_with_its_own_short_name),
    ("zombie", zombie),
    ("zombie reaped between snapshots", reaped_zombie),
]


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    probe = Probe(sys.argv[1])
    try:
        for case, set_up in CASES:
            child, first, change, second = set_up()
            try:
                got = probe.snapshot().get(child.pid)
                check(got == first, case, f"first snapshot: {got!r}, want {first!r}")
                change()
                got = probe.snapshot().get(child.pid)
                check(got == second, case, f"second snapshot: {got!r}, want {second!r}")
            finally:
                child.kill()
                child.wait(timeout=WAIT_S)
        kernel_thread = 2  # kthreadd, where this pid namespace is the host's
        if os.path.exists(f"/proc/{kernel_thread}/comm"):
            with open(f"/proc/{kernel_thread}/comm", encoding="ascii") as comm:
                name = comm.read().rstrip("\n")
            if name == "kthreadd":
                names = [probe.snapshot().get(kernel_thread) for _ in range(3)]
                check(names == [name] * 3, "kernel thread", f"snapshots: {names!r}")
    finally:
        probe.end()
    return report()


if __name__ == "__main__":
    sys.exit(main())
