#!/usr/bin/env python3
"""The built Client on a workstation whose adapter a real NetworkManager manages.

Usage: test_networkmanager_e2e.py PATH/TO/Client [static|dhcp|polkit|foreign]  (all three by default)
TORVANE_NM_SHOW_LOG=1 prints each Client's log at the end of its case.
Needs root, NetworkManager, dnsmasq, polkitd, Xvfb and xdotool; fails (never skips) when any is
missing. Each case gets a bed of its own (see nmbed.py): a static profile, a DHCP profile, and a
static profile with polkit deciding. The Client's window is on a private Xvfb; the user's pick is
made with the keyboard (see Display.pick_line_and_switch).
"""

import ctypes
import os
import pwd
import shutil
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "client"))
from clientnetns import gbk, receive, report  # noqa: E402
from nmbed import (DNS_A, GATEWAY_A, GATEWAY_B, WORKSTATION_IP, NmBed, alive,  # noqa: E402
                   wait_for)

PORT = 15200
DNS_B = ["10.77.9.203", "10.77.9.204"]
# The second line's secondary DNS has three digits in its last part, so a command for it ends at
# once; a command for the first waits for the line to go quiet.
LINE_A = "电信;;;%s;%s;%s;\r\n" % (GATEWAY_A, DNS_A[0], DNS_A[1])
LINE_B = "网通;;;%s;%s;%s;\r\n" % (GATEWAY_B, DNS_B[0], DNS_B[1])
DNS_C = ["10.77.9.205", "10.77.9.206"]
NEW_ADDRESS = "10.77.0.20"
LINE_C_WITH_ADDRESS = "移动;%s;255.255.255.0;%s;%s;%s;\r\n" % (NEW_ADDRESS, GATEWAY_B, DNS_C[0],
                                                             DNS_C[1])
REFUSED_TEXT = "没有修改网卡设置的权限"

CLONE_NEWNET = 0x40000000
LIBC = ctypes.CDLL(None, use_errno=True)

failures = []


def setns(fd):
    if LIBC.setns(fd, CLONE_NEWNET) != 0:
        raise OSError(ctypes.get_errno(), "setns failed")


def check(condition, what, detail=""):
    print("%s: %s%s" % ("PASS" if condition else "FAIL", what,
                        "" if condition or not detail else " -- " + str(detail)), flush=True)
    if not condition:
        failures.append(what)
    return condition


class Display:
    """A private Xvfb: the window is real, the keys come from xdotool."""

    def __init__(self):
        for tool in ("Xvfb", "xdotool"):
            if shutil.which(tool) is None:
                raise RuntimeError("%s is missing: run scripts/install-deps" % tool)
        number = 93
        while os.path.exists("/tmp/.X11-unix/X%d" % number) or \
                os.path.exists("/tmp/.X%d-lock" % number):
            number += 1
        self.name = ":%d" % number
        # -ac: the unprivileged Client of the polkit case draws on it too.
        self.process = subprocess.Popen(["Xvfb", self.name, "-screen", "0", "1280x800x24",
                                         "-nolisten", "tcp", "-ac"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: os.path.exists("/tmp/.X11-unix/X%d" % number), 10):
            raise RuntimeError("Xvfb did not start")

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], capture_output=True, text=True,
                              env=dict(os.environ, DISPLAY=self.name)).stdout.split()

    def windows(self, pid, name):
        return self.xdotool("search", "--onlyvisible", "--pid", str(pid), "--name", name)

    def pick_line_and_switch(self, pid, last, from_button=False):
        """Picks the list's first or last line and presses "开始切换". The list has the focus
        when the window opens; after a switch the button has it (Shift+Tab goes back)."""
        found = []
        if not wait_for(lambda: found.extend(self.windows(pid, "Torvane")) or found, 10):
            return False
        self.xdotool("windowfocus", "--sync", found[-1])
        time.sleep(0.3)
        # A pick is a change of selection: go to the other end first.
        keys = (["shift+Tab"] if from_button else []) + \
            (["Home", "End"] if last else ["End", "Home"]) + ["Tab", "space"]
        for key in keys:
            self.xdotool("key", key)
            time.sleep(0.15)
        return True

    def close(self):
        self.process.terminate()
        self.process.wait(5)


