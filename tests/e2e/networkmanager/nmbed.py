"""A real NetworkManager managing a workstation's adapter, for tests, without touching the host.

Two network namespaces joined by a veth pair: WS, the workstation (eth0), and GW, the carriers'
side (eth0 with 10.77.0.1 and 10.77.0.254, and a DHCP server when asked for). A private
"system" bus (dbus-daemon on a socket in the bed's folder) carries NetworkManager, polkitd when
asked for, and the programs under test, which find it through DBUS_SYSTEM_BUS_ADDRESS.
NetworkManager runs inside WS and a private mount namespace: an overlay over /etc (the resolver
file it writes stays in the overlay; the bed reads it through /proc/PID/root), private folders
over its own state, a private /run, and a read-only /sys so it does not wait for udev.
Everything is made by the bed and removed by close(), also when a check fails.

Usage as a script (a bed to look at by hand): nmbed.py static|dhcp [--polkit]
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from busconfig import system_bus_config  # noqa: E402

WORKSTATION_IP = "10.77.0.10"
GATEWAY_A = "10.77.0.1"
GATEWAY_B = "10.77.0.254"
DHCP_RANGE = ("10.77.0.100", "10.77.0.150")
PROFILE = "torvane-test"
DNS_A = ["10.77.9.1", "10.77.9.2"]


NM_CONFIG = """[main]
plugins=keyfile
dns=default
rc-manager=file
auth-polkit={polkit}
no-auto-default=*
hostname-mode=none

[logging]
level=INFO

[connectivity]
enabled=false

[device-torvane-test]
match-device=interface-name:eth0
managed=1
"""

# Runs inside WS and a fresh mount namespace, then becomes NetworkManager.
NM_LAUNCHER = """set -e
mount --make-rprivate /
# The overlay's own folders on a tmpfs: an upper folder on another overlay (a container's /tmp)
# is refused.
mount -t tmpfs tmpfs {dir}/etc-overlay
mkdir {dir}/etc-overlay/upper {dir}/etc-overlay/work
mount -t overlay overlay \
    -o lowerdir=/etc,upperdir={dir}/etc-overlay/upper,workdir={dir}/etc-overlay/work /etc
mount --bind {dir}/nm-etc /etc/NetworkManager
mkdir -p /var/lib/NetworkManager
mount --bind {dir}/nm-lib /var/lib/NetworkManager
mount -t tmpfs tmpfs /run
mkdir -p /run/NetworkManager /run/dbus
mount -o remount,bind,ro /sys
exec NetworkManager --no-daemon --debug --config={dir}/NetworkManager.conf \\
    --config-dir={dir}/nm-conf.d --system-config-dir={dir}/nm-empty \\
    --intern-config={dir}/nm-intern.conf --state-file={dir}/nm.state --pid-file={dir}/nm.pid
