#!/usr/bin/env python3
"""The real service in the foreground and real clients on 127.0.0.1:10032: the exact JSONP reply
for the site the parameter was made for, an empty address for any other, no reply at all for a
malformed query, the idle time-out, hostile traffic, one connection after another, and the stop
with SIGTERM. Usage: query_server_test.py EXE MACPARAM"""

import os
import random
import re
import select
import socket
import struct
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import check, failures, report  # noqa: E402
from live_service import (PORT, REPLY_HEADER, LiveService, encode, exchange,  # noqa: E402
                          expected_address)

RECEIVE_LIMIT = 1024
REFERER = "http://shop.example:8080/"
FIELDS = "b&c&d&_=1700000000000"  # what a JSONP helper sends after the parameter
HOSTILE_COUNT = 500
HOSTILE_BUDGET_S = 240.0
MIB = 1 << 20



def query(callback, param, referer=REFERER, fields=FIELDS, padding=0):
    """A request as a page's script tag makes it; `padding` bytes of an extra header stand
    before the Referer line."""
    text = f"GET /?callback={callback}&{param}&{fields} HTTP/1.1\r\nHost: 127.0.0.1:{PORT}\r\n"
    if padding:
        text += "X-Padding: " + "p" * padding + "\r\n"
    if referer is not None:
        text += f"Referer: {referer}\r\n"
    return (text + "\r\n").encode("latin-1")


def reply(callback, address):
    return REPLY_HEADER + f"{callback}({{'ret': '{address}'}});".encode("ascii")


def padded_to_put_referer_end(callback, param, last_index):
    """The query with the carriage return that ends its Referer line at byte `last_index`."""
    bare = query(callback, param, padding=1)
    end_of_referer = bare.index(b"\r", bare.index(b"Referer:"))
    return query(callback, param, padding=1 + last_index - end_of_referer)


def answered_cases(params, address):
    shop, other = params["shop.example"], params["other.example"]
    long_name = "a" * 127 + "b"
    return [
        ("the site's parameter, Referer host:port", query("cb", shop), reply("cb", address)),
        ("a jQuery callback name", query("jQuery36001234_1700000000000", shop),
         reply("jQuery36001234_1700000000000", address)),
        ("a callback of 128 bytes", query(long_name, shop), reply(long_name, address)),
        ("a dotted callback, a subdomain's page", query("a.b.c", shop,
                                                        referer="https://www.shop.example/x"),
         reply("a.b.c", address)),
        ("another site's parameter", query("cb", other), reply("cb", "")),
        ("no Referer", query("cb", shop, referer=None), reply("cb", "")),
        ("the site only in the Referer's path", query("cb", shop,
                                                       referer="http://evil.example/shop.example"),
         reply("cb", "")),
        ("the site only ends the Referer's host",
         query("cb", shop, referer="http://evilshop.example/"), reply("cb", "")),
        ("a percent-encoded parameter", query("cb", shop.replace("/", "%2F").replace("=", "%3D")),
         reply("cb", "")),
        # One receive of at most 1024 bytes: the Referer line counts only when its carriage
        # return is within them.
        ("Referer line ending at byte 1024",
         padded_to_put_referer_end("cb", shop, RECEIVE_LIMIT - 1), reply("cb", address)),
        ("Referer line ending at byte 1025",
         padded_to_put_referer_end("cb", shop, RECEIVE_LIMIT), reply("cb", "")),
    ]


def unanswered_cases(params):
    shop = params["shop.example"]
    return [
        ("four '&'", query("cb", shop, fields="b&c&d")),
        ("a callback with a blank", query("my%20cb", shop)),
        ("a callback that is script", query("alert(1)//", shop)),
        ("a callback that is markup", query("<script>", shop)),
        ("an empty callback", query("", shop)),
        ("a callback of 129 bytes", query("a" * 129, shop)),
        ("a callback ending in a dot", query("a.b.", shop)),
        ("not the query's path", b"POST /?callback=cb&" + shop.encode() + b"&b&c&d&e HTTP/1.1"
                                 b"\r\nReferer: " + REFERER.encode() + b"\r\n\r\n"),
    ]


