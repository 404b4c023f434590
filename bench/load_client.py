#!/usr/bin/env python3
"""Real JSONP queries (the site's parameter and its matching Referer, so the service deciphers
it and reads the address) against a running service on 127.0.0.1:10032, one connection per
query (connect, request, reply, close), as a page's script tags make them. In one run:

- isolated queries, each after a pause, alternating with the same request to nginx (Debian's
  nginx-light, started here on a free loopback port, serving the service's reply body as a
  static file and closing each connection): p50 and p99 of each and the service's ratio;
- back-to-back queries: queries per second, p50 and p99, and the fraction of the 200 per second
  that the service's 5 ms pump step between connections allows; beside it what a bare 5 ms
  sleep lasts here (its wake-up is part of every step), and each query's own time;
- given the service's pid, its peak resident memory (VmHWM) before the run and after 1,000 and
  10,000 back-to-back queries, running on past the timed part until the 10,000th.

Prints figures; asserts nothing (exits 1 only on malformed replies).
Usage: load_client.py MACPARAM [--seconds S] [--isolated N] [--pid PID] [--nginx PATH]"""

import argparse
import ctypes
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

PORT = 10032
PUMP_STEP_RATE = 200.0  # connections per second at one 5 ms step each
PR_SET_TIMERSLACK = 29
MEMORY_CHECKPOINTS = (1_000, 10_000)
MAX_QUERIES = 1_000_000
MAX_RUN_S = 600.0
ISOLATION_PAUSE_S = 0.02  # well past the 5 ms step: the service waits in accept again
ORIGIN = "shop.example"
REFERER = "http://shop.example:8080/"
REPLY_START = (b"HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\n"
               b"Content-Type: text/html\r\n\r\ncb({'ret': '")
NGINX_CONFIG = """daemon off;
master_process off;
worker_processes 1;
pid {folder}/nginx.pid;
error_log {folder}/error.log;
events {{ worker_connections 64; }}
http {{
    access_log off;
    server_tokens off;
    keepalive_timeout 0;
    client_body_temp_path {folder}/body;
    proxy_temp_path {folder}/proxy;
    fastcgi_temp_path {folder}/fastcgi;
    uwsgi_temp_path {folder}/uwsgi;
    scgi_temp_path {folder}/scgi;
    types {{ }}
    default_type text/html;
    server {{
        listen 127.0.0.1:{port};
        root {folder};
        location / {{
            add_header Access-Control-Allow-Origin *;
            try_files /reply.txt =404;
        }}
    }}
}}
"""


def peak_resident_kib(pid):
    with open(f"/proc/{pid}/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError(f"no VmHWM for pid {pid}")


def one_query(port, request):
    """Seconds from connect to the server's close, and the reply."""
    began = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port), timeout=5.0) as connection:
        connection.sendall(request)
        reply = b""
        for _ in range(64):  # the reply is one short segment; bounded all the same
            chunk = connection.recv(4096)
            if not chunk:
                break
            reply += chunk
    return time.perf_counter() - began, reply


def percentile(sorted_values, fraction):
    return sorted_values[min(len(sorted_values) - 1, int(fraction * len(sorted_values)))]


def free_loopback_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Nginx:
    """nginx serving `body` on a free loopback port until `end`."""

    def __init__(self, program, body):
        self.folder = tempfile.mkdtemp(prefix="talvoro-nginx-")
        os.chmod(self.folder, 0o755)
        with open(os.path.join(self.folder, "reply.txt"), "wb") as reply:
            reply.write(body)
        self.port = free_loopback_port()
        config = os.path.join(self.folder, "nginx.conf")
        with open(config, "w", encoding="ascii") as out:
            out.write(NGINX_CONFIG.format(folder=self.folder, port=self.port))
        self.process = subprocess.Popen([program, "-p", self.folder, "-c", config, "-e",
                                         os.path.join(self.folder, "error.log")],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10.0
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1.0).close()
                return
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    self.end()
                    raise RuntimeError(f"nginx did not start: exit {self.process.poll()}")
                time.sleep(0.05)

    def end(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=10)
        shutil.rmtree(self.folder, ignore_errors=True)


def well_formed(reply):
    return reply.startswith(REPLY_START) and reply.endswith(b"'});")


def figures(name, latencies):
    latencies = sorted(latencies)
    p50, p99 = percentile(latencies, 0.50), percentile(latencies, 0.99)
    print(f"  {name}: p50 {p50 * 1000:.3f} ms, p99 {p99 * 1000:.3f} ms "
          f"({len(latencies)} queries)")
    return p50, p99


