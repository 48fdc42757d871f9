"""Two carriers' lines for the health, rollback and failover tests, in network namespaces.

    PREFIX-lan   bridge br0 joining everyone on 10.77.0.0/24
    PREFIX-gwa   line A's gateway 10.77.0.1, its DNS server 10.77.9.1 behind it
    PREFIX-gwb   line B's gateway 10.77.0.254, its DNS server 10.77.8.1 behind it
    PREFIX-adm   the administrator's host 10.77.0.2 (the Server, or the test playing it)
    PREFIX-wsK   workstation K, 10.77.0.(10+K), on a line by its default route and resolver file

A DNS server answers only through its own gateway (its address lives in the gateway's namespace),
so a line's DNS works exactly when the workstation's route goes through that line. drop(line)
makes a line's gateway stop answering (an nftables rule in its namespace drops everything it
receives, ARP aside, as a dead uplink behind a live router port would); restore(line) undoes it.
Nothing here touches the host's network: every link and rule is made inside the namespaces, and
close() deletes them all, also when a check fails.

Usage as a script: healthbed.py dns ADDRESS (the DNS responder, run inside a gateway namespace).
"""

import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

ADMIN_IP = "10.77.0.2"
LINES = {
    "A": {"gateway": "10.77.0.1", "dns": ["10.77.9.1", "10.77.9.2"], "ns": "gwa"},
    "B": {"gateway": "10.77.0.254", "dns": ["10.77.8.1", "10.77.8.2"], "ns": "gwb"},
}
ANSWER = "10.77.100.1"  # what every name resolves to


def run(*args, check=True):
    result = subprocess.run(args, capture_output=True, text=True)
    if check and result.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args), result.stderr.strip()))
    return result.stdout


