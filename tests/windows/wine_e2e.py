#!/usr/bin/env python3
"""Server.exe and Client.exe under Wine on loopback, each in a Wine prefix of its own (two
machines), with their registry values and MainConfig.dat in place.

1. Server.exe against this test playing a Client: the line-list update is "更新" and the file's
   bytes exactly, sent only to a report whose U is 1; garbage gets nothing.
2. Client.exe -> relay -> Server.exe: the relay records both directions. The Client's report is
   well formed and names the line of its gateway (the Linux Client's format); the Server answers
   with exactly its file, which the Client then holds byte for byte as its MainConfig.dat.

Usage: wine_e2e.py Client.exe Server.exe TEMPLATE_PREFIX
"""

import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPTS = os.path.join(HERE, "..", "..", "scripts")


def gbk(text):
    return text.encode("gbk")


SERVER_FILE = gbk("电信;;;127.0.0.1;10.77.9.1;10.77.9.2;\r\n"
                  "网通;;;10.77.0.254;10.77.9.3;;\r\n")
CLIENT_FILE = gbk("旧线路;;;10.1.1.1;10.1.1.53;;\r\n")
REPORT_WORD = gbk("计算机信息")
UPDATE_WORD = gbk("更新")

failures = []
passes = []


def check(condition, what, detail=""):
    print("%s: %s%s" % ("PASS" if condition else "FAIL", what,
                        "" if condition or not detail else " -- " + str(detail)), flush=True)
    (passes if condition else failures).append(what)
    return condition


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def receive(conn, timeout, quiet=0.5):
    """Bytes until `quiet` seconds pass without data once some came, or until `timeout`."""
    data = b""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        wait = min(quiet, deadline - time.monotonic()) if data else deadline - time.monotonic()
        readable, _, _ = select.select([conn], [], [], max(wait, 0))
        if not readable:
            if data:
                break
            continue
        chunk = conn.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


def read_file(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


class Machine:
    """A Wine prefix with one program in C:\\Torvane, its MainConfig.dat and registry values."""

    def __init__(self, name, template, program, line_file, settings, tmp):
        self.prefix = os.path.join(tmp, name)
        subprocess.run([os.path.join(SCRIPTS, "wine-prefix"), template, self.prefix], check=True)
        self.folder = os.path.join(self.prefix, "drive_c", "Torvane")
        os.makedirs(self.folder)
        self.program = os.path.join(self.folder, os.path.basename(program))
        shutil.copy2(program, self.program)
        self.line_file = os.path.join(self.folder, "MainConfig.dat")
        with open(self.line_file, "wb") as f:
            f.write(line_file)
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml=",
                        WINEQT_QPA_PLATFORM="offscreen")
        self.env.pop("DISPLAY", None)
        reg = os.path.join(tmp, name + ".reg")
        with open(reg, "w", encoding="utf-16") as f:
            f.write("Windows Registry Editor Version 5.00\r\n\r\n"
                    "[HKEY_CURRENT_USER\\SoftWare\\Morlisk]\r\n")
            for key, value in settings.items():
                f.write('"%s"="%s"\r\n' % (key, value))
        subprocess.run(["wine", "regedit", "/S", "Z:" + reg.replace("/", "\\")], env=self.env,
                       check=True, timeout=120, capture_output=True)
        self.process = None
        self.log = os.path.join(tmp, name + ".log")

    def start(self):
        self.process = subprocess.Popen(["wine", self.program], env=self.env,
                                        stdout=open(self.log, "wb"), stderr=subprocess.STDOUT)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True)

    def log_text(self):
        return (read_file(self.log) or b"").decode("utf-8", "replace")[-3000:]


def connect(port, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=2)
        except OSError:
            time.sleep(0.2)
    return None