"""

# polkitd on the bus, with a rules folder of its own (only polkitd's mount namespace sees it).
POLKIT_LAUNCHER = """set -e
mount --make-rprivate /
mkdir -p {dir}/polkit-rules
mount --bind {dir}/polkit-rules /etc/polkit-1/rules.d
mount --bind {dir}/polkit-rules /usr/share/polkit-1/rules.d
exec /usr/lib/polkit-1/polkitd --no-debug
"""


def run(*args, check=True, env=None):
    result = subprocess.run(args, capture_output=True, text=True, env=env)
    if check and result.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args), result.stderr.strip()))
    return result.stdout


def alive(process):
    """Running and not a zombie (a reaped child's state in /proc is the sure answer)."""
    if process.poll() is not None:
        return False
    try:
        with open("/proc/%d/stat" % process.pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def wait_for(predicate, timeout, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class NmBed:
    def __init__(self, dhcp=False, polkit=False, prefix="tvnm"):
        if os.geteuid() != 0:
            raise RuntimeError("needs root (network namespaces, mounts)")
        for tool in ("NetworkManager", "nmcli", "dbus-daemon", "dbus-send", "unshare", "ip"):
            if shutil.which(tool) is None:
                raise RuntimeError("%s is missing: run scripts/install-deps" % tool)
        if dhcp and shutil.which("dnsmasq") is None:
            raise RuntimeError("dnsmasq is missing: run scripts/install-deps")
        if polkit and not os.path.exists("/usr/lib/polkit-1/polkitd"):
            raise RuntimeError("polkitd is missing: run scripts/install-deps")
        self.dhcp = dhcp
        self.polkit = polkit
        pid = os.getpid()
        self.ws = "%s-%d-ws" % (prefix, pid)
        self.gw = "%s-%d-gw" % (prefix, pid)
        self.dir = tempfile.mkdtemp(prefix="%s-%d-" % (prefix, pid))
        os.chmod(self.dir, 0o755)
        self.socket = os.path.join(self.dir, "system_bus_socket")
        self.bus_address = "unix:path=" + self.socket
        self.processes = {}
        self.logs = {}
        self._namespaces = []
        try:
            self._build()
        except Exception:
            self.close()
            raise

    # -- set-up -----------------------------------------------------------------------------

    def _path(self, *parts):
        return os.path.join(self.dir, *parts)

    def _write(self, relative, text, mode=0o644):
        path = self._path(relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def _start(self, name, command, env=None):
        log = open(self._path(name + ".log"), "wb")
        process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, env=env,
                                   start_new_session=True)
        log.close()
        self.processes[name] = process
        self.logs[name] = self._path(name + ".log")
        return process

    def _build(self):
        for ns in (self.ws, self.gw):
            run("ip", "netns", "add", ns)
            self._namespaces.append(ns)
            run("ip", "-n", ns, "link", "set", "lo", "up")
        run("ip", "-n", self.ws, "link", "add", "eth0", "type", "veth", "peer", "name", "eth0",
            "netns", self.gw)
        run("ip", "-n", self.gw, "addr", "add", GATEWAY_A + "/24", "dev", "eth0")
        run("ip", "-n", self.gw, "addr", "add", GATEWAY_B + "/24", "dev", "eth0")
        run("ip", "-n", self.gw, "link", "set", "eth0", "up")

        self._write("dbus.conf", system_bus_config(self.socket))
        bus = self._start("dbus", ["dbus-daemon", "--config-file=" + self._path("dbus.conf"),
                                   "--nofork", "--nopidfile"])
        if not wait_for(lambda: os.path.exists(self.socket) or not alive(bus), 10):
            raise RuntimeError("the private bus did not start")
        os.chmod(self.socket, 0o777)

        if self.polkit:
            self._write("polkit-launcher.sh", POLKIT_LAUNCHER.format(dir=self.dir))
            os.makedirs(self._path("polkit-rules"), exist_ok=True)
            os.chmod(self._path("polkit-rules"), 0o755)
            self._start("polkitd", ["unshare", "-m", "--propagation", "private", "sh",
                                    self._path("polkit-launcher.sh")], env=self.env())
            if not wait_for(lambda: self.name_owned("org.freedesktop.PolicyKit1"), 15):
                raise RuntimeError("polkitd did not start: " + self.log("polkitd"))

        if self.dhcp:
            self._start("dnsmasq", [
                "ip", "netns", "exec", self.gw, "dnsmasq", "--no-daemon", "--port=0",
                "--no-resolv", "--no-hosts", "--log-dhcp", "--interface=eth0",
                "--bind-interfaces", "--conf-file=/dev/null",
                "--dhcp-range=%s,%s,255.255.255.0,2m" % DHCP_RANGE,
                "--dhcp-option=option:router," + GATEWAY_A,
                "--dhcp-option=option:dns-server," + ",".join(DNS_A),
                # Renewals every few seconds, so a test sees some (the lease itself cannot be
                # shorter than two minutes).
                "--dhcp-option=option:T1,4", "--dhcp-option=option:T2,6",
                "--dhcp-leasefile=" + self._path("dnsmasq.leases"),
                "--pid-file=" + self._path("dnsmasq.pid")])

        for folder in ("etc-overlay", "nm-etc/system-connections", "nm-lib",
                       "nm-conf.d", "nm-empty"):
            os.makedirs(self._path(folder), exist_ok=True)
        self._write("NetworkManager.conf",
                    NM_CONFIG.format(polkit="true" if self.polkit else "false"))
        if self.dhcp:
            ipv4 = "method=auto\n"
        else:
            ipv4 = "method=manual\naddress1=%s/24,%s\ndns=%s;\n" % (
                WORKSTATION_IP, GATEWAY_A, ";".join(DNS_A))
        self._write("nm-etc/system-connections/%s.nmconnection" % PROFILE, textwrap.dedent("""\
            [connection]
            id={id}
            type=ethernet
            interface-name=eth0
            autoconnect=true

            [ipv4]
            {ipv4}
            [ipv6]
            method=disabled
            """).format(id=PROFILE, ipv4=ipv4), mode=0o600)
        self._write("nm-launcher.sh", NM_LAUNCHER.format(dir=self.dir))
        self._start("nm", ["ip", "netns", "exec", self.ws, "unshare", "-m", "-u",
                           "--propagation", "private", "sh", self._path("nm-launcher.sh")],
                    env=self.env())
        if not wait_for(self.connected, 30, 0.05):
            raise RuntimeError("NetworkManager did not connect eth0:\n" + self.log("nm"))
        if not wait_for(lambda: bool(self.default_routes()), 15):
            raise RuntimeError("eth0 got no default route:\n" + self.log("nm"))

    # -- what the tests look at ---------------------------------------------------------------

    def env(self, extra=None):
        env = dict(os.environ)
        env["DBUS_SYSTEM_BUS_ADDRESS"] = self.bus_address
        env.update(extra or {})
        return env

    def log(self, name):
        try:
            with open(self.logs[name], "rb") as f:
                return f.read().decode("utf-8", "replace")
        except (KeyError, OSError):
            return ""

    def name_owned(self, name):
        out = subprocess.run(["dbus-send", "--bus=" + self.bus_address, "--print-reply",
                              "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus.NameHasOwner", "string:" + name],
                             capture_output=True, text=True)
        return "boolean true" in out.stdout

    def nmcli(self, *args, check=True):
        return run("nmcli", *args, check=check, env=self.env())

    def connected(self):
        if not alive(self.processes["nm"]):
            raise RuntimeError("NetworkManager ended:\n" + self.log("nm"))
        out = self.nmcli("-t", "-f", "DEVICE,STATE", "device", check=False)
        return "eth0:connected" in out.splitlines()

    def default_routes(self):
        out = run("ip", "-n", self.ws, "-4", "route", "show", "default")
        return [line.strip() for line in out.splitlines() if line.strip()]

    def gateway(self):
        routes = self.default_routes()
        if len(routes) != 1:
            return None
        words = routes[0].split()
        return words[words.index("via") + 1] if "via" in words else None

    def addresses(self):
        out = run("ip", "-n", self.ws, "-4", "-o", "addr", "show", "dev", "eth0")
        return [line.split()[3] for line in out.splitlines()]

    def resolver_servers(self):
        """The name servers of the resolver file NetworkManager wrote (in its overlay, seen
        through its own root)."""
        try:
            with open("/proc/%d/root/etc/resolv.conf" % self.processes["nm"].pid) as f:
                return [line.split()[1] for line in f if line.startswith("nameserver")]
        except OSError:
            return None

    def dhcp_acks(self):
        return self.log("dnsmasq").count("DHCPACK(eth0)")

    def reconnect(self):
        """The device goes down and comes back with its stored profile."""
        self.nmcli("device", "disconnect", "eth0")
        self.nmcli("device", "connect", "eth0")

    def grant_polkit(self, user, action="org.freedesktop.NetworkManager.network-control"):
        self._write("polkit-rules/50-torvane-test.rules", textwrap.dedent("""\
            polkit.addRule(function(action, subject) {
                if (action.id == "%s" && subject.user == "%s")
                    return polkit.Result.YES;
            });
            """ % (action, user)))

    # -- teardown -----------------------------------------------------------------------------

    def close(self):
        for name in ("nm", "dnsmasq", "polkitd", "dbus"):
            process = self.processes.get(name)
            if process is None or process.poll() is not None:
                continue
            try:
                os.killpg(process.pid, signal.SIGTERM)
            except OSError:
                pass
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        for ns in self._namespaces:
            run("ip", "netns", "pids", ns, check=False)
            for pid in run("ip", "netns", "pids", ns, check=False).split():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (OSError, ValueError):
                    pass
            run("ip", "netns", "del", ns, check=False)
        self._namespaces = []
        shutil.rmtree(self.dir, ignore_errors=True)


if __name__ == "__main__":
    bed = NmBed(dhcp="dhcp" in sys.argv[1:], polkit="--polkit" in sys.argv[1:])
    try:
        print("bus: DBUS_SYSTEM_BUS_ADDRESS=%s" % bed.bus_address)
        print("workstation namespace: %s, routes %s, addresses %s, resolver %s" % (
            bed.ws, bed.default_routes(), bed.addresses(), bed.resolver_servers()))
        print("folder: %s; Ctrl-C ends the bed" % bed.dir)
        signal.pause()
    except KeyboardInterrupt:
        pass
    finally:
        bed.close()
