"""A native test that runs as a host of its own: the script starts itself again inside fresh
mount, network and pid namespaces (loopback only, its own /proc), so that the service under
test holds a port 10032 of its own and nothing of the machine's is seen or disturbed."""
import os
import shutil
import subprocess
import sys

INSIDE_FLAG = "--inside-namespaces"


def main(script, doc, program_count, inside, timeout_s):
    """The test's whole command line: SCRIPT's PROGRAM_COUNT program paths, checked, then
    `inside(*programs)` run in the namespaces; returns the exit code. Needs root and strace."""
    if len(sys.argv) == program_count + 2 and sys.argv[1] == INSIDE_FLAG:
        return inside(*sys.argv[2:])
    if len(sys.argv) != program_count + 1:
        print(doc)
        return 2
    if os.geteuid() != 0 or shutil.which("strace") is None:
        print("FAIL: needs root (namespaces) and strace")
        return 1
    programs = [os.path.abspath(path) for path in sys.argv[1:]]
    return subprocess.run(["unshare", "--mount", "--net", "--pid", "--fork", "--mount-proc",
                           "--propagation", "private", sys.executable, os.path.abspath(script),
                           INSIDE_FLAG] + programs, check=False, timeout=timeout_s).returncode
