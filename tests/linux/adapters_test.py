"""The adapter list the service picks its address from, read by the real code in private network
namespaces, one per case: veth pairs, bridges and tap devices with the routes each case needs.
Expected: the interfaces IPv4 is configured on (an IPv4 address, or a chosen default route
leaving through them), as GetAdaptersInfo lists the adapters IPv4 is bound to, but loopback and
those without a six-byte hardware address (not the tunnel devices a namespace may hold), in
index order, with their hardware address; the gateway of the default route the kernel takes on
the interface that carries it, "0.0.0.0" elsewhere; and the service's answer. Usage:
adapters_test.py PROBE. Needs root, unshare and ip; exit 77 without them."""

import json
import os
import shutil
import subprocess
import sys

NO_GATEWAY = "0.0.0.0"
NO_DATA = 232  # the reader's answer when there is no adapter at all


def mac(n):
    return f"02:00:5e:00:00:{n:02x}"  # locally administered: no vendor's block


def veth(name, peer, n, address=None):
    """A veth pair, both ends in the namespace and up; `name` gets `address`."""
    commands = [f"ip link add {name} address {mac(n)} type veth peer name {peer} "
                f"address {mac(n + 1)}",
                f"ip link set {name} up", f"ip link set {peer} up"]
    if address:
        commands.append(f"ip address add {address} dev {name}")
    return commands


# name, commands (after loopback is up), {interface: gateway} where not "0.0.0.0", answer.
CASES = [
    ("a static route through a lower-numbered interface is no gateway",
     veth("s0", "s1", 1, "10.1.0.2/24") + veth("d0", "d1", 3, "10.2.0.2/24") +
     ["ip route add 10.99.0.0/16 via 10.1.0.1 dev s0",
      "ip route add default via 10.2.0.1 dev d0"],
     {"d0": "10.2.0.1"}, "d0"),
    ("two default routes: the lower metric wins over the lower index",
     veth("a0", "a1", 1, "10.1.0.2/24") + veth("b0", "b1", 3, "10.2.0.2/24") +
     ["ip route add default via 10.1.0.1 dev a0 metric 200",
      "ip route add default via 10.2.0.1 dev b0 metric 100"],
     {"b0": "10.2.0.1"}, "b0"),
    ("two default routes: the lower metric on the lower index",
     veth("a0", "a1", 1, "10.1.0.2/24") + veth("b0", "b1", 3, "10.2.0.2/24") +
     ["ip route add default via 10.2.0.1 dev b0 metric 200",
      "ip route add default via 10.1.0.1 dev a0 metric 100"],
     {"a0": "10.1.0.1"}, "a0"),
    ("equal metrics: both carry a gateway, the lower index answers",
     veth("a0", "a1", 1, "10.1.0.2/24") + veth("b0", "b1", 3, "10.2.0.2/24") +
     ["ip route add default via 10.2.0.1 dev b0 metric 100",
      "ip route append default via 10.1.0.1 dev a0 metric 100"],
     {"a0": "10.1.0.1", "b0": "10.2.0.1"}, "a0"),
    ("one default route over two next hops",
     veth("a0", "a1", 1, "10.1.0.2/24") + veth("b0", "b1", 3, "10.2.0.2/24") +
     ["ip route add default nexthop via 10.2.0.1 dev b0 nexthop via 10.1.0.1 dev a0"],
     {"a0": "10.1.0.1", "b0": "10.2.0.1"}, "a0"),
    ("an interface without IPv4 (a veth peer, a bridge's enslaved NIC) is no adapter",
     veth("a0", "a1", 1, "10.1.0.2/24") + veth("b0", "b1", 3) +
     ["ip route add default via 10.1.0.1 dev a0"],
     {"a0": "10.1.0.1"}, "a0"),
    ("a default route leaving through an interface without an address of its own",
     veth("a0", "a1", 1, "10.1.0.2/24") + veth("b0", "b1", 3) +
     ["ip route add default via 10.9.0.1 dev b0 onlink"],
     {"b0": "10.9.0.1"}, "b0"),
    ("several addresses and a labelled one on one interface: one adapter",
     veth("a0", "a1", 1, "10.1.0.2/24") +
     ["ip address add 10.1.0.3/24 dev a0", "ip address add 10.4.0.2/24 dev a0 label a0:x",
      "ip route add default via 10.4.0.1 dev a0"],
     {"a0": "10.4.0.1"}, "a0"),
    ("more addresses than the first listing has room for: the interface after them is read",
     veth("a0", "a1", 1, "10.1.0.2/24") + veth("b0", "b1", 3, "10.2.0.2/24") +
     ["for n in $(seq 10 60); do ip address add 10.1.0.$n/24 dev a0; done"],
     {}, None),
    ("a bridge carries the address and the route: the bridge, not its enslaved NIC",
     veth("e0", "e1", 1) +
     [f"ip link add br0 address {mac(9)} type bridge", "ip link set e0 master br0",
      "ip link set br0 up", "ip address add 10.3.0.2/24 dev br0",
      "ip route add default via 10.3.0.1 dev br0"],
     {"br0": "10.3.0.1"}, "br0"),
    ("a tap device nobody holds: no carrier, the default route still counts",
     ["ip tuntap add dev tap0 mode tap", f"ip link set tap0 address {mac(5)}",
      "ip address add 192.0.2.2/24 dev tap0", "ip link set tap0 up",
      "ip route add default via 192.0.2.1 dev tap0 onlink"],
     {"tap0": "192.0.2.1"}, "tap0"),
    ("a default route only in a table a policy rule leads to",
     veth("a0", "a1", 1, "10.1.0.2/24") + veth("b0", "b1", 3, "10.2.0.2/24") +
     ["ip route add default via 10.2.0.1 dev b0 table 100",
      "ip rule add from 10.2.0.2 lookup 100 priority 1000"],
     {"b0": "10.2.0.1"}, "b0"),
    ("the main table's default route wins over a policy table's",
     veth("a0", "a1", 1, "10.1.0.2/24") + veth("b0", "b1", 3, "10.2.0.2/24") +
     ["ip route add default via 10.1.0.1 dev a0 table 100",
      "ip rule add from 10.1.0.2 lookup 100 priority 1000",
      "ip route add default via 10.2.0.1 dev b0"],
     {"b0": "10.2.0.1"}, "b0"),
    ("a default route in a table no rule leads to is never taken",
     veth("a0", "a1", 1, "10.1.0.2/24") +
     ["ip route add default via 10.1.0.1 dev a0 table 100"],
     {}, None),
    ("no IPv4 default route: an IPv6 one, one without a gateway, a blackhole",
     veth("a0", "a1", 1, "10.1.0.2/24") + veth("b0", "b1", 3, "10.2.0.2/24") +
     ["ip -6 route add default via fe80::1 dev a0",
      "ip route add default dev b0 metric 10",
      "ip route add blackhole default metric 20"],
     {}, None),
    ("loopback only: no adapter at all", [], {}, None),
]


