#!/usr/bin/env python3
"""Switching through the switching service: the real Client, run as an ordinary user without any
capability, switches on a server's command; the service (on a private system bus, with polkitd
asked about every call) changes the namespace's route and resolver file. Root only.

Usage: service_switch.py PATH/TO/torvane-switchd PATH/TO/Client [SWITCHES]
Prints, over SWITCHES alternating switches: command -> new default route in the kernel (seen by
`ip monitor` in the workstation's namespace) and command -> the Client's report.
"""

import os
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e", "client"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e", "service"))
from clientnetns import OTHER_GATEWAY, SERVER_IP, ClientNetns, gbk, receive, report  # noqa: E402
from privatebus import ALLOWED_USER, PrivateBus, uid_of  # noqa: E402

LINES = gbk("联通;;;10.77.0.1;10.77.9.201;10.77.9.202;\r\n"
            "移动;;;10.77.0.254;10.77.9.203;10.77.9.204;\r\n")
# Three-digit last parts end a command at once (no wait for more digits).
TARGETS = [((OTHER_GATEWAY, "10.77.9.203", "10.77.9.204"), "移动"),
           ((SERVER_IP, "10.77.9.201", "10.77.9.202"), "联通")]
# The service lets one user switch twenty times in ten seconds; stay under it.
SPACING_S = 0.6


class RouteMonitor:
    """Timestamps every new default route of the namespace as `ip monitor` reports it."""

    def __init__(self, netns):
        self.events = []
        self.process = subprocess.Popen(["ip", "-n", netns, "-4", "monitor", "route"],
                                        stdout=subprocess.PIPE, text=True, bufsize=1)
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        for line in self.process.stdout:
            if line.startswith("default via"):
                self.events.append((time.perf_counter(), line.split()[2]))

    def first_after(self, started, gateway, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for when, via in list(self.events):
                if when >= started and via == gateway:
                    return when
            time.sleep(0.001)
        return None

    def close(self):
        self.process.terminate()
        self.process.wait()


def run(net, bus, service_binary, switches):
    bus.start_polkit()
    bus.start_service(net.ns_a, service_binary)
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = bus.address
    folder = net.install_client("bench", LINES, {"FwqIp": SERVER_IP, "FwqDk": "15200",
                                                 "GengXin": "0"})
    monitor = RouteMonitor(net.ns_a)
    net.enter_server_side()
    net.listen()
    client = net.start_client(folder, as_user=uid_of(ALLOWED_USER))
    conn = net.accept(15)
    if conn is None:
        raise RuntimeError("the Client did not connect:\n" + net.log_of(client))
    receive(conn, None, timeout=3)
    time.sleep(SPACING_S * 6)  # the rate limit's window starts empty
    to_route, to_report = [], []
    try:
        for i in range(switches):
            (gateway, dns1, dns2), name = TARGETS[i % 2]
            expected = report(gateway, dns1, name, "0")
            started = time.perf_counter()
            conn.sendall(gbk("切换%s;%s;%s" % (gateway, dns1, dns2)))
            got = receive(conn, len(expected), timeout=10)
            reported = time.perf_counter()
            if got != expected:
                raise RuntimeError("switch %d: got %r, want %r\n%s" % (i, got, expected,
                                                                       bus.log("service")))
            routed = monitor.first_after(started, gateway)
            if routed is None:
                raise RuntimeError("switch %d: no new default route seen" % i)
            to_route.append((routed - started) * 1000.0)
            to_report.append((reported - started) * 1000.0)
            time.sleep(SPACING_S)
    finally:
        monitor.close()
        conn.close()
    return to_route, to_report


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    switches = int(sys.argv[3]) if len(sys.argv) > 3 else 20
    net = ClientNetns(sys.argv[2], prefix="tvsvb")
    bus = PrivateBus()
    try:
        to_route, to_report = run(net, bus, os.path.abspath(sys.argv[1]), switches)
    finally:
        bus.close()
        net.close()
    print("service_switch: %d switches by an ordinary user's Client through the switching "
          "service (polkit asked each time)" % switches)
    for title, samples in (("command -> default route in the kernel", to_route),
                           ("command -> report sent", to_report)):
        print("  %s: median %.1f ms, min %.1f ms, max %.1f ms"
              % (title, statistics.median(samples), min(samples), max(samples)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