class Workstation:
    """The Client of one bed, and this process as its server in the gateway namespace."""

    def __init__(self, bed, display, lines, user=None, binary=None):
        self.bed = bed
        self.folder = os.path.join(bed.dir, "client")
        os.makedirs(os.path.join(self.folder, "bin"))
        os.makedirs(os.path.join(self.folder, "config"))
        shutil.copy2(binary or CLIENT_BINARY, os.path.join(self.folder, "bin", "Client"))
        binary = os.path.join(self.folder, "bin", "Client")
        with open(os.path.join(self.folder, "bin", "MainConfig.dat"), "wb") as f:
            f.write(gbk(lines))
        with open(os.path.join(self.folder, "config", "Morlisk.conf"), "w") as f:
            f.write("[General]\nFwqIp=%s\nFwqDk=%d\nGengXin=0\n" % (GATEWAY_A, PORT))
        for root, dirs, files in os.walk(self.folder):
            for entry in dirs + files:
                os.chmod(os.path.join(root, entry), 0o777)
        os.chmod(self.folder, 0o777)

        # This process's sockets live in the gateway namespace from here on.
        self.home_ns = os.open("/proc/self/ns/net", os.O_RDONLY)
        with open("/var/run/netns/" + bed.gw) as ns:
            setns(ns.fileno())
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("0.0.0.0", PORT))
        self.listener.listen(4)

        # Without a display (the benchmark) the window is offscreen.
        platform = {"DISPLAY": display.name, "QT_QPA_PLATFORM": "xcb"} if display else \
            {"QT_QPA_PLATFORM": "offscreen"}
        env = bed.env(dict(platform, **{
                       "XDG_CONFIG_HOME": os.path.join(self.folder, "config"),
                       "QT_ACCESSIBILITY": "0", "NO_AT_BRIDGE": "1", "LANG": "C.UTF-8"}))
        env.pop("XDG_RUNTIME_DIR", None)
        command = ["ip", "netns", "exec", bed.ws]
        if user is not None:
            command += ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups",
                        "--inh-caps=-all"]
        command.append(binary)
        self.log_path = os.path.join(self.folder, "client.log")
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(command, env=env, stdout=log,
                                            stderr=subprocess.STDOUT)
        self.listener.settimeout(20)
        try:
            self.conn, _ = self.listener.accept()
        except socket.timeout:
            self.conn = None

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def reports(self, timeout, quiet=0.6):
        """Every report that arrives until the line has been quiet for `quiet` seconds."""
        data = receive(self.conn, None, timeout=timeout, quiet=quiet)
        word = gbk("计算机信息")
        return [word + part for part in data.split(word) if part]

    def close(self):
        if self.conn is not None:
            self.conn.close()
        self.listener.close()
        if alive(self.process):
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        setns(self.home_ns)
        os.close(self.home_ns)


def expect_report(ws, expected, what, timeout=10):
    got = ws.reports(timeout)
    check(bool(got) and got[-1] == expected, what, "got %r, want %r" % (got, expected))


def expect_line(bed, gateway, dns, what):
    check(wait_for(lambda: bed.gateway() == gateway, 5), what + ": the kernel's default route",
          bed.default_routes())
    check(wait_for(lambda: bed.resolver_servers() == dns, 5),
          what + ": NetworkManager's resolver file", bed.resolver_servers())