def server_alone(server, port):
    conn = connect(port, 60)
    if not check(conn is not None, "Server.exe listens on FwqDk", server.log_text()):
        return
    with conn:
        conn.sendall(REPORT_WORD + gbk("127.0.0.1; 10.77.9.1;电信;1"))
        got = receive(conn, 10)
        check(got == UPDATE_WORD + SERVER_FILE,
              "Server.exe answers a report with U=1 with its file byte for byte", repr(got))
        conn.sendall(REPORT_WORD + gbk("127.0.0.1; 10.77.9.1;电信;0"))
        check(receive(conn, 1.5) == b"", "a report with U=0 gets no update")
        conn.sendall(b"\xff\xfe garbage;;" + REPORT_WORD + gbk("1.2.3.4; x"))
        check(receive(conn, 1.5) == b"", "garbage and a short report get nothing")
    # What the garbage left pending stays with that connection; a new one starts clean.
    conn = connect(port, 10)
    with conn:
        conn.sendall(REPORT_WORD + gbk("10.77.0.254; 10.77.9.3;网通;01"))
        check(receive(conn, 1.5) == b"", "U=01 is not U=1: no update")


class Relay:
    """Listens on one port, connects each accepted connection to the Server, records both ways."""

    def __init__(self, listen_port, server_port):
        self.server_port = server_port
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", listen_port))
        self.listener.listen(4)
        self.to_server = b""
        self.to_client = b""
        self.connections = 0
        self.stopped = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        self.listener.settimeout(0.2)
        while not self.stopped:
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            upstream = connect(self.server_port, 10)
            if upstream is None:
                client.close()
                continue
            self.connections += 1
            self.pump(client, upstream)

    def pump(self, client, upstream):
        with client, upstream:
            while not self.stopped:
                readable, _, _ = select.select([client, upstream], [], [], 0.2)
                for source in readable:
                    data = source.recv(65536)
                    if not data:
                        return
                    if source is client:
                        self.to_server += data
                        upstream.sendall(data)
                    else:
                        self.to_client += data
                        client.sendall(data)

    def stop(self):
        self.stopped = True
        self.thread.join(5)
        self.listener.close()


def parse_report(data):
    """(gateway, dns, name, update) of one report in the Linux Client's format, or None."""
    if not data.startswith(REPORT_WORD):
        return None
    match = re.fullmatch(r"([0-9.]*); ([0-9.]*);([^;]*);(1)", data[len(REPORT_WORD):].decode("gbk"))
    return match.groups() if match else None


def client_through_relay(client, relay):
    check(wait_for(lambda: relay.connections >= 1, 60), "Client.exe connects to FwqIp:FwqDk",
          client.log_text())
    check(wait_for(lambda: relay.to_client.startswith(UPDATE_WORD) and
                   len(relay.to_client) >= len(UPDATE_WORD + SERVER_FILE), 30),
          "the Server answers the Client's report", repr(relay.to_server))
    first = relay.to_server
    report = parse_report(first)
    names = {}  # gateway -> line name, as the Client's list had them when it reported
    for line in CLIENT_FILE.decode("gbk").split("\r\n"):
        if line:
            fields = line.split(";")
            names[fields[3]] = fields[0]
    check(report is not None, "Client.exe's report has the Linux Client's shape", repr(first))
    if report:
        gateway, _, name, _ = report
        check(name == names.get(gateway, ""),
              "the report names the line of its gateway (or none)", repr(report))
    check(relay.to_client == UPDATE_WORD + SERVER_FILE,
          "Server.exe's update reaches Client.exe byte for byte", repr(relay.to_client))
    check(wait_for(lambda: read_file(client.line_file) == SERVER_FILE, 15),
          "Client.exe holds the Server's file as MainConfig.dat byte for byte",
          read_file(client.line_file))


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    client_exe, server_exe, template = sys.argv[1:]
    tmp = tempfile.mkdtemp(prefix="torvane-wine-e2e-")
    machines = []
    relay = None
    try:
        server_port = free_port()
        relay_port = free_port()
        server = Machine("server", template, server_exe, SERVER_FILE,
                         {"FwqDk": str(server_port), "GengXin": "1", "QiQiu": "0"}, tmp)
        machines.append(server)
        client = Machine("client", template, client_exe, CLIENT_FILE,
                         {"FwqIp": "127.0.0.1", "FwqDk": str(relay_port), "GengXin": "1"}, tmp)
        machines.append(client)
        server.start()
        server_alone(server, server_port)
        relay = Relay(relay_port, server_port)
        client.start()
        client_through_relay(client, relay)
        check(server.process.poll() is None and client.process.poll() is None,
              "both programs are still running")
    finally:
        if relay:
            relay.stop()
        for machine in machines:
            machine.stop()
        shutil.rmtree(tmp, ignore_errors=True)
    print("%d passed, %d failed" % (len(passes), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
