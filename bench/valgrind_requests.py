#!/usr/bin/env python3
"""The service under valgrind's memcheck (--leak-check=full) over many real queries (the site's
parameter and its matching Referer), in private network and pid namespaces of its own (root),
then stopped with SIGTERM as systemd stops it. Prints the queries answered, the time taken,
valgrind's error count and its leak figures (the suppressed ones are listed at SUPPRESSIONS); exits with 1 when valgrind reports an error or a
leak (definite, indirect or possible), or when a reply is malformed.
Usage: valgrind_requests.py EXE MACPARAM [QUERIES]   (a build with symbols, no sanitizer)"""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

INSIDE_FLAG = "--inside-namespaces"
PORT = 10032
DEFAULT_QUERIES = 10_000
START_WAIT_S = 60.0  # valgrind starts slowly
STOP_WAIT_S = 120.0
REPLY_START = (b"HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\n"
               b"Content-Type: text/html\r\n\r\ncb({'ret': '")
LEAK_LINE = re.compile(r"==\d+==\s+(definitely lost|indirectly lost|possibly lost|"
                       r"still reachable|suppressed): ([\d,]+) bytes in ([\d,]+) blocks")
ERROR_LINE = re.compile(r"==\d+== ERROR SUMMARY: ([\d,]+) errors")
# Held, not lost, but only through pointers valgrind calls possible: the service ends with its
# detached workers still running (as on Windows), and the thread-local storage glibc gave each
# of them is then held by none it can see; a counted string is held by a pointer past its
# length prefix. A block that nothing points to at all is still reported (definitely lost).
SUPPRESSIONS = """{
   thread-local storage of a worker that runs until the service exits
   Memcheck:Leak
   match-leak-kinds: possible
   fun:calloc
   ...
   fun:_dl_allocate_tls
   ...
   fun:pthread_create*
}
{
   a pass phrase kept by the key state as a counted string, pointed to past its length prefix
   Memcheck:Leak
   match-leak-kinds: possible
   fun:malloc
   fun:*SysAllocStringLen*
   fun:*StorePassPhrase*
}
"""


def query(request):
    with socket.create_connection(("127.0.0.1", PORT), timeout=30.0) as connection:
        connection.sendall(request)
        reply = b""
        while chunk := connection.recv(4096):
            reply += chunk
    return reply


def listens():
    try:
        socket.create_connection(("127.0.0.1", PORT), timeout=1.0).close()
        return True
    except OSError:
        return False


def inside(executable, macparam, count):
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    param = subprocess.run([macparam, "encode", "shop.example"], capture_output=True, check=True,
                           timeout=30).stdout.decode("ascii").strip()
    request = (f"GET /?callback=cb&{param}&b&c&d&_=1700000000000 HTTP/1.1\r\n"
               f"Host: 127.0.0.1:{PORT}\r\nReferer: http://shop.example:8080/\r\n\r\n").encode()
    folder = tempfile.mkdtemp(prefix="talvoro-valgrind-")
    try:
        service_path = os.path.join(folder, "talvoro_macadress")
        shutil.copy2(executable, service_path)
        log = os.path.join(folder, "valgrind.log")
        suppressions = os.path.join(folder, "live_threads.supp")
        with open(suppressions, "w", encoding="ascii") as out:
            out.write(SUPPRESSIONS)
        # The launcher's child before its exec is not the service: it reports nothing.
        service = subprocess.Popen(["valgrind", "--leak-check=full", "--show-leak-kinds=all",
                                    "--errors-for-leak-kinds=definite,indirect,possible",
                                    "--child-silent-after-fork=yes",
                                    f"--suppressions={suppressions}", f"--log-file={log}",
                                    service_path],
                                   cwd=folder, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + START_WAIT_S
        while not listens():
            if service.poll() is not None or time.monotonic() > deadline:
                print(f"the service under valgrind never listened (exit {service.poll()})")
                service.kill()
                return 1
            time.sleep(0.2)
        began = time.monotonic()
        malformed = sum(1 for _ in range(count)
                        if not (reply := query(request)).startswith(REPLY_START) or
                        not reply.endswith(b"'});"))
        took = time.monotonic() - began
        service.send_signal(signal.SIGTERM)
        service.wait(timeout=STOP_WAIT_S)
        with open(log, encoding="utf-8", errors="replace") as out:
            text = out.read()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print(f"{count} queries in {took:.1f} s under valgrind ({count / took:.1f}/s), "
          f"{malformed} malformed replies; service exit {service.returncode}")
    leaks = {kind: (int(size.replace(",", "")), int(blocks.replace(",", "")))
             for kind, size, blocks in LEAK_LINE.findall(text)}
    if "All heap blocks were freed -- no leaks are possible" in text:
        print("leaks: all heap blocks were freed")
    for kind, (size, blocks) in leaks.items():
        print(f"{kind}: {size} bytes in {blocks} blocks")
    errors = ERROR_LINE.findall(text)
    error_count = int(errors[-1].replace(",", "")) if errors else None
    print(f"valgrind errors: {error_count if error_count is not None else 'no summary'}")
    leaked = sum(leaks.get(kind, (0, 0))[0]
                 for kind in ("definitely lost", "indirectly lost", "possibly lost"))
    if error_count != 0 or leaked or malformed:
        print(text[text.find("HEAP SUMMARY"):] if "HEAP SUMMARY" in text else text[-4000:])
        return 1
    return 0


def main():
    if len(sys.argv) >= 4 and sys.argv[1] == INSIDE_FLAG:
        return inside(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    if len(sys.argv) not in (3, 4):
        print(__doc__)
        return 2
    if os.geteuid() != 0 or shutil.which("valgrind") is None:
        print("needs root (namespaces) and valgrind")
        return 2
    count = int(sys.argv[3]) if len(sys.argv) == 4 else DEFAULT_QUERIES
    return subprocess.run(["unshare", "--net", "--pid", "--fork", "--mount-proc",
                           sys.executable, os.path.abspath(__file__), INSIDE_FLAG,
                           os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]),
                           str(count)], check=False).returncode


if __name__ == "__main__":
    sys.exit(main())