def profile_case(display, dhcp):
    kind = "DHCP" if dhcp else "static"
    bed = NmBed(dhcp=dhcp)
    ws = None
    try:
        address = bed.addresses()
        lines = LINE_B + LINE_A + ("" if dhcp else LINE_C_WITH_ADDRESS)
        ws = Workstation(bed, display, lines)
        if not check(ws.conn is not None, "%s: the Client connects" % kind):
            print(ws.log())
            return
        expect_report(ws, report(GATEWAY_A, DNS_A[0], "电信", "0"), "%s: first report" % kind)
        check("networkmanager" in ws.log(), "%s: the Client uses the NetworkManager backend"
              % kind, ws.log())

        # The user's pick in the window.
        check(display.pick_line_and_switch(ws.process.pid, last=False),
              "%s: the window is there" % kind)
        expect_report(ws, report(GATEWAY_B, DNS_B[0], "网通", "0"),
                      "%s: the report after the user's switch" % kind)
        expect_line(bed, GATEWAY_B, DNS_B, "%s: the user's switch" % kind)
        check(bed.addresses() == address, "%s: a line without a local IP keeps the address"
              % kind, bed.addresses())

        # The server's command.
        ws.conn.sendall(gbk("切换%s;%s;%s" % (GATEWAY_A, DNS_A[0], DNS_A[1])))
        expect_report(ws, report(GATEWAY_A, DNS_A[0], "电信", "0"),
                      "%s: the report after the server's switch" % kind)
        expect_line(bed, GATEWAY_A, DNS_A, "%s: the server's switch" % kind)
        ws.conn.sendall(gbk("切换%s;%s;%s" % (GATEWAY_B, DNS_B[0], DNS_B[1])))
        expect_report(ws, report(GATEWAY_B, DNS_B[0], "网通", "0"),
                      "%s: the report after switching back" % kind)

        if dhcp:
            # Renewals keep the running connection, and with it the line. NetworkManager's own
            # client sometimes drops its renewal timer after a transaction restarted by a Reapply
            # and then waits for the lease to run out; the lease is then taken again by hand: a
            # Reapply that changes only a DHCP setting restarts the transaction and keeps the line.
            acks = bed.dhcp_acks()
            if not wait_for(lambda: bed.dhcp_acks() >= acks + 1, 20):
                bed.nmcli("device", "modify", "eth0", "ipv4.dhcp-timeout", "44")
            check(wait_for(lambda: bed.dhcp_acks() >= acks + 1, 20), "DHCP: a renewal",
                  [line for line in bed.log("nm").splitlines() if "dhcp4" in line][-8:])
            expect_line(bed, GATEWAY_B, DNS_B, "DHCP: after the renewals")
            got = ws.reports(1.5)
            check(all(r == report(GATEWAY_B, DNS_B[0], "网通", "0") for r in got),
                  "DHCP: a renewal sends no other line", got)

        # The device goes down and comes back with its stored profile: the line returns.
        bed.reconnect()
        check(wait_for(bed.connected, 15), "%s: the device connects again" % kind)
        time.sleep(1.0)
        expect_line(bed, GATEWAY_B, DNS_B, "%s: after a reconnect" % kind)
        got = ws.reports(5)
        check(not got or got[-1] == report(GATEWAY_B, DNS_B[0], "网通", "0"),
              "%s: the last report after a reconnect names the line" % kind, got)

        if not dhcp:
            # Someone changes the line behind the Client's back: it reports what is in force.
            bed.nmcli("device", "modify", "eth0", "ipv4.gateway", GATEWAY_A, "ipv4.dns",
                      ",".join(DNS_A))
            expect_report(ws, report(GATEWAY_A, DNS_A[0], "电信", "0"),
                          "static: a change behind the Client's back is reported")
            # Last, since the link to the server leaves from the old address.
            display.pick_line_and_switch(ws.process.pid, last=True, from_button=True)
            expect_line(bed, GATEWAY_B, DNS_C, "static: a line with a local IP")
            check(wait_for(lambda: bed.addresses() == [NEW_ADDRESS + "/24"], 5),
                  "static: a line with a local IP puts it (alone) on the adapter",
                  bed.addresses())
        check(alive(ws.process), "%s: the Client still runs" % kind)
    finally:
        if ws is not None:
            if os.environ.get("TORVANE_NM_SHOW_LOG"):
                print(ws.log())
            ws.close()
        bed.close()


