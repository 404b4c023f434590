#!/usr/bin/env python3
"""The service's idle CPU use, as a share of one core, with the tunnel running, with no tunnel
program, and with a stand-in tunnel that ends at once (whose launches are counted). Prints the
figures; asserts nothing. Usage: idle_cpu.py EXE [SECONDS]"""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "tunnel"))
import tunnel_test as rig  # noqa: E402  (the same service folder, launcher and clean-up)

DEFAULT_SECONDS = 30.0

# (what runs as bin/stunnel, the folder's program, whether its launches can be counted)
SCENARIOS = [
    ("the real tunnel (stunnel4) running", "tunnel", True),
    ("no tunnel program (no bin/stunnel)", None, False),
    ("stand-in bin/stunnel that exits at once", "exits", True),
]


def measure(executable, program, seconds):
    """(CPU share of one core, launches per minute) over the window, once the service idles."""
    rig.require_quiet_machine()
    folder = rig.ServiceFolder(executable, program)
    service = rig.RunningService(folder)
    try:
        service.wait_for_queries()
        if program == "tunnel":
            rig.wait_for_working_tunnel("tunnel", service, folder, old_pid=None)
        launched, cpu, began = len(folder.launches()), service.cpu_seconds(), time.monotonic()
        time.sleep(seconds)
        elapsed = time.monotonic() - began
        share = (service.cpu_seconds() - cpu) / elapsed
        return share, (len(folder.launches()) - launched) * 60.0 / elapsed
    finally:
        service.end()
        folder.remove()


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__)
        return 2
    executable = os.path.abspath(sys.argv[1])
    seconds = float(sys.argv[2]) if len(sys.argv) == 3 else DEFAULT_SECONDS
    rig.become_subreaper()
    processes = rig.process_count()
    print(f"idle CPU of the service over {seconds:.0f} s, utime+stime from /proc/PID/stat; "
          f"{processes} processes here, so one watchdog scan takes about "
          f"{rig.scan_cycle_s() * 1000:.0f} ms")
    for title, program, countable in SCENARIOS:
        try:
            share, per_minute = measure(executable, program, seconds)
        except rig.Abort as abort:
            print(f"{title}: not measured: {abort}")
            continue
        launches = (f"{per_minute:.1f} launches/min, counted by the lines the launcher script "
                    f"appends" if countable else "launches not countable: nothing runs to count "
                    f"them (the stand-in row stands for this case)")
        print(f"{title}: {share * 100:.3f} % of one core; {launches}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
