#!/usr/bin/env python3
"""The switching service for real: on a private system bus with polkitd, inside a workstation's
network namespace, switching the namespace's route and resolver file (or systemd-resolved's
link DNS), for callers polkit allows and for the real Client run as an ordinary user.

Usage: test_service_e2e.py SCENARIO SERVICE_BINARY [CLIENT_BINARY]
  SCENARIO: callers  -- allowed, refused and malformed calls, the bus policy, the rate limit
            resolved -- the DNS servers through a real systemd-resolved
            client   -- the real Client without capabilities switching through the service
Needs root; fails (never skips) when it cannot run.
"""

import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "client"))
from clientnetns import OTHER_GATEWAY, SERVER_IP, ClientNetns, gbk, receive, report  # noqa: E402
from privatebus import (ALLOWED_USER, REFUSED_USER, PrivateBus, as_user, reply_code,  # noqa: E402
                        request, resolved_root, uid_of, wait_for)

NO_PERMISSION, INVALID, RATE_LIMITED = 3, 2, 16
LINES = gbk("电信;;;10.77.0.1;10.77.9.1;10.77.9.2;\r\n"
            "网通;;;10.77.0.254;10.77.9.3;;\r\n")

failures = []


def check(condition, what, detail=""):
    print("%s: %s%s" % ("PASS" if condition else "FAIL", what,
                        "" if condition or not detail else " -- " + str(detail)), flush=True)
    if not condition:
        failures.append(what)
    return condition


def route_via(net, gateway):
    routes = net.default_routes()
    return len(routes) == 1 and ("via %s " % gateway) in routes[0] + " "


def callers(net, service_binary):
    bus = PrivateBus()
    try:
        bus.start_polkit()
        bus.start_service(net.ns_a, service_binary)

        # A user polkit allows: route and resolver file change, the journal line names them.
        reply, error = bus.call_switch(request(OTHER_GATEWAY, "10.77.9.3", "10.77.9.4"),
                                       user=ALLOWED_USER)
        check(reply_code(reply) == 0, "an allowed caller switches", (reply, error))
        check(route_via(net, OTHER_GATEWAY), "the allowed switch sets the route",
              net.default_routes())
        check(net.resolver_servers() == ["10.77.9.3", "10.77.9.4"],
              "the allowed switch writes the resolver file", net.resolver_servers())
        check(wait_for(lambda: "applied switch by %s, uid %d" % (ALLOWED_USER, uid_of(ALLOWED_USER))
                       in bus.log("service"), 3),
              "the switch is logged with who, from what, to what", bus.log("service"))
        check("from gateway 10.77.0.1, DNS 10.77.9.1 10.77.9.2 to gateway %s" % OTHER_GATEWAY
              in bus.log("service"), "the log names the settings before and after",
              bus.log("service"))

        # A user without a rule and without a local session: refused, nothing changes.
        reply, error = bus.call_switch(request(SERVER_IP, "10.77.9.1"), user=REFUSED_USER)
        check(reply_code(reply) == NO_PERMISSION, "a caller polkit does not allow is refused",
              (reply, error))
        check(route_via(net, OTHER_GATEWAY) and net.resolver_servers() == ["10.77.9.3",
                                                                           "10.77.9.4"],
              "a refused caller changes nothing", (net.default_routes(), net.resolver_servers()))
        check(wait_for(lambda: "refused a switch to gateway %s" % SERVER_IP in bus.log("service"),
                       3), "the refusal is logged", bus.log("service"))

        # Malformed requests: refused as such, by anyone, before polkit; the service lives on.
        for bad, what in ((b"", "an empty request"), (b"\xff" * 40, "a request of garbage bytes"),
                          (request(SERVER_IP, "10.77.9.1") + b"x" * 300, "an oversized request"),
                          (request(SERVER_IP, "10.77.9.1").replace(b"primary", b"primari"),
                           "a misspelt key")):
            reply, error = bus.call_switch(bad, user=REFUSED_USER)
            check(reply_code(reply) == INVALID, "%s is refused" % what, (reply, error))
        reply, error = bus.call_switch(request("10.77.0.300", "10.77.9.1"), user=ALLOWED_USER)
        check(reply_code(reply) == INVALID, "an impossible address is refused after polkit",
              (reply, error))
        reply, error = bus.call_switch(b"10.77.0.1", user=ALLOWED_USER, signature="s")
        check(reply is None and "Switch" in error, "a call with another signature fails", error)
        check(bus.processes["service"].poll() is None, "the service survives malformed calls")
        check(route_via(net, OTHER_GATEWAY), "malformed calls leave the route",
              net.default_routes())

        # The bus policy: only the one method is open, and only root may own the name.
        result = subprocess.run(as_user(REFUSED_USER) + [
            "busctl", "--address=" + bus.address, "introspect", "org.torvane.Switch1",
            "/org/torvane/Switch1"], capture_output=True, text=True)
        check(result.returncode != 0 and "denied" in (result.stderr + result.stdout).lower(),
              "the bus refuses any other call to the service", result.stderr)
        impostor = subprocess.run(as_user(ALLOWED_USER) + [service_binary], env=bus.env(),
                                  capture_output=True, text=True, timeout=20)
        check(impostor.returncode != 0 and "cannot own" in impostor.stderr,
              "a service started by a user cannot take the name", impostor.stderr)

        # A burst from one user: the first few pass, the rest are refused, not queued.
        codes = []
        for k in range(24):
            gateway = SERVER_IP if k % 2 == 0 else OTHER_GATEWAY
            reply, _ = bus.call_switch(request(gateway, "10.77.9.1"), user=ALLOWED_USER)
            codes.append(reply_code(reply))
        check(codes[0] == 0 and codes[-1] == RATE_LIMITED and set(codes) <= {0, RATE_LIMITED},
              "a burst of switches is cut by the rate limit", codes)
        last_applied = max(k for k, code in enumerate(codes) if code == 0)
        expected = SERVER_IP if last_applied % 2 == 0 else OTHER_GATEWAY
        check(route_via(net, expected), "the route is the last accepted switch's",
              (codes, net.default_routes()))
        check("too many switches" in bus.log("service"), "the rate limit is logged")

        # Started on demand, it ends by itself when nobody calls, and gives the name back.
        bus.stop("service")
        idle = bus.start_service(net.ns_a, service_binary, name="idle", args=["--idle-exit", "1"])
        check(wait_for(lambda: idle.poll() is not None, 10) and idle.returncode == 0
              and bus.owner("org.torvane.Switch1") is None,
              "an idle service ends and releases its name", bus.log("idle"))
    finally:
        bus.close()


