#!/usr/bin/env python3
"""Back-to-back JSONP queries against a running service on 127.0.0.1:10032, one connection per
query, as a page's script tags make them. Prints queries per second, latency p50 and p99, and
the ratio to the 200 per second that the service's 5 ms pump step between connections allows.
Given the service's pid, also prints its peak resident memory (VmHWM) before the run and after
1,000 and 10,000 queries, running on past the timed part until the 10,000th.

Usage: load_client.py MACPARAM [--seconds S] [--pid PID]"""

import argparse
import socket
import subprocess
import sys
import time

PORT = 10032
PUMP_STEP_RATE = 200.0  # connections per second at one 5 ms step each
MEMORY_CHECKPOINTS = (1_000, 10_000)
MAX_QUERIES = 1_000_000
MAX_RUN_S = 600.0
REPLY_START = (b"HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\n"
               b"Content-Type: text/html\r\n\r\ncb({'ret': '")


def peak_resident_kib(pid):
    with open(f"/proc/{pid}/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError(f"no VmHWM for pid {pid}")


def one_query(request):
    """Seconds from connect to the service's close, and the reply."""
    began = time.perf_counter()
    with socket.create_connection(("127.0.0.1", PORT), timeout=5.0) as connection:
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("macparam", help="the macparam tool, to make the page's parameter")
    parser.add_argument("--seconds", type=float, default=5.0, help="length of the timed part")
    parser.add_argument("--pid", type=int, help="the service's pid, for its peak memory")
    args = parser.parse_args()

    param = subprocess.run([args.macparam, "encode", "shop.example"], capture_output=True,
                           check=True, timeout=30).stdout.decode("ascii").strip()
    request = (f"GET /?callback=cb&{param}&b&c&d&_=1700000000000 HTTP/1.1\r\n"
               f"Host: 127.0.0.1:{PORT}\r\nReferer: http://shop.example:8080/\r\n\r\n").encode()
    if args.pid is not None:
        print(f"peak resident memory before the run: {peak_resident_kib(args.pid)} kB")

    latencies = []
    timed_s = 0.0
    bad = 0
    address_sent = 0
    count = 0
    began = time.perf_counter()
    wanted = MEMORY_CHECKPOINTS[-1] if args.pid is not None else 0
    while count < MAX_QUERIES and time.perf_counter() - began < MAX_RUN_S:
        elapsed = time.perf_counter() - began
        if elapsed >= args.seconds and count >= wanted:
            break
        seconds, reply = one_query(request)
        count += 1
        if elapsed < args.seconds:
            latencies.append(seconds)
            timed_s = time.perf_counter() - began
        if not reply.startswith(REPLY_START) or not reply.endswith(b"'});"):
            bad += 1
        elif not reply.startswith(REPLY_START + b"'"):
            address_sent += 1
        if args.pid is not None and count in MEMORY_CHECKPOINTS:
            print(f"peak resident memory after {count:,} queries: "
                  f"{peak_resident_kib(args.pid)} kB")

    latencies.sort()
    rate = len(latencies) / timed_s
    print(f"timed part: {len(latencies)} queries in {timed_s:.2f} s, one connection each")
    print(f"queries per second: {rate:.1f}")
    print(f"latency p50: {percentile(latencies, 0.50) * 1000:.2f} ms, "
          f"p99: {percentile(latencies, 0.99) * 1000:.2f} ms")
    print(f"ratio to {PUMP_STEP_RATE:.0f} per second (5 ms pump step): "
          f"{rate / PUMP_STEP_RATE:.3f}")
    print(f"all {count} queries: {address_sent} got the address, {bad} malformed or missing "
          "replies")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