def isolated(request, nginx_program, count):
    """Alternating isolated queries to the service and nginx; False on a bad reply."""
    _, reply = one_query(PORT, request)
    if not well_formed(reply):
        print(f"the service's reply is malformed: {reply!r}")
        return False
    body = reply.split(b"\r\n\r\n", 1)[1]
    nginx = Nginx(nginx_program, body)
    try:
        service_s, nginx_s = [], []
        for _ in range(count):
            for port, times in ((PORT, service_s), (nginx.port, nginx_s)):
                time.sleep(ISOLATION_PAUSE_S)
                seconds, answer = one_query(port, request)
                if not answer.endswith(body):
                    print(f"malformed reply from port {port}: {answer!r}")
                    return False
                times.append(seconds)
    finally:
        nginx.end()
    print(f"isolated queries, {ISOLATION_PAUSE_S * 1000:.0f} ms apart, alternating "
          f"(nginx serves the body {body!r} as a file):")
    service_p50, service_p99 = figures("service", service_s)
    nginx_p50, nginx_p99 = figures("nginx  ", nginx_s)
    print(f"  ratio service/nginx: p50 {service_p50 / nginx_p50:.2f}x, "
          f"p99 {service_p99 / nginx_p99:.2f}x")
    return True


def bare_step_s(steps=400):
    """The mean length of a 5 ms sleep on this machine, its wake-up included, with the timer
    slack the service's query server asks for (so the sleep's bound is the system's, not the
    default 50 us slack's)."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_TIMERSLACK, ctypes.c_ulong(1000), 0, 0, 0)
    began = time.perf_counter()
    for _ in range(steps):
        time.sleep(0.005)
    return (time.perf_counter() - began) / steps


def back_to_back(request, seconds, pid):
    if pid is not None:
        print(f"peak resident memory before the back-to-back run: {peak_resident_kib(pid)} kB")
    latencies = []
    timed_s = 0.0
    bad = 0
    address_sent = 0
    count = 0
    began = time.perf_counter()
    wanted = MEMORY_CHECKPOINTS[-1] if pid is not None else 0
    while count < MAX_QUERIES and time.perf_counter() - began < MAX_RUN_S:
        elapsed = time.perf_counter() - began
        if elapsed >= seconds and count >= wanted:
            break
        query_s, reply = one_query(PORT, request)
        count += 1
        if elapsed < seconds:
            latencies.append(query_s)
            timed_s = time.perf_counter() - began
        if not well_formed(reply):
            bad += 1
        elif not reply.startswith(REPLY_START + b"'"):
            address_sent += 1
        if pid is not None and count in MEMORY_CHECKPOINTS:
            print(f"peak resident memory after {count:,} queries: {peak_resident_kib(pid)} kB")
    rate = len(latencies) / timed_s
    print(f"back-to-back queries: {len(latencies)} in {timed_s:.2f} s, one connection each")
    print(f"  queries per second: {rate:.1f}; fraction of {PUMP_STEP_RATE:.0f}/s "
          f"(5 ms pump step): {rate / PUMP_STEP_RATE:.3f}")
    step_s = bare_step_s()
    print(f"  a bare 5 ms sleep here lasts {step_s * 1e3:.3f} ms on average (1 us timer slack, "
          f"as the service's steps): at most {1 / step_s:.1f}/s, "
          f"{1 / step_s / PUMP_STEP_RATE:.3f} of {PUMP_STEP_RATE:.0f}/s, before any work; "
          f"each query's own time: {(1 / rate - step_s) * 1e3:.3f} ms")
    figures("latency", latencies)
    print(f"all {count} back-to-back queries: {address_sent} got the address, {bad} malformed "
          "or missing replies")
    return bad == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("macparam", help="the macparam tool, to make the page's parameter")
    parser.add_argument("--seconds", type=float, default=5.0,
                        help="length of the timed back-to-back part")
    parser.add_argument("--isolated", type=int, default=500,
                        help="isolated queries to each of the service and nginx")
    parser.add_argument("--pid", type=int, help="the service's pid, for its peak memory")
    parser.add_argument("--nginx", default="/usr/sbin/nginx", help="the nginx program")
    args = parser.parse_args()

    param = subprocess.run([args.macparam, "encode", ORIGIN], capture_output=True, check=True,
                           timeout=30).stdout.decode("ascii").strip()
    request = (f"GET /?callback=cb&{param}&b&c&d&_=1700000000000 HTTP/1.1\r\n"
               f"Host: 127.0.0.1:{PORT}\r\nReferer: {REFERER}\r\n\r\n").encode()
    good = isolated(request, args.nginx, args.isolated) if args.isolated > 0 else True
    good = back_to_back(request, args.seconds, args.pid) and good
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