def resolved(net, service_binary):
    root = resolved_root()
    bus = PrivateBus(with_resolved_policy=os.path.join(
        root, "usr/share/dbus-1/system.d/org.freedesktop.resolve1.conf"))
    resolvectl = os.path.join(root, "usr/bin/resolvectl")

    def ask(*args):
        return subprocess.run(["ip", "netns", "exec", net.ns_a, resolvectl, "--no-pager"]
                              + list(args), env=bus.env(), capture_output=True, text=True).stdout

    try:
        bus.start_polkit()
        bus.start_resolved(net.ns_a, root)
        bus.start_service(net.ns_a, service_binary)
        check("DNS servers go to systemd-resolved" in bus.log("service"),
              "the service sends DNS servers to systemd-resolved when it runs", bus.log("service"))
        file_before = net.resolver_servers()
        reply, error = bus.call_switch(request(OTHER_GATEWAY, "10.77.9.3", "10.77.9.4"),
                                       user=ALLOWED_USER)
        check(reply_code(reply) == 0, "a switch with systemd-resolved succeeds", (reply, error))
        check(route_via(net, OTHER_GATEWAY), "the route still goes over rtnetlink",
              net.default_routes())
        dns = ask("dns", "eth0")
        check("10.77.9.3 10.77.9.4" in dns, "systemd-resolved has the link's new servers", dns)
        domains = ask("domain", "eth0")
        check("~." in domains, "the link is the route for every domain", domains)
        check(net.resolver_servers() == file_before, "the resolver file is left to resolved",
              net.resolver_servers())
        reply, error = bus.call_switch(request(SERVER_IP, "10.77.9.1"), user=ALLOWED_USER)
        dns = ask("dns", "eth0")
        check(reply_code(reply) == 0 and "10.77.9.1" in dns and "10.77.9.3" not in dns,
              "a second switch replaces the link's servers", (reply, dns))
        check("from gateway %s, DNS 10.77.9.3 10.77.9.4" % OTHER_GATEWAY in bus.log("service"),
              "the log takes the servers in use from systemd-resolved", bus.log("service"))
    finally:
        bus.close()