def check_replies(params, address):
    for case, request, expected in answered_cases(params, address):
        received, ending = exchange(request)
        # Bytes past the one receive are never read: the close then resets the connection,
        # after the reply.
        endings = ("eof", "reset") if len(request) > RECEIVE_LIMIT else ("eof",)
        if check(received == expected and ending in endings, case,
                 f"got {received!r} ({ending}), expected {expected!r}"):
            print(f"ok   {case}")
    for case, request in unanswered_cases(params):
        received, ending = exchange(request)
        if check(received == b"" and ending == "eof", case,
                 f"got {received!r} ({ending}), expected the connection closed with no byte"):
            print(f"ok   {case}")


def check_idle_time_out(valid, expected):
    case = "an idle connection"
    began = time.monotonic()
    received, ending = exchange(b"", timeout=10.0)
    seconds = time.monotonic() - began
    print(f"     {case}: closed by the service after {seconds:.3f} s")
    check(received == b"" and ending == "eof", case, f"got {received!r} ({ending})")
    check(0.8 <= seconds <= 3.0, case, f"closed after {seconds:.3f} s, expected about 1 s")
    received, ending = exchange(valid)
    if check(received == expected, "the connection after an idle one", f"got {received!r}"):
        print(f"ok   {case}, and the next one is served")


WELL_FORMED = re.compile(re.escape(REPLY_HEADER) + rb"([A-Za-z_$][\w$]*(?:\.[A-Za-z_$][\w$]*)*)"
                         rb"\(\{'ret': '((?:[0-9A-F]{2}-){5}[0-9A-F]{2})?'\}\);")


def well_formed(received, address):
    match = WELL_FORMED.fullmatch(received)
    return match is not None and len(match.group(1)) <= 128 and \
        match.group(2) in (None, address.encode())


def send_then(request, how):
    """Half-sent requests: the bytes, then a plain close or a reset; nothing is read back."""
    with socket.create_connection(("127.0.0.1", PORT), timeout=5.0) as connection:
        if request:
            connection.sendall(request)
        if how == "reset":
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    return b"", "sent"


def hostile_request(rng, valid):
    """One hostile connection of a kind picked at random: (kind, action)."""
    cut = rng.randrange(1, len(valid))
    noise = bytes(rng.choice(b"&=?%/+.\r\n\0 abcAZ09<>()'") for _ in range(rng.randrange(1, 900)))
    kinds = [
        ("random bytes", lambda: exchange(rng.randbytes(rng.randrange(1, 2048)))),
        ("random fields", lambda: exchange(b"GET /?callback=cb&" + noise)),
        ("NUL bytes", lambda: exchange(b"\0" * rng.randrange(1, 1500))),
        ("a NUL inside a query", lambda: exchange(valid[:cut] + b"\0" + valid[cut:])),
        ("a 1 MiB body", lambda: exchange(valid[:-2] + b"Content-Length: 1048576\r\n\r\n" +
                                          rng.randbytes(MIB))),
        ("half a query, then silence", lambda: exchange(valid[:cut])),
        ("half a query, then close", lambda: send_then(valid[:cut], "close")),
        ("half a query, then reset", lambda: send_then(valid[:cut], "reset")),
        ("connect, then reset", lambda: send_then(b"", "reset")),
    ]
    return rng.choice(kinds)