def wait_for(predicate, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def workstation_ip(k):
    return "10.77.0.%d" % (10 + k)


class HealthBed:
    def __init__(self, workstations, prefix="tvhl"):
        if os.geteuid() != 0:
            raise RuntimeError("needs root (network namespaces)")
        for tool in ("nft", "ip"):
            if shutil.which(tool) is None:
                raise RuntimeError("%s is missing: run scripts/install-deps" % tool)
        self.prefix = "%s-%d" % (prefix, os.getpid())
        self.tmp = tempfile.mkdtemp(prefix=self.prefix + "-")
        os.chmod(self.tmp, 0o755)
        self.namespaces = []
        self.processes = []
        self.workstations = workstations
        try:
            self._build()
        except Exception:
            self.close()
            raise

    def ns(self, name):
        return "%s-%s" % (self.prefix, name)

    def _add_ns(self, name):
        ns = self.ns(name)
        run("ip", "netns", "add", ns)
        self.namespaces.append(ns)
        run("ip", "-n", ns, "link", "set", "lo", "up")
        return ns

    def _attach(self, name, port, address):
        ns = self._add_ns(name)
        run("ip", "link", "add", "name", "eth0", "netns", ns, "type", "veth", "peer", "name",
            port, "netns", self.ns("lan"))
        run("ip", "-n", self.ns("lan"), "link", "set", port, "master", "br0", "up")
        run("ip", "-n", ns, "addr", "add", address + "/24", "dev", "eth0")
        run("ip", "-n", ns, "link", "set", "eth0", "up")
        return ns

    def _build(self):
        lan = self._add_ns("lan")
        run("ip", "-n", lan, "link", "add", "br0", "type", "bridge")
        run("ip", "-n", lan, "link", "set", "br0", "up")
        for key, line in LINES.items():
            ns = self._attach(line["ns"], "p" + line["ns"], line["gateway"])
            for dns in line["dns"]:
                run("ip", "-n", ns, "addr", "add", dns + "/32", "dev", "lo")
            # Only the primary answers: a secondary that works would hide a dead primary.
            self.processes.append(subprocess.Popen(
                ["ip", "netns", "exec", ns, sys.executable, os.path.abspath(__file__), "dns",
                 line["dns"][0]], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        self._attach("adm", "padm", ADMIN_IP)
        for k in range(1, self.workstations + 1):
            # The resolver file must exist before any `ip netns exec`, or the host's is used.
            os.makedirs("/etc/netns/" + self.ns("ws%d" % k), exist_ok=True)
            self.set_line(k, None)
            self._attach("ws%d" % k, "pws%d" % k, workstation_ip(k))
        for line in LINES.values():
            if not wait_for(lambda: self.answers_dns(line["dns"][0]), 10):
                raise RuntimeError("the DNS responder of %s did not start" % line["dns"][0])

    # -- the lines ----------------------------------------------------------------------------

    def answers_dns(self, server):
        """Whether the responder answers on its own namespace's loopback (no line involved)."""
        ns = [v["ns"] for v in LINES.values() if server in v["dns"]][0]
        out = run("ip", "netns", "exec", self.ns(ns), sys.executable, "-c",
                  "import socket,sys;s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);"
                  "s.settimeout(0.5);s.sendto(bytes.fromhex(sys.argv[2]),(sys.argv[1],53));"
                  "print(len(s.recv(512)))", server, query("probe.test").hex(), check=False)
        return out.strip().isdigit()

    def set_line(self, k, key):
        ns = self.ns("ws%d" % k)
        with open("/etc/netns/%s/resolv.conf" % ns, "w") as f:
            if key:
                f.write("".join("nameserver %s\n" % d for d in LINES[key]["dns"]))
        if key:
            run("ip", "-n", ns, "route", "replace", "default", "via", LINES[key]["gateway"],
                "dev", "eth0")

    def gateway_of(self, k):
        out = run("ip", "-n", self.ns("ws%d" % k), "-4", "route", "show", "default")
        words = out.split()
        return words[words.index("via") + 1] if "via" in words else None

    def resolver_of(self, k):
        try:
            with open("/etc/netns/%s/resolv.conf" % self.ns("ws%d" % k)) as f:
                return [l.split()[1] for l in f if l.startswith("nameserver")]
        except OSError:
            return None

    def line_of(self, k):
        """A or B when the workstation's route and first DNS server are one line's, else None."""
        gateway, resolver = self.gateway_of(k), self.resolver_of(k) or [None]
        for key, line in LINES.items():
            if gateway == line["gateway"] and resolver[0] == line["dns"][0]:
                return key
        return None

    def drop(self, key):
        ns = self.ns(LINES[key]["ns"])
        run("ip", "netns", "exec", ns, "nft", "add table inet torvane_test")
        run("ip", "netns", "exec", ns, "nft",
            "add chain inet torvane_test input { type filter hook input priority 0; policy drop; }")

    def restore(self, key):
        run("ip", "netns", "exec", self.ns(LINES[key]["ns"]), "nft",
            "delete table inet torvane_test", check=False)

    # -- programs -----------------------------------------------------------------------------

    def install(self, name, binary, line_file_bytes, settings):
        """A copy of a program in its own folder, MainConfig.dat beside it, its own settings."""
        folder = os.path.join(self.tmp, name)
        os.makedirs(os.path.join(folder, "config"))
        shutil.copy2(binary, folder)
        with open(os.path.join(folder, "MainConfig.dat"), "wb") as f:
            f.write(line_file_bytes)
        with open(os.path.join(folder, "config", "Morlisk.conf"), "w") as f:
            f.write("[General]\n")
            for key, value in settings.items():
                f.write("%s=%s\n" % (key, value))
        return folder

    def start(self, ns_name, folder, program):
        runtime = os.path.join(folder, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen",
                   XDG_CONFIG_HOME=os.path.join(folder, "config"), XDG_RUNTIME_DIR=runtime,
                   QT_LOGGING_RULES="torvane.*.debug=true")
        log = open(os.path.join(folder, "program.log"), "wb")
        process = subprocess.Popen(["ip", "netns", "exec", self.ns(ns_name),
                                    os.path.join(folder, program)],
                                   env=env, stdout=log, stderr=subprocess.STDOUT)
        process.log_path = log.name
        log.close()
        self.processes.append(process)
        return process

    @staticmethod
    def log_of(process):
        with open(process.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def close(self):
        for process in self.processes:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
        for process in self.processes:
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        for ns in reversed(self.namespaces):
            run("ip", "netns", "pids", ns, check=False)
            for pid in run("ip", "netns", "pids", ns, check=False).split():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (ProcessLookupError, ValueError):
                    pass
            run("ip", "netns", "del", ns, check=False)
            shutil.rmtree("/etc/netns/" + ns, ignore_errors=True)
        self.namespaces = []
        shutil.rmtree(self.tmp, ignore_errors=True)


# -- a DNS responder: every A question gets ANSWER --------------------------------------------

def query(name, ident=0x1234):
    question = b"".join(bytes([len(p)]) + p.encode() for p in name.split(".")) + b"\0"
    return struct.pack(">HHHHHH", ident, 0x0100, 1, 0, 0, 0) + question + struct.pack(">HH", 1, 1)


def answer(request):
    if len(request) < 12:
        return None
    ident, flags, qdcount = struct.unpack(">HHH", request[:6])
    if flags & 0x8000 or qdcount != 1:
        return None
    end = 12
    while end < len(request) and request[end] != 0:
        end += 1 + request[end]
    question = request[12:end + 5]
    if len(question) < 5:
        return None
    record = struct.pack(">HHHIH", 0xC00C, 1, 1, 60, 4) + socket.inet_aton(ANSWER)
    return struct.pack(">HHHHHH", ident, 0x8180, 1, 1, 0, 0) + question + record


def serve_dns(address):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((address, 53))
    while True:
        data, peer = sock.recvfrom(512)
        reply = answer(data)
        if reply:
            sock.sendto(reply, peer)


if __name__ == "__main__" and len(sys.argv) == 3 and sys.argv[1] == "dns":
    serve_dns(sys.argv[2])
