"""A private system bus for the switching service's tests, and the daemons on it.

Nothing here touches the machine's own bus, polkit or resolver: the bus listens on a socket in a
temporary folder (every client finds it through DBUS_SYSTEM_BUS_ADDRESS), polkitd and
systemd-resolved run in private mount namespaces whose bind mounts only they see, and the
switching service runs inside the workstation's network namespace.
"""

import json
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from busconfig import system_bus_config  # noqa: E402

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
PACKAGING = os.path.join(SOURCE_DIR, "packaging")
BUS_NAME = "org.torvane.Switch1"
OBJECT_PATH = "/org/torvane/Switch1"
ALLOWED_USER = "nobody"    # granted by the test's polkit rule
REFUSED_USER = "daemon"    # no rule, no session: polkit's answer is no
RESOLVED_UID = 64991  # the user systemd-resolved drops to, known only in its namespace
RESOLVED_CACHE = os.path.expanduser("~/.cache/torvane/systemd-resolved")


POLKIT_RULE = """polkit.addRule(function(action, subject) {
    if (action.id == "org.torvane.switch-line" && subject.user == "%s")
        return polkit.Result.YES;
});
""" % ALLOWED_USER


def uid_of(name):
    return pwd.getpwnam(name).pw_uid


def as_user(name):
    """Command prefix that runs a program as NAME with no capabilities and no groups."""
    entry = pwd.getpwnam(name)
    return ["setpriv", "--reuid=%d" % entry.pw_uid, "--regid=%d" % entry.pw_gid,
            "--clear-groups", "--inh-caps=-all"]


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def resolved_root():
    """systemd-resolved unpacked from the archive's package of the installed systemd version,
    never installed: its install script would make the machine's resolver file a link."""
    version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "libsystemd-shared"],
                             capture_output=True, text=True, check=True).stdout.strip()
    root = os.path.join(RESOLVED_CACHE, version)
    if os.path.exists(os.path.join(root, "lib/systemd/systemd-resolved")):
        return root
    download = tempfile.mkdtemp(prefix="tvresolved-")
    try:
        os.chmod(download, 0o777)  # apt's download user writes here
        subprocess.run(["apt-get", "download", "-q", "systemd-resolved=" + version],
                       cwd=download, check=True, capture_output=True)
        debs = [f for f in os.listdir(download) if f.endswith(".deb")]
        os.makedirs(root, exist_ok=True)
        subprocess.run(["dpkg-deb", "-x", os.path.join(download, debs[0]), root], check=True)
    finally:
        shutil.rmtree(download, ignore_errors=True)
    return root