def run_case(probe, commands, route_carriers):
    """Sets the case up in a new network namespace, then lists its interfaces with ip and runs
    the probe there. Returns (interfaces [(index, name, mac)] that are adapters, probe output
    lines); `route_carriers` are the names a chosen default route leaves through."""
    script = "\n".join(["set -e", "ip link set lo up", *commands,
                        "ip -j address show", "echo ---", f"exec '{probe}'"])
    result = subprocess.run(["unshare", "--net", "sh", "-c", script], capture_output=True,
                            text=True, timeout=30)
    if result.returncode != 0:
        raise RuntimeError(f"exit {result.returncode}: {result.stderr.strip()}")
    listed, _, probed = result.stdout.partition("---\n")
    interfaces = sorted((link["ifindex"], link["ifname"], link.get("address", ""))
                        for link in json.loads(listed)
                        if link["ifname"] != "lo" and len(link.get("address", "")) == 17 and
                        (link["ifname"] in route_carriers or
                         any(a.get("family") == "inet" for a in link.get("addr_info", []))))
    return interfaces, probed.splitlines()


def expected_lines(interfaces, gateways, answer):
    if not interfaces:
        return [f"result {NO_DATA}", "answer"]
    lines = ["result 0"]
    lines += [f"{address} {gateways.get(name, NO_GATEWAY)}" for _, name, address in interfaces]
    by_name = {name: address for _, name, address in interfaces}
    lines.append("answer " + by_name[answer].upper().replace(":", "-") if answer else "answer")
    return lines


def main():
    if len(sys.argv) != 2:
        print("usage: adapters_test.py PROBE")
        return 2
    if os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("ip"):
        print("SKIP: needs root, unshare and ip")
        return 77
    probe = os.path.abspath(sys.argv[1])
    failures = 0
    for name, commands, gateways, answer in CASES:
        try:
            interfaces, lines = run_case(probe, commands, gateways)
        except (RuntimeError, subprocess.TimeoutExpired) as error:
            print(f"FAIL: {name}: the namespace could not be set up: {error}")
            failures += 1
            continue
        expected = expected_lines(interfaces, gateways, answer)
        if lines == expected:
            print(f"ok: {name}")
        else:
            failures += 1
            print(f"FAIL: {name}\n  expected: {expected}\n  got:      {lines}")
    print(f"{len(CASES) - failures} of {len(CASES)} cases as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