def check_hostile_traffic(service, valid, expected, address):
    seed = int(os.environ.get("TALVORO_HOSTILE_SEED", time.time_ns() % 1_000_000))
    print(f"     hostile traffic: seed {seed} (TALVORO_HOSTILE_SEED repeats it)")
    rng = random.Random(seed)
    deadline = time.monotonic() + HOSTILE_BUDGET_S
    sent = 0
    kinds_seen = {}
    while sent < HOSTILE_COUNT and time.monotonic() < deadline and service.running():
        kind, action = hostile_request(rng, valid)
        try:
            received, ending = action()
        except TimeoutError:
            received, ending = b"", "timeout"
        except OSError as error:  # the service may reset a connection it did not read out
            received, ending = b"", f"error {error.errno}"
        sent += 1
        kinds_seen[kind] = kinds_seen.get(kind, 0) + 1
        case = f"hostile #{sent} ({kind})"
        check(ending != "timeout", case, "no answer or close from the service within 5 s")
        if ending == "eof" and received:
            check(well_formed(received, address), case, f"malformed reply {received[:300]!r}")
        elif received:
            check(REPLY_HEADER.startswith(received[:len(REPLY_HEADER)]), case,
                  f"reply cut by a reset does not start with the header {received[:300]!r}")
    print(f"     hostile traffic: {sent} connections, {kinds_seen}")
    check(sent == HOSTILE_COUNT, "hostile traffic",
          f"only {sent} of {HOSTILE_COUNT} sent (service running: {service.running()})")
    received, _ = exchange(valid)
    if check(received == expected, "a query after the hostile traffic", f"got {received!r}"):
        print("ok   500 hostile connections, and the service still answers correctly")


def check_one_after_another(valid, expected):
    """The second client's reply comes only after the service has let go of the first, which
    it holds for its receive time-out because the first sends nothing."""
    case = "two clients at once"
    failed_before = len(failures)
    first = socket.create_connection(("127.0.0.1", PORT), timeout=10.0)
    second = None
    try:
        time.sleep(0.1)  # the service has the first; it waits for its bytes
        second = socket.create_connection(("127.0.0.1", PORT), timeout=10.0)
        sent_at = time.monotonic()
        second.sendall(valid)
        ready_round = {}
        received = {first: b"", second: b""}
        finished = set()
        deadline = sent_at + 10.0
        for round_number in range(100000):
            if len(finished) == 2 or time.monotonic() > deadline:
                break
            readable, _, _ = select.select([s for s in (first, second) if s not in finished],
                                           [], [], 0.05)
            for connection in readable:
                ready_round.setdefault(connection, (round_number, time.monotonic()))
                chunk = connection.recv(65536)
                received[connection] += chunk
                if not chunk:
                    finished.add(connection)
        check(len(finished) == 2, case, "a connection was not closed within 10 s")
        check(received[first] == b"", case, f"the idle first got {received[first]!r}")
        check(received[second] == expected, case, f"the second got {received[second]!r}")
        if first in ready_round and second in ready_round:
            waited = ready_round[second][1] - sent_at
            print(f"     {case}: the second waited {waited:.3f} s for its reply")
            check(ready_round[second][0] >= ready_round[first][0], case,
                  "the second was answered while the first was still open")
            check(waited >= 0.5, case, f"the second was answered after {waited:.3f} s, before "
                  "the first's time-out")
            if len(failures) == failed_before:
                print(f"ok   {case}: served one after the other")
    finally:
        first.close()
        if second is not None:
            second.close()


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    executable, macparam = (os.path.abspath(path) for path in sys.argv[1:])
    address = expected_address()
    print(f"     this machine's address: {address or '(none: no interface with a gateway)'}")
    params = {text: encode(macparam, text) for text in ("shop.example", "other.example")}
    valid = query("cb", params["shop.example"])
    expected = reply("cb", address)
    with LiveService(executable) as service:
        check_replies(params, address)
        check_idle_time_out(valid, expected)
        check_one_after_another(valid, expected)
        check_hostile_traffic(service, valid, expected, address)
        code = service.stop()
        check(code == 0, "SIGTERM", f"exit code {code}, expected 0")
        out, err = service.output()
        # A failed accept or a rebuilt listener would have printed its error.
        check(out == b"" and err == b"", "service output", f"stdout {out!r}, stderr {err!r}")
    return report()


if __name__ == "__main__":
    sys.exit(main())
