#!/usr/bin/env python3
"""Line health, safe switch and failover end to end, on two carriers' lines in namespaces.

First the built Client with a site key against this script playing the Server over the secure
channel (its frames made from the channel's page with Python's own HMAC): health reports at the
set interval, a dropped line reported failing within the interval, a switch to a dead line rolled
back and reported, a switch to a live line kept, a replayed or forged command refused. Then the
built Server with keyed and legacy Clients: the Server marks a dropped line failing and, with a
backup line set, moves its workstations there, logs it and never moves them back by itself.

Needs root and nftables; fails (never skips) without them. Usage: test_health_e2e.py CLIENT SERVER
"""

import ctypes
import os
import select
import socket
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, HERE)
import securepeer as sp  # noqa: E402
from healthbed import ADMIN_IP, LINES, HealthBed, wait_for  # noqa: E402

PORT = 15200
KEY_TEXT = "health e2e site key"
KEY = sp.site_key(KEY_TEXT)
HEALTH_INTERVAL = 2
ROLLBACK_SECONDS = 4
NAMES = {"A": "电信", "B": "网通"}
CLONE_NEWNET = 0x40000000
LIBC = ctypes.CDLL(None, use_errno=True)
failures = []


def check(condition, what, detail=""):
    print("%s: %s%s" % ("PASS" if condition else "FAIL", what,
                        "" if condition or not detail else " -- " + str(detail)), flush=True)
    if not condition:
        failures.append(what)
    return condition


def gbk(text):
    return text.encode("gbk")


def line_entry(key):
    line = LINES[key]
    return "%s;;;%s;%s;%s;\r\n" % (NAMES[key], line["gateway"], line["dns"][0], line["dns"][1])


LINE_FILE = gbk(line_entry("A") + line_entry("B"))


def report(key, update="0"):
    line = LINES[key]
    return gbk("计算机信息%s; %s;%s;%s" % (line["gateway"], line["dns"][0], NAMES[key], update))


def switch_body(key):
    line = LINES[key]
    return gbk("切换%s;%s;%s" % (line["gateway"], line["dns"][0], line["dns"][1]))


