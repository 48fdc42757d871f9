#!/usr/bin/env python3
"""The built Client in a network namespace against a server played by this test.

Usage: test_client_e2e.py PATH/TO/Client
Needs root; fails (never skips) when namespaces cannot be made.
"""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from clientnetns import (OTHER_GATEWAY, SERVER_IP, WORKSTATION_IP, ClientNetns, gbk,  # noqa: E402
                         receive, report)

FIRST_FILE = gbk("电信;;;10.77.0.1;10.77.9.1;10.77.9.2;\r\n"
                 "网通;;;10.77.0.254;10.77.9.3;;\r\n")
PUSHED_FILE = gbk("联通;;;10.77.0.1;10.77.9.1;10.77.9.2;\r\n"
                  "移动;;;10.77.0.254;10.77.9.3;10.77.9.4;\r\n")

failures = []


def check(condition, what, detail=""):
    print("%s: %s%s" % ("PASS" if condition else "FAIL", what,
                        "" if condition or not detail else " -- " + str(detail)), flush=True)
    if not condition:
        failures.append(what)
    return condition


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def read_file(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def expect_report(conn, expected, what):
    got = receive(conn, len(expected), timeout=10)
    check(got == expected, what, "got %r, want %r" % (got, expected))
    # Nothing may follow a report.
    extra = receive(conn, None, timeout=0.3)
    check(extra == b"", what + ": nothing after the report", repr(extra))


def default_route_via(net, gateway):
    routes = net.default_routes()
    return len(routes) == 1 and ("via %s " % gateway) in routes[0] + " ", routes


def main():
    if len(sys.argv) != 2:
        print("usage: test_client_e2e.py CLIENT_BINARY")
        return 2
    net = ClientNetns(sys.argv[1])
    try:
        scenario(net)
        privileges(net)
    finally:
        net.close()
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


def scenario(net):
    folder = net.install_client("ws1", FIRST_FILE, {"FwqIp": SERVER_IP, "FwqDk": "15200"})
    line_file = os.path.join(folder, "bin", "MainConfig.dat")
    net.enter_server_side()
    net.listen()
    client = net.start_client(folder)

    conn = net.accept(15)
    if not check(conn is not None, "the Client connects to its server"):
        print(net.log_of(client))
        return
    expect_report(conn, report(SERVER_IP, "10.77.9.1", "电信"), "report after connect")
    sockets = subprocess.run(["ip", "netns", "exec", net.ns_a, "ss", "-tnoH", "state",
                              "established"], capture_output=True, text=True).stdout
    check("keepalive" in sockets, "the link has TCP keepalive on", sockets)

    # Update: the file is replaced byte for byte. It renames the line in use, which is reported
    # once; the same list again changes no name and is not answered.
    conn.sendall(gbk("更新") + PUSHED_FILE)
    check(wait_for(lambda: read_file(line_file) == PUSHED_FILE, 5),
          "update replaces MainConfig.dat byte for byte", read_file(line_file))
    expect_report(conn, report(SERVER_IP, "10.77.9.1", "联通"),
                  "an update that renames the line in use is reported")
    conn.sendall(gbk("更新") + PUSHED_FILE)
    check(receive(conn, None, timeout=0.5) == b"", "an update that keeps the name is not answered")

    # Switch: gateway with metric 1 and the DNS order; the address stays.
    conn.sendall(gbk("切换%s;10.77.9.3;10.77.9.4" % OTHER_GATEWAY))
    expect_report(conn, report(OTHER_GATEWAY, "10.77.9.3", "移动"),
                  "report after a switch names the pushed list's line")
    ok, routes = default_route_via(net, OTHER_GATEWAY)
    check(ok, "switch sets the default gateway", routes)
    check(bool(routes) and " metric 1" in routes[0] + " ", "default route has metric 1", routes)
    check(net.resolver_servers() == ["10.77.9.3", "10.77.9.4"], "switch sets the DNS order",
          net.resolver_servers())
    check(net.addresses() == [WORKSTATION_IP + "/24"], "switch keeps the address",
          net.addresses())

    # Back, with an empty secondary DNS.
    conn.sendall(gbk("切换%s;10.77.9.1;" % SERVER_IP))
    expect_report(conn, report(SERVER_IP, "10.77.9.1", "联通"), "switch back with one DNS")
    check(net.resolver_servers() == ["10.77.9.1"], "an empty secondary leaves one server",
          net.resolver_servers())

    # Malformed commands and garbage change nothing and are not answered.
    for bad in (gbk("切换10.77.0.9;bogus;"), gbk("切换10.77.0.9;10.77.9.1"),
                b"\xff\xfe garbage", gbk("更新") + b"x;" * 40000):
        conn.sendall(bad)
        time.sleep(0.1)
    check(receive(conn, None, timeout=2.5) == b"", "malformed commands get no report")
    ok, routes = default_route_via(net, SERVER_IP)
    check(ok, "malformed commands leave the route", routes)
    check(read_file(line_file) == PUSHED_FILE, "an oversized update leaves the file",
          len(read_file(line_file) or b""))
    check(client.poll() is None, "the Client survives malformed input")

    # The server goes away and comes back: the Client reconnects on its own.
    conn.close()
    net.stop_listening()
    time.sleep(2.0)
    net.listen()
    started = time.monotonic()
    conn = net.accept(15)
    if check(conn is not None, "the Client reconnects when the server is back"):
        print("reconnect after the server came back: %.2f s" % (time.monotonic() - started))
        expect_report(conn, report(SERVER_IP, "10.77.9.1", "联通"), "report after reconnect")

    # A second start is refused and ends on its own; the first keeps running.
    second = net.start_client(folder)
    try:
        code = second.wait(30)
    except subprocess.TimeoutExpired:
        second.kill()
        code = None
    check(code == 0, "a second Client ends on its own", code)
    check("程序已经运行" in net.log_of(second), "the second Client says it is already running",
          net.log_of(second))
    check(client.poll() is None, "the first Client keeps running")
    if conn is not None:
        conn.sendall(gbk("切换%s;10.77.9.5;" % OTHER_GATEWAY))
        expect_report(conn, report(OTHER_GATEWAY, "10.77.9.5", ""),
                      "the first Client still answers (no line has that DNS pair)")
        conn.close()
    client.terminate()
    client.wait(5)
    net.stop_listening()


def privileges(net):
    """Without CAP_NET_ADMIN a switch leaves a trace and reports the unchanged state."""
    net.write_resolver(["10.77.9.1", "10.77.9.2"])
    while subprocess.run(["ip", "-n", net.ns_a, "route", "del", "default"],
                         capture_output=True).returncode == 0:
        pass
    subprocess.run(["ip", "-n", net.ns_a, "route", "add", "default", "via", SERVER_IP, "dev",
                    "eth0"], check=True)
    folder = net.install_client("ws2", FIRST_FILE, {"FwqIp": SERVER_IP, "FwqDk": "15200"})
    net.listen()
    client = net.start_client(folder, as_user=65534)
    conn = net.accept(15)
    if not check(conn is not None, "an unprivileged Client connects"):
        print(net.log_of(client))
        return
    expect_report(conn, report(SERVER_IP, "10.77.9.1", "电信"), "unprivileged report")
    conn.sendall(gbk("切换%s;10.77.9.3;" % OTHER_GATEWAY))
    expect_report(conn, report(SERVER_IP, "10.77.9.1", "电信"),
                  "a refused switch reports the unchanged state")
    ok, routes = default_route_via(net, SERVER_IP)
    check(ok, "a refused switch leaves the route", routes)
    check(wait_for(lambda: "failed" in net.log_of(client), 5),
          "a refused switch is traced on stderr", net.log_of(client))
    log = net.log_of(client)
    print("trace of the refused switch: " + " | ".join(
        line for line in log.splitlines() if "failed" in line))
    conn.close()
    client.terminate()
    client.wait(5)
    net.stop_listening()


if __name__ == "__main__":
    sys.exit(main())