def foreign_namespace_case():
    """A Client in another namespace, with an eth0 of its own, reaches the same bus: it must not
    take NetworkManager's eth0 for its own (it would switch another machine's adapter)."""
    bed = NmBed()
    other = bed.ws.replace("-ws", "-other")
    client = None
    try:
        subprocess.run(["ip", "netns", "add", other], check=True)
        for args in (["link", "add", "eth0", "type", "veth", "peer", "name", "other0", "netns",
                      bed.gw],
                     ["addr", "add", WORKSTATION_IP + "/24", "dev", "eth0"],
                     ["link", "set", "eth0", "up"],
                     ["route", "add", "default", "via", GATEWAY_A]):
            subprocess.run(["ip", "-n", other] + args, check=True)
        folder = os.path.join(bed.dir, "other")
        os.makedirs(os.path.join(folder, "config"))
        shutil.copy2(CLIENT_BINARY, os.path.join(folder, "Client"))
        log_path = os.path.join(folder, "client.log")
        env = bed.env({"QT_QPA_PLATFORM": "offscreen",
                       "XDG_CONFIG_HOME": os.path.join(folder, "config")})
        with open(log_path, "wb") as log:
            client = subprocess.Popen(["ip", "netns", "exec", other,
                                       os.path.join(folder, "Client")],
                                      env=env, stdout=log, stderr=subprocess.STDOUT)

        def log_text():
            with open(log_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        wait_for(lambda: "] backend: " in log_text(), 10)
        check("] backend: netlink" in log_text(),
              "another namespace's eth0 is not taken for NetworkManager's", log_text())
    finally:
        if client is not None:
            client.terminate()
            client.wait(5)
        subprocess.run(["ip", "netns", "del", other], capture_output=True)
        bed.close()


def polkit_case(display):
    """NetworkManager asks polkit: a user without the right is refused and nothing changes;
    with the right (a polkit rule) the same unprivileged Client switches."""
    bed = NmBed(polkit=True)
    ws = None
    try:
        nobody = pwd.getpwnam("nobody").pw_uid
        ws = Workstation(bed, display, LINE_A + LINE_B, user=nobody)
        if not check(ws.conn is not None, "polkit: the unprivileged Client connects"):
            print(ws.log())
            return
        expect_report(ws, report(GATEWAY_A, DNS_A[0], "电信", "0"), "polkit: first report")
        ws.conn.sendall(gbk("切换%s;%s;%s" % (GATEWAY_B, DNS_B[0], DNS_B[1])))
        expect_report(ws, report(GATEWAY_A, DNS_A[0], "电信", "0"),
                      "polkit: a refused switch reports the unchanged line")
        check(wait_for(lambda: REFUSED_TEXT in ws.log(), 5),
              "polkit: the refusal is told in plain words", ws.log())
        check(wait_for(lambda: bool(display.windows(ws.process.pid, "程序提示")), 5),
              "polkit: the window shows the refusal in a box")
        time.sleep(0.5)
        check(bed.gateway() == GATEWAY_A, "polkit: a refused switch leaves the route",
              bed.default_routes())
        check(bed.resolver_servers() == DNS_A, "polkit: a refused switch leaves the DNS",
              bed.resolver_servers())

        bed.grant_polkit("nobody")
        time.sleep(1.0)  # polkitd reads its rules folder again
        ws.conn.sendall(gbk("切换%s;%s;%s" % (GATEWAY_B, DNS_B[0], DNS_B[1])))
        expect_report(ws, report(GATEWAY_B, DNS_B[0], "网通", "0"),
                      "polkit: with network-control the unprivileged Client switches")
        expect_line(bed, GATEWAY_B, DNS_B, "polkit: granted switch")
    finally:
        if ws is not None:
            if os.environ.get("TORVANE_NM_SHOW_LOG"):
                print(ws.log())
            ws.close()
        bed.close()


def main():
    global CLIENT_BINARY
    if len(sys.argv) not in (2, 3):
        print("usage: test_networkmanager_e2e.py CLIENT_BINARY [static|dhcp|polkit|foreign]")
        return 2
    only = sys.argv[2] if len(sys.argv) == 3 else None
    CLIENT_BINARY = os.path.abspath(sys.argv[1])
    display = Display()
    try:
        cases = {"static": lambda: profile_case(display, dhcp=False),
                 "dhcp": lambda: profile_case(display, dhcp=True),
                 "polkit": lambda: polkit_case(display),
                 "foreign": foreign_namespace_case}
        for name, case in cases.items():
            if only not in (None, name):
                continue
            try:
                case()
            except Exception as error:  # a bed that cannot be built is a failure, never a skip
                check(False, "bed", error)
    finally:
        display.close()
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


CLIENT_BINARY = None

if __name__ == "__main__":
    sys.exit(main())
