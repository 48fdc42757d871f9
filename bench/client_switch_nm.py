#!/usr/bin/env python3
"""Client switch latency through a real NetworkManager, in network namespaces (root).

Usage: client_switch_nm.py PATH/TO/Client [SWITCHES] [static|dhcp]
The Client runs on a workstation whose adapter NetworkManager manages (see
tests/e2e/networkmanager/nmbed.py); this script plays its server. For SWITCHES switches
alternating between two lines it prints, from the switch command leaving the server:
  route   the new default route appearing in the workstation's kernel (`ip monitor route`)
  report  the Client's report of the new line arriving at the server
as median, min and max in milliseconds. The commands end with a complete secondary DNS, so the
Client starts at once; the veth hop adds microseconds.
"""

import os
import re
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e", "networkmanager"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e", "client"))
from clientnetns import gbk, receive, report  # noqa: E402
from nmbed import GATEWAY_A, GATEWAY_B, NmBed  # noqa: E402
from test_networkmanager_e2e import Workstation  # noqa: E402

LINES = [(GATEWAY_B, "10.77.9.203", "10.77.9.204", "网通"),
         (GATEWAY_A, "10.77.9.201", "10.77.9.202", "联通")]
# A little more than the Client's least time between the end of one switch and the next.
SPACING_S = 0.6


class RouteWatch:
    """`ip monitor route` in the workstation: when each new default route appeared."""

    def __init__(self, namespace):
        self.process = subprocess.Popen(["ip", "-n", namespace, "monitor", "route"],
                                        stdout=subprocess.PIPE, text=True, bufsize=1)
        self.events = []  # (monotonic time, gateway)
        self.lock = threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            now = time.monotonic()
            words = line.split()
            if words[:2] == ["default", "via"]:
                with self.lock:
                    self.events.append((now, words[2]))

    def first_after(self, start, gateway, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                for when, via in self.events:
                    if when >= start and via == gateway:
                        return when
            time.sleep(0.001)
        return None

    def close(self):
        self.process.terminate()
        self.process.wait(5)


def figures(samples):
    if not samples:
        return "no samples"
    ms = [s * 1000 for s in samples]
    return "median %.1f ms, min %.1f ms, max %.1f ms (%d switches)" % (
        statistics.median(ms), min(ms), max(ms), len(ms))


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    binary = os.path.abspath(sys.argv[1])
    switches = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    dhcp = len(sys.argv) > 3 and sys.argv[3] == "dhcp"
    file = "".join("%s;;;%s;%s;%s;\r\n" % (name, gw, d1, d2) for gw, d1, d2, name in LINES)
    bed = NmBed(dhcp=dhcp, prefix="tvnmb")
    ws = None
    watch = RouteWatch(bed.ws)
    try:
        ws = Workstation(bed, None, file, binary=binary)
        if ws.conn is None:
            raise RuntimeError("the Client did not connect:\n" + ws.log())
        receive(ws.conn, None, timeout=5)
        route_times, report_times = [], []
        for k in range(switches):
            gw, d1, d2, name = LINES[k % 2]
            expected = report(gw, d1, name, "0")
            start = time.monotonic()
            ws.conn.sendall(gbk("切换%s;%s;%s" % (gw, d1, d2)))
            got = receive(ws.conn, len(expected), timeout=10)
            arrived = time.monotonic()
            if got != expected:
                raise RuntimeError("switch %d: got %r, want %r\n%s" % (k, got, expected,
                                                                      ws.log()))
            report_times.append(arrived - start)
            routed = watch.first_after(start, gw)
            if routed is not None:
                route_times.append(routed - start)
            time.sleep(SPACING_S)
        print("NetworkManager backend, %s profile:" % ("DHCP" if dhcp else "static"))
        print("  command -> new default route in the kernel: " + figures(route_times))
        print("  command -> report at the server:            " + figures(report_times))
        # The Client's own log: from its start of the switch to NetworkManager's answer to
        # Reapply, and to the line being in force (route in the kernel, DNS listed).
        reapplied, in_force = [], []
        for line in ws.log().splitlines():
            match = re.search(r"took the line after (\d+) ms; in force after (\d+) ms", line)
            if match:
                reapplied.append(int(match.group(1)) / 1000)
                in_force.append(int(match.group(2)) / 1000)
        print("  in the Client, switch start -> Reapply answered: " + figures(reapplied))
        print("  in the Client, switch start -> line in force:    " + figures(in_force))
    finally:
        watch.close()
        if ws is not None:
            ws.close()
        bed.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