def listen_in(bed, ns, port):
    """A listening socket inside a namespace (the socket keeps it; this process goes home)."""
    home = os.open("/proc/self/ns/net", os.O_RDONLY)
    target = os.open("/var/run/netns/" + bed.ns(ns), os.O_RDONLY)
    try:
        if LIBC.setns(target, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns")
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((ADMIN_IP, port))
        listener.listen(8)
        return listener
    finally:
        LIBC.setns(home, CLONE_NEWNET)
        os.close(home)
        os.close(target)


class SecureServer:
    """This script as the Server's secure port: one session at a time, messages kept in order."""

    def __init__(self, listener, key=KEY):
        self.listener, self.key = listener, key
        self.conn = self.session = None
        self.messages = []
        self.sent = []  # every sealed frame sent, as bytes

    def accept(self, timeout=15):
        ready, _, _ = select.select([self.listener], [], [], timeout)
        if not ready:
            return False
        self.conn, _ = self.listener.accept()
        self.session = sp.ServerSession(self.key)
        self.messages = []
        return wait_for(lambda: self.pump(0.05) or self.session.open, 10)

    def pump(self, timeout):
        """Reads what arrives within timeout; False when the Client closed the connection."""
        deadline = time.monotonic() + timeout
        while True:
            left = max(0.0, deadline - time.monotonic())
            ready, _, _ = select.select([self.conn], [], [], left)
            if not ready:
                return True
            try:
                data = self.conn.recv(65536)
            except ConnectionError:
                data = b""
            if not data:
                return False
            out, messages = self.session.feed(data)
            if out:
                self.conn.sendall(out)
            self.messages.extend(messages)

    def wait_message(self, kind, timeout, predicate=lambda body: True):
        """The first new message of the kind that satisfies predicate, or None."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for i, (k, body) in enumerate(self.messages):
                if k == kind and predicate(body):
                    del self.messages[:i + 1]
                    return body
            if not self.pump(min(0.2, max(0.0, deadline - time.monotonic()))):
                return None
        return None

    def send(self, kind, body):
        frame = self.session.seal(kind, body)
        self.sent.append(frame)
        self.conn.sendall(frame)

    def closed_by_peer(self, timeout):
        return wait_for(lambda: not self.pump(0.1), timeout)

    def close(self):
        if self.conn is not None:
            self.conn.close()
            self.conn = None


def health_of(body):
    return sp.parse_fields(body)


def client_settings(key=True):
    settings = {"FwqIp": ADMIN_IP, "FwqDk": PORT, "GengXin": 0}
    if key:
        settings.update({"SiteKey": KEY.hex(), "HealthInterval": HEALTH_INTERVAL,
                         "RollbackSeconds": ROLLBACK_SECONDS})
    return settings


def client_case(client_binary):
    bed = HealthBed(1)
    server = None
    try:
        bed.set_line(1, "A")
        server = SecureServer(listen_in(bed, "adm", PORT + 1))
        folder = bed.install("ws1", client_binary, LINE_FILE, client_settings())
        process = bed.start("ws1", folder, "Client")
        if not check(server.accept(), "the keyed Client opens a session on the secure port",
                     bed.log_of(process)):
            return
        body = server.wait_message(sp.REPORT, 10)
        check(body == report("A"), "its report is the legacy report's bytes", body)

        # Health at the set interval, healthy while the line answers.
        started = time.monotonic()
        first = server.wait_message(sp.HEALTH, HEALTH_INTERVAL + 5)
        second = server.wait_message(sp.HEALTH, HEALTH_INTERVAL + 5)
        check(first is not None and second is not None, "health reports arrive", bed.log_of(process))
        if first is None or second is None:
            return
        spacing = time.monotonic() - started
        fields = health_of(second)
        check(fields.get("line") == NAMES["A"] and fields.get("gateway") == LINES["A"]["gateway"]
              and fields.get("dns") == LINES["A"]["dns"][0], "the health names the line", fields)
        check(fields.get("gateway_ok") == "1" and fields.get("dns_ok") == "1",
              "a live line is healthy", fields)
        check(spacing < 3 * HEALTH_INTERVAL + 4, "health comes about every interval",
              "%.1f s for two" % spacing)

        # The line drops: the next report says so, within an interval (and a probe's timeout).
        bed.drop("A")
        dropped = time.monotonic()
        failing = server.wait_message(sp.HEALTH, HEALTH_INTERVAL + 6,
                                      lambda b: health_of(b).get("dns_ok") == "0")
        check(failing is not None and health_of(failing).get("gateway_ok") == "0",
              "a dropped line is reported failing", failing)
        check(time.monotonic() - dropped <= HEALTH_INTERVAL + 4,
              "within the probe interval", "%.1f s" % (time.monotonic() - dropped))
        bed.restore("A")
        check(server.wait_message(sp.HEALTH, HEALTH_INTERVAL + 6,
                                  lambda b: health_of(b).get("dns_ok") == "1") is not None,
              "the restored line is healthy again")

        # A switch to a dead line is rolled back.
        bed.drop("B")
        server.send(sp.SWITCH_COMMAND, switch_body("B"))
        check(wait_for(lambda: bed.line_of(1) == "B", 5), "the command switches to line B",
              bed.gateway_of(1))
        rollback = server.wait_message(sp.ROLLBACK, ROLLBACK_SECONDS + 8)
        fields = health_of(rollback) if rollback else {}
        check(fields.get("from") == NAMES["B"] and fields.get("to") == NAMES["A"]
              and fields.get("reason"), "the rollback is reported with its reason", fields)
        check(wait_for(lambda: bed.line_of(1) == "A", 5), "the workstation is back on line A",
              (bed.gateway_of(1), bed.resolver_of(1)))
        check(server.wait_message(sp.REPORT, 5, lambda b: b == report("A")) is not None,
              "the report after the rollback names line A")
        bed.restore("B")

        # A switch to a live line is kept.
        server.send(sp.SWITCH_COMMAND, switch_body("B"))
        check(server.wait_message(sp.REPORT, 8, lambda b: b == report("B")) is not None,
              "a switch to a live line is reported")
        check(server.wait_message(sp.ROLLBACK, ROLLBACK_SECONDS + 3) is None
              and bed.line_of(1) == "B", "and kept", bed.gateway_of(1))

        # Replayed: the next session is sent the last one's recorded command; forged: a command
        # sealed with a key of the attacker's. Either drops the session and switches nothing.
        recorded = server.sent[-1]
        for what, frame in (("a replayed command", lambda: recorded),
                            ("a forged command",
                             lambda: server.session.seal(sp.SWITCH_COMMAND, switch_body("A"),
                                                         key=bytes(32)))):
            server.close()
            if not check(server.accept(20), "the Client opens a new session (%s)" % what):
                return
            server.wait_message(sp.REPORT, 5)
            server.conn.sendall(frame())
            check(server.closed_by_peer(5), "%s ends the session" % what)
            time.sleep(1.0)
            check(bed.line_of(1) == "B", "%s switches nothing" % what, bed.gateway_of(1))

        # A port that accepts and never answers (a tarpit, a stranger's service) does not hold
        # the Client: it gives up after the handshake time and tries again.
        server.close()
        ready, _, _ = select.select([server.listener], [], [], 20)
        if check(bool(ready), "the Client connects again"):
            silent, _ = server.listener.accept()
            silent.settimeout(15)
            try:
                while silent.recv(4096):
                    pass
                gave_up = True
            except socket.timeout:
                gave_up = False
            except ConnectionError:
                gave_up = True
            silent.close()
            check(gave_up, "a silent secure port is left after the handshake time")
            check(server.accept(20), "and the next attempt opens a session")
        check(process.poll() is None, "the Client still runs", bed.log_of(process))
    finally:
        if server is not None:
            server.close()
            server.listener.close()
        bed.close()


FAILOVER_SECONDS = 4


def server_settings():
    # The backup of line A is line B; the group's key is the line's name.
    return {"FwqDk": PORT, "GengXin": 1, "QiQiu": 0, "SiteKey": KEY.hex(),
            "FailoverSeconds": FAILOVER_SECONDS}


def failover_case(client_binary, server_binary):
    bed = HealthBed(3)
    try:
        folder = bed.install("adm", server_binary, LINE_FILE, server_settings())
        with open(os.path.join(folder, "config", "Morlisk.conf"), "a") as f:
            # Written as the settings library writes a key beyond ASCII.
            escaped = "".join(c if ord(c) < 128 else "%%U%04x" % ord(c) for c in NAMES["A"])
            f.write("[Failover]\n%s=%s\n" % (escaped, NAMES["B"]))
        server = bed.start("adm", folder, "Server")
        clients = []
        for k in (1, 2, 3):
            bed.set_line(k, "A")
            # Workstation 3 is a legacy one: no key, legacy port, no health.
            ws = bed.install("ws%d" % k, client_binary, LINE_FILE, client_settings(key=k != 3))
            clients.append(bed.start("ws%d" % k, ws, "Client"))
        log = lambda: bed.log_of(server)  # noqa: E731
        check(wait_for(lambda: all("authenticated" in bed.log_of(c) for c in clients[:2]), 20),
              "the keyed Clients open sessions with the Server",
              "\n".join(bed.log_of(c) for c in clients[:2]))
        time.sleep(2 * HEALTH_INTERVAL + 1)  # their first health reaches the Server
        check("failing" not in log(), "a live line is not failing", log())

        bed.drop("A")
        dropped = time.monotonic()
        check(wait_for(lambda: "failing" in log(), HEALTH_INTERVAL + 6),
              "the Server marks the dropped line failing within the probe interval", log())
        moved = wait_for(lambda: all(bed.line_of(k) == "B" for k in (1, 2, 3)),
                         FAILOVER_SECONDS + HEALTH_INTERVAL + 15)
        check(moved, "failover moves every workstation of the line to its backup",
              [bed.line_of(k) for k in (1, 2, 3)])
        check(time.monotonic() - dropped >= FAILOVER_SECONDS,
              "not before the line has failed for the set time",
              "%.1f s" % (time.monotonic() - dropped))
        audit = os.path.join(folder, "SwitchLog.txt")
        check(wait_for(lambda: os.path.exists(audit) and "自动切换" in open(
            audit, encoding="utf-8", errors="replace").read(), 10),
              "the failover is in the audit log",
              open(audit, encoding="utf-8", errors="replace").read()
              if os.path.exists(audit) else "no audit log")

        # The line comes back: the workstations stay where failover put them.
        bed.restore("A")
        time.sleep(FAILOVER_SECONDS + 2 * HEALTH_INTERVAL)
        check(all(bed.line_of(k) == "B" for k in (1, 2, 3)), "nothing moves them back by itself",
              [bed.line_of(k) for k in (1, 2, 3)])
        check(server.poll() is None and all(c.poll() is None for c in clients),
              "the programs still run", log())
    finally:
        bed.close()


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    if os.geteuid() != 0:
        print("FAIL: needs root for network namespaces")
        return 1
    client_binary, server_binary = (os.path.abspath(p) for p in sys.argv[1:])
    client_case(client_binary)
    failover_case(client_binary, server_binary)
    print("%d failure(s)" % len(failures) if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
