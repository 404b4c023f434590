#!/usr/bin/env python3
"""The service's idle CPU use, as a share of one core, from the kernel's nanosecond run time
(/proc/PID/task/*/schedstat, every thread): with the tunnel running, with no tunnel program,
and with a stand-in tunnel that ends at once (whose launches are counted); and, for scale, a
minimal native program that wakes for every 5 ms step (one nanosleep after another), as the
watchdog did before it took a cycle's steps as one wait.
Prints the figures; asserts nothing. Usage: idle_cpu.py EXE [SECONDS]"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "tunnel"))
import tunnel_test as rig  # noqa: E402  (the same service folder, launcher and clean-up)

DEFAULT_SECONDS = 30.0
SETTLE_S = 1.0  # the floor program's start-up is not idle time

# (what runs as bin/stunnel, the folder's program, whether its launches can be counted)
SCENARIOS = [
    ("the real tunnel (stunnel4) running", "tunnel", True),
    ("no tunnel program (no bin/stunnel)", None, False),
    ("stand-in bin/stunnel that exits at once", "exits", True),
]

# For scale: a wake-up every 5 ms and nothing else, as each step of the watchdog was. Native,
# built here with the system's C compiler: an interpreter's loop would cost more than the waits.
FLOOR_SOURCE = r"""
#include <errno.h>
#include <time.h>
int main(void) {
  for (;;) {
    struct timespec wait = {0, 5000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
  }
}
"""


def run_time_ns(pid):
    """Nanoseconds on a CPU so far, summed over the process's threads."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat", encoding="ascii") as stat:
                total += int(stat.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that ended just now
    return total


def share_over(pid, seconds):
    before, began = run_time_ns(pid), time.monotonic()
    time.sleep(seconds)
    elapsed = time.monotonic() - began
    return (run_time_ns(pid) - before) / 1e9 / elapsed, elapsed


def measure(executable, program, seconds):
    """(CPU share of one core, launches per minute) over the window, once the service idles."""
    rig.require_quiet_machine()
    folder = rig.ServiceFolder(executable, program)
    service = rig.RunningService(folder)
    try:
        service.wait_for_queries()
        if program == "tunnel":
            rig.wait_for_working_tunnel("tunnel", service, folder, old_pid=None)
        launched = len(folder.launches())
        share, elapsed = share_over(service.pid, seconds)
        return share, (len(folder.launches()) - launched) * 60.0 / elapsed
    finally:
        service.end()
        folder.remove()


def measure_floor(seconds):
    """The floor program's CPU share, or None without a C compiler."""
    compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        return None
    folder = tempfile.mkdtemp(prefix="talvoro-floor-")
    try:
        source, program = os.path.join(folder, "floor.c"), os.path.join(folder, "floor")
        with open(source, "w", encoding="ascii") as out:
            out.write(FLOOR_SOURCE)
        subprocess.run([compiler, "-O2", "-o", program, source], check=True, timeout=120)
        floor = subprocess.Popen([program], stdin=subprocess.DEVNULL)
        try:
            time.sleep(SETTLE_S)
            return share_over(floor.pid, seconds)[0]
        finally:
            floor.kill()
            floor.wait()
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__)
        return 2
    executable = os.path.abspath(sys.argv[1])
    seconds = float(sys.argv[2]) if len(sys.argv) == 3 else DEFAULT_SECONDS
    rig.become_subreaper()
    processes = rig.process_count()
    print(f"idle CPU over {seconds:.0f} s, run time from /proc/PID/task/*/schedstat; "
          f"{processes} processes here, so one watchdog scan takes about "
          f"{rig.scan_cycle_s() * 1000:.0f} ms")
    for title, program, countable in SCENARIOS:
        try:
            share, per_minute = measure(executable, program, seconds)
        except rig.Abort as abort:
            print(f"service, {title}: not measured: {abort}")
            continue
        launches = (f"{per_minute:.1f} launches/min, counted by the lines the launcher script "
                    f"appends" if countable else "launches not countable: nothing runs to count "
                    f"them (the stand-in row stands for this case)")
        print(f"service, {title}: {share * 100:.3f} % of one core; {launches}")
    floor = measure_floor(seconds)
    print("for scale, a native program waking every 5 ms and doing nothing else: " +
          (f"{floor * 100:.3f} % of one core" if floor is not None else
           "not measured: no C compiler (cc, or CC)"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
