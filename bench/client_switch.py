#!/usr/bin/env python3
"""Client switch latency and memory, inside network namespaces (root).

Usage: client_switch.py PATH/TO/Client [SWITCHES]
Prints the time from a switch command leaving this server to the Client's new report arriving
(median, min, max over SWITCHES alternating switches between two lines) and the Client's resident
memory after start-up. The veth hop adds microseconds, so the round trip is the Client's time.
"""

import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e",
                                "client"))
from clientnetns import OTHER_GATEWAY, SERVER_IP, ClientNetns, gbk, receive, report  # noqa: E402

LINES = gbk("电信;;;10.77.0.1;10.77.9.1;10.77.9.2;\r\n"
            "网通;;;10.77.0.254;10.77.9.3;10.77.9.4;\r\n"
            "联通;;;10.77.0.1;10.77.9.201;10.77.9.202;\r\n"
            "移动;;;10.77.0.254;10.77.9.203;10.77.9.204;\r\n")
# A command ends with its secondary DNS and has no terminator: when that address could still
# grow ("10.77.9.4" -> "10.77.9.45") the Client waits for the line to go quiet; a three-digit
# last part cannot grow and ends the command at once. Both kinds are measured.
SERIES = [
    ("secondary DNS could grow", [((OTHER_GATEWAY, "10.77.9.3", "10.77.9.4"), "网通"),
                                  ((SERVER_IP, "10.77.9.1", "10.77.9.2"), "电信")]),
    ("secondary DNS complete", [((OTHER_GATEWAY, "10.77.9.203", "10.77.9.204"), "移动"),
                                ((SERVER_IP, "10.77.9.201", "10.77.9.202"), "联通")]),
]

# A little more than the Client's least time between the end of one switch and the next.
SPACING_S = 0.6


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def run(net, switches):
    folder = net.install_client("bench", LINES, {"FwqIp": SERVER_IP, "FwqDk": "15200",
                                                 "GengXin": "0"})
    net.enter_server_side()
    net.listen()
    client = net.start_client(folder)
    conn = net.accept(15)
    if conn is None:
        raise RuntimeError("the Client did not connect:\n" + net.log_of(client))
    first = receive(conn, len(report(SERVER_IP, "10.77.9.1", "电信", "0")), timeout=10)
    time.sleep(1.0)  # let start-up settle before measuring memory
    rss = rss_kib(client.pid)

    results = []
    for title, targets in SERIES:
        samples = []
        for i in range(switches):
            (gateway, dns1, dns2), name = targets[i % 2]
            expected = report(gateway, dns1, name, "0")
            started = time.perf_counter()
            conn.sendall(gbk("切换%s;%s;%s" % (gateway, dns1, dns2)))
            got = receive(conn, len(expected), timeout=10)
            elapsed = time.perf_counter() - started
            if got != expected:
                raise RuntimeError("switch %d: got %r, want %r" % (i, got, expected))
            samples.append(elapsed * 1000.0)
            # The Client leaves a breath between two switches (a storm moves the routes a few
            # times, not once per command); wait it out so each sample is one switch alone.
            time.sleep(SPACING_S)
        results.append((title, samples))
    conn.close()
    return first, rss, results


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    switches = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    net = ClientNetns(sys.argv[1], prefix="tvclb")
    try:
        _, rss, results = run(net, switches)
    finally:
        net.close()
    print("client_switch: %d switches between two lines, per series" % switches)
    for title, samples in results:
        print("  switch command -> report (%s): median %.1f ms, min %.1f ms, max %.1f ms"
              % (title, statistics.median(samples), min(samples), max(samples)))
    print("  resident memory after start-up: %.1f MiB (%d KiB)" % (rss / 1024.0, rss))
    return 0


if __name__ == "__main__":
    sys.exit(main())