def client(net, service_binary, client_binary):
    caps = subprocess.run(["getcap", client_binary], capture_output=True, text=True)
    check(caps.returncode == 0 and caps.stdout.strip() == "",
          "the Client carries no file capabilities", caps.stdout)
    bus = PrivateBus()
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = bus.address
    try:
        bus.start_polkit()
        bus.start_service(net.ns_a, service_binary)
        version = subprocess.run(["ip", "netns", "exec", net.ns_a] + as_user(ALLOWED_USER) +
                                 [client_binary, "--version"], env=bus.env(),
                                 capture_output=True, text=True, timeout=20)
        check("adapter backend: service" in version.stdout,
              "--version names the service backend for an ordinary user",
              version.stdout + version.stderr)

        folder = net.install_client("allowed", LINES, {"FwqIp": SERVER_IP, "FwqDk": "15200"})
        net.enter_server_side()
        net.listen()
        process = net.start_client(folder, as_user=uid_of(ALLOWED_USER))
        conn = net.accept(15)
        if not check(conn is not None, "the Client connects"):
            print(net.log_of(process))
            return
        expect(conn, report(SERVER_IP, "10.77.9.1", "电信"), "report after connect")
        check("backend: service" in net.log_of(process),
              "the Client names its backend at start", net.log_of(process))

        started = time.monotonic()
        conn.sendall(gbk("切换%s;10.77.9.3;" % OTHER_GATEWAY))
        expect(conn, report(OTHER_GATEWAY, "10.77.9.3", "网通"),
               "an ordinary user's Client switches through the service")
        print("switch command to report through the service: %.1f ms"
              % ((time.monotonic() - started) * 1000))
        check(route_via(net, OTHER_GATEWAY) and net.resolver_servers() == ["10.77.9.3"],
              "the route and resolver file are the new line's",
              (net.default_routes(), net.resolver_servers()))
        check("applied switch by %s" % ALLOWED_USER in bus.log("service"),
              "the service logged the Client's user")

        # Changed behind the Client's back: it notices, and reports without being asked.
        subprocess.run(["ip", "-n", net.ns_a, "route", "replace", "default", "via", SERVER_IP,
                        "dev", "eth0", "metric", "1"], check=True)
        net.write_resolver(["10.77.9.1", "10.77.9.2"])
        expect(conn, report(SERVER_IP, "10.77.9.1", "电信"),
               "a change made behind the Client's back is reported")

        # A user without the right: refused, nothing changes, the report stays the truth.
        other = net.install_client("refused", LINES, {"FwqIp": SERVER_IP, "FwqDk": "15200"})
        refused = net.start_client(other, as_user=uid_of(REFUSED_USER))
        conn2 = net.accept(15)
        if check(conn2 is not None, "the second user's Client connects", net.log_of(refused)):
            expect(conn2, report(SERVER_IP, "10.77.9.1", "电信"), "second user's first report")
            conn2.sendall(gbk("切换%s;10.77.9.3;" % OTHER_GATEWAY))
            expect(conn2, report(SERVER_IP, "10.77.9.1", "电信"),
                   "a refused switch reports the unchanged state")
            check(route_via(net, SERVER_IP), "the refused switch leaves the route",
                  net.default_routes())
            check(wait_for(lambda: "not authorized" in net.log_of(refused), 5),
                  "the refused Client says why", net.log_of(refused))
            conn2.close()

        # The service gone: a clear failure, not a hang.
        bus.stop("service")
        conn.sendall(gbk("切换%s;10.77.9.3;" % OTHER_GATEWAY))
        expect(conn, report(SERVER_IP, "10.77.9.1", "电信"),
               "without the service a switch fails and reports the unchanged state")
        check(wait_for(lambda: "switching service" in net.log_of(process), 5),
              "the Client says the service is unavailable", net.log_of(process))
        conn.close()
    finally:
        os.environ.pop("DBUS_SYSTEM_BUS_ADDRESS", None)
        bus.close()


def expect(conn, expected, what):
    got = receive(conn, len(expected), timeout=10)
    check(got == expected, what, "got %r, want %r" % (got, expected))


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in ("callers", "resolved", "client"):
        print(__doc__)
        return 2
    scenario, service_binary = sys.argv[1], os.path.abspath(sys.argv[2])
    if os.geteuid() != 0:
        print("FAIL: needs root (network namespaces, a private bus with polkitd)")
        return 1
    net = ClientNetns(sys.argv[3] if len(sys.argv) > 3 else "/bin/true", prefix="tvsv")
    try:
        if scenario == "callers":
            callers(net, service_binary)
        elif scenario == "resolved":
            resolved(net, service_binary)
        else:
            client(net, service_binary, os.path.abspath(sys.argv[3]))
    finally:
        net.close()
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
