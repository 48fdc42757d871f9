"""A real Client process in a network namespace, with this process playing its server.

Namespace A holds the workstation (eth0 10.77.0.2/24, default route via 10.77.0.1, its own
resolver file); namespace B holds the server end of the veth pair (10.77.0.1 and 10.77.0.254).
After enter_server_side() every socket this process opens lives in B. Everything is created by
the fixture and deleted by close(), also when a check fails.
"""

import ctypes
import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time

CLONE_NEWNET = 0x40000000
WORKSTATION_IP = "10.77.0.2"
SERVER_IP = "10.77.0.1"
OTHER_GATEWAY = "10.77.0.254"
PORT = 15200


def gbk(text):
    return text.encode("gbk")


def run(*args, check=True):
    result = subprocess.run(args, capture_output=True, text=True)
    if check and result.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args), result.stderr.strip()))
    return result.stdout


class ClientNetns:
    def __init__(self, client_binary, prefix="tvcl"):
        if os.geteuid() != 0:
            raise RuntimeError("needs root (network namespaces)")
        self.client_binary = client_binary
        pid = os.getpid()
        self.ns_a = "%s-%d-a" % (prefix, pid)
        self.ns_b = "%s-%d-b" % (prefix, pid)
        self.tmp = tempfile.mkdtemp(prefix="%s-%d-" % (prefix, pid))
        self.processes = []
        self.listener = None
        self._libc = ctypes.CDLL(None, use_errno=True)
        self._home_ns = os.open("/proc/self/ns/net", os.O_RDONLY)
        self._created = []
        try:
            self._build()
        except Exception:
            self.close()
            raise

    # -- namespaces -------------------------------------------------------------------------

    @property
    def resolver_file(self):
        return "/etc/netns/%s/resolv.conf" % self.ns_a

    def _build(self):
        # The resolver file must exist before the first `ip netns exec`, or the host's is used.
        os.makedirs(os.path.dirname(self.resolver_file), exist_ok=True)
        self._created.append("etc")
        self.write_resolver(["10.77.9.1", "10.77.9.2"])
        for ns in (self.ns_a, self.ns_b):
            run("ip", "netns", "add", ns)
            self._created.append(ns)
            run("ip", "-n", ns, "link", "set", "lo", "up")
        run("ip", "-n", self.ns_a, "link", "add", "eth0", "type", "veth", "peer", "name", "eth0",
            "netns", self.ns_b)
        run("ip", "-n", self.ns_a, "addr", "add", WORKSTATION_IP + "/24", "dev", "eth0")
        run("ip", "-n", self.ns_b, "addr", "add", SERVER_IP + "/24", "dev", "eth0")
        run("ip", "-n", self.ns_b, "addr", "add", OTHER_GATEWAY + "/24", "dev", "eth0")
        run("ip", "-n", self.ns_a, "link", "set", "eth0", "up")
        run("ip", "-n", self.ns_b, "link", "set", "eth0", "up")
        run("ip", "-n", self.ns_a, "route", "add", "default", "via", SERVER_IP, "dev", "eth0")

    def write_resolver(self, servers):
        with open(self.resolver_file, "w") as f:
            f.write("".join("nameserver %s\n" % s for s in servers))

    def resolver_servers(self):
        with open(self.resolver_file) as f:
            return [line.split()[1] for line in f if line.startswith("nameserver")]

    def default_routes(self):
        out = run("ip", "-n", self.ns_a, "-4", "route", "show", "default")
        return [line.strip() for line in out.splitlines() if line.strip()]

    def addresses(self):
        out = run("ip", "-n", self.ns_a, "-4", "-o", "addr", "show", "dev", "eth0")
        return [line.split()[3] for line in out.splitlines()]

    def _setns(self, fd):
        if self._libc.setns(fd, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns failed")

    def enter_server_side(self):
        fd = os.open("/var/run/netns/" + self.ns_b, os.O_RDONLY)
        try:
            self._setns(fd)
        finally:
            os.close(fd)

    # -- the Client ---------------------------------------------------------------------------

    def install_client(self, name, line_file_bytes, settings):
        """A copy of the program in its own folder with its own settings folder."""
        folder = os.path.join(self.tmp, name)
        os.makedirs(os.path.join(folder, "bin"))
        os.makedirs(os.path.join(folder, "config"))
        binary = os.path.join(folder, "bin", "Client")
        shutil.copy2(self.client_binary, binary)
        with open(os.path.join(folder, "bin", "MainConfig.dat"), "wb") as f:
            f.write(line_file_bytes)
        with open(os.path.join(folder, "config", "Morlisk.conf"), "w") as f:
            f.write("[General]\n")
            for key, value in settings.items():
                f.write("%s=%s\n" % (key, value))
        for root, dirs, files in os.walk(folder):
            for entry in dirs + files:
                os.chmod(os.path.join(root, entry), 0o777)
        os.chmod(folder, 0o777)
        os.chmod(self.tmp, 0o777)
        return folder

    def start_client(self, folder, as_user=None):
        env = dict(os.environ)
        env["QT_QPA_PLATFORM"] = "offscreen"
        env["XDG_CONFIG_HOME"] = os.path.join(folder, "config")
        env.pop("XDG_RUNTIME_DIR", None)
        command = ["ip", "netns", "exec", self.ns_a]
        if as_user is not None:
            command += ["setpriv", "--reuid=%d" % as_user, "--regid=%d" % as_user,
                        "--clear-groups", "--inh-caps=-all"]
        command.append(os.path.join(folder, "bin", "Client"))
        log = open(os.path.join(folder, "client-%d.log" % len(self.processes)), "wb")
        process = subprocess.Popen(command, env=env, stdout=log, stderr=subprocess.STDOUT)
        process.log_path = log.name
        log.close()
        self.processes.append(process)
        return process

    @staticmethod
    def log_of(process):
        with open(process.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    # -- the server end -----------------------------------------------------------------------

    def listen(self, port=PORT):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("0.0.0.0", port))
        self.listener.listen(16)
        return self.listener

    def stop_listening(self):
        if self.listener is not None:
            self.listener.close()
            self.listener = None

    def accept(self, timeout):
        self.listener.settimeout(timeout)
        try:
            conn, _ = self.listener.accept()
        except socket.timeout:
            return None
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return conn

    # -- teardown -----------------------------------------------------------------------------

    def close(self):
        self.stop_listening()
        for process in self.processes:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        try:
            self._setns(self._home_ns)
        except OSError:
            pass
        for ns in (self.ns_a, self.ns_b):
            if ns in self._created:
                run("ip", "netns", "del", ns, check=False)
        if "etc" in self._created:
            shutil.rmtree(os.path.dirname(self.resolver_file), ignore_errors=True)
        shutil.rmtree(self.tmp, ignore_errors=True)
        self._created = []


def receive(conn, expected_length=None, timeout=5.0, quiet=0.3):
    """Bytes from conn until expected_length arrived, or until `quiet` seconds pass without
    data once something arrived, or until `timeout`."""
    data = b""
    deadline = time.monotonic() + timeout
    while True:
        now = time.monotonic()
        if expected_length is not None and len(data) >= expected_length:
            return data
        if now >= deadline:
            return data
        wait = deadline - now if not data or expected_length else min(quiet, deadline - now)
        readable, _, _ = select.select([conn], [], [], wait)
        if not readable:
            if data and expected_length is None:
                return data
            continue
        chunk = conn.recv(65536)
        if not chunk:
            return data
        data += chunk


def report(gateway, dns, line_name, update="1"):
    return gbk("计算机信息%s; %s;%s;%s" % (gateway, dns, line_name, update))
