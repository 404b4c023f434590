"""A native test that runs as a host of its own: the script starts itself again inside fresh
mount, network and pid namespaces (loopback only, its own /proc and /run), so that the service
under test holds a port 10032 of its own and nothing of the machine's is seen or disturbed."""
import os
import shutil
import subprocess
import sys
import tempfile

from checks import report

INSIDE_FLAG = "--inside-namespaces"


def _host(prefix, cases, programs):
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", "/run"], check=True)
    workspace = tempfile.mkdtemp(prefix=prefix)
    os.chmod(workspace, 0o755)  # the service's folder: its log and copies of it land there
    try:
        cases(workspace, *programs)
    finally:
        shutil.rmtree(workspace, ignore_errors=True)
    return report()


def main(script, doc, program_count, cases, timeout_s, prefix="talvoro-host-"):
    """The test's whole command line: SCRIPT's PROGRAM_COUNT program paths, checked, then
    `cases(workspace, *programs)` inside the namespaces with a scratch folder that goes
    afterwards; returns the exit code. Needs root and strace."""
    if len(sys.argv) == program_count + 2 and sys.argv[1] == INSIDE_FLAG:
        return _host(prefix, cases, sys.argv[2:])
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