class PrivateBus:
    def __init__(self, with_resolved_policy=None):
        self.tmp = tempfile.mkdtemp(prefix="tvbus-")
        os.chmod(self.tmp, 0o755)
        self.socket = os.path.join(self.tmp, "system_bus_socket")
        self.address = "unix:path=" + self.socket
        self.processes = {}
        extra = ""
        if with_resolved_policy:
            extra = "<include>%s</include>" % with_resolved_policy
        config = os.path.join(self.tmp, "bus.conf")
        with open(config, "w") as f:
            policy = os.path.join(PACKAGING, "org.torvane.Switch1.conf")
            f.write(system_bus_config(self.socket, "<include>%s</include>\n  %s" % (policy, extra)))
        # The bus runs with resolved's user added to an /etc of its own, so that resolved's bus
        # policy, which names that user, applies; the machine's /etc stays as it is.
        self.start("bus", ["unshare", "-m", "--propagation", "private", "sh", "-c",
                           self._etc_with_resolved_user("bus") +
                           "exec dbus-daemon --config-file=%s --nofork --nopidfile" % config])
        if not wait_for(lambda: os.path.exists(self.socket), 10):
            raise RuntimeError("the private bus did not start: " + self.log("bus"))
        os.chmod(self.socket, 0o777)

    def _etc_with_resolved_user(self, name):
        upper = os.path.join(self.tmp, name + "-etc-upper")
        work = os.path.join(self.tmp, name + "-etc-work")
        os.makedirs(upper)
        os.makedirs(work)
        return """set -e
mount -t overlay overlay -o lowerdir=/etc,upperdir={upper},workdir={work} /etc
getent passwd systemd-resolve >/dev/null || echo 'systemd-resolve:x:{uid}:{uid}::/run/systemd/resolve:/usr/sbin/nologin' >>/etc/passwd
getent group systemd-resolve >/dev/null || echo 'systemd-resolve:x:{uid}:' >>/etc/group
""".format(upper=upper, work=work, uid=RESOLVED_UID)

    def env(self, **extra):
        env = dict(os.environ)
        env["DBUS_SYSTEM_BUS_ADDRESS"] = self.address
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        env.update(extra)
        return env

    def start(self, name, command, env=None):
        log = open(os.path.join(self.tmp, name + ".log"), "wb")
        process = subprocess.Popen(command, env=env or self.env(), stdout=log,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        log.close()
        self.processes[name] = process
        return process

    def log(self, name):
        try:
            with open(os.path.join(self.tmp, name + ".log"), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def stop(self, name):
        process = self.processes.pop(name, None)
        if process is None or process.poll() is not None:
            return
        os.killpg(process.pid, signal.SIGTERM)
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()

    def owner(self, name):
        """The unique name that owns NAME on the bus, or None."""
        result = subprocess.run(["busctl", "--address=" + self.address, "call",
                                 "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus", "GetNameOwner", "s", name],
                                capture_output=True, text=True)
        return result.stdout.split()[1].strip('"') if result.returncode == 0 else None

    def start_polkit(self):
        """polkitd as root in a mount namespace of its own, where the program's action file and
        the test's rule (the allowed user may switch) are installed."""
        actions = os.path.join(self.tmp, "polkit-actions")
        rules = os.path.join(self.tmp, "polkit-rules")
        shutil.copytree("/usr/share/polkit-1/actions", actions)
        shutil.copy(os.path.join(PACKAGING, "org.torvane.Switch1.policy"), actions)
        os.makedirs(rules)
        with open(os.path.join(rules, "10-torvane-test.rules"), "w") as f:
            f.write(POLKIT_RULE)
        for path in (actions, rules):
            os.chmod(path, 0o755)
        script = ("mount --bind {a} /usr/share/polkit-1/actions && "
                  "mount --bind {r} /etc/polkit-1/rules.d && "
                  "exec /usr/lib/polkit-1/polkitd --no-debug").format(a=actions, r=rules)
        self.start("polkit", ["unshare", "-m", "--propagation", "private", "sh", "-c", script])
        if not wait_for(lambda: self.owner("org.freedesktop.PolicyKit1"), 15):
            raise RuntimeError("polkitd did not start: " + self.log("polkit"))

    def start_service(self, netns, binary, name="service", args=()):
        process = self.start(name, ["ip", "netns", "exec", netns, binary] + list(args))
        if not wait_for(lambda: self.owner(BUS_NAME) or process.poll() is not None, 15) \
                or process.poll() is not None:
            raise RuntimeError("the switching service did not start: " + self.log(name))
        return process

    def start_resolved(self, netns, root):
        """systemd-resolved in the workstation's namespace, with the user it drops to added in
        an overlay over /etc and its own /run, both seen by it alone."""
        script = self._etc_with_resolved_user("resolved") + """mount -t tmpfs tmpfs /run
mkdir -p /run/systemd/resolve
chown systemd-resolve:systemd-resolve /run/systemd/resolve
exec {root}/lib/systemd/systemd-resolved
""".format(root=root)
        self.start("resolved", ["ip", "netns", "exec", netns, "unshare", "-m", "--propagation",
                                "private", "sh", "-c", script],
                   env=self.env(SYSTEMD_LOG_LEVEL="info"))
        if not wait_for(lambda: self.owner("org.freedesktop.resolve1"), 15):
            raise RuntimeError("systemd-resolved did not start: " + self.log("resolved"))

    def call_switch(self, request_bytes, user=None, signature="ay"):
        """Calls the service's one method as USER (root when None); returns (reply bytes or
        None, D-Bus error text)."""
        command = (as_user(user) if user else []) + [
            "busctl", "--address=" + self.address, "--json=short", "call", BUS_NAME,
            OBJECT_PATH, BUS_NAME, "Switch", signature]
        if signature == "ay":
            command += [str(len(request_bytes))] + [str(b) for b in request_bytes]
        else:
            command += [request_bytes.decode("latin-1")]
        result = subprocess.run(command, capture_output=True, text=True, timeout=60)
        if result.returncode != 0:
            return None, result.stderr.strip()
        return bytes(json.loads(result.stdout)["data"][0]), ""

    def close(self):
        for name in list(self.processes)[::-1]:
            self.stop(name)
        shutil.rmtree(self.tmp, ignore_errors=True)


def request(gateway, primary, secondary="", address="", mask=""):
    return ("TORVANE-SWITCH 1\ngateway=%s\nprimary=%s\nsecondary=%s\naddress=%s\nmask=%s\n"
            % (gateway, primary, secondary, address, mask)).encode()


def reply_code(reply):
    """The failure number of a reply, or None when it is not one."""
    if not reply or not reply.startswith(b"TORVANE-SWITCHED 1\ncode="):
        return None
    return int(reply.split(b"\n")[1][5:])
