#!/usr/bin/env python3
"""The Windows installer under Wine, silent, in a Wine prefix of its own:

1. `/S /NOSERVER` (a workstation): the Client and the switching service in Program Files\\Torvane,
   the service registered (automatic start, its path) and running, the Start-menu shortcuts,
   the entry in Add/Remove Programs; the Client's data folder in ProgramData named under
   HKLM\\Software\\Torvane and opened to the users, its program folder not; no Server, no
   firewall rule.
2. `/S` again over it (the service running), over what an earlier version left (a line list
   beside Client.exe in a folder the users could write, and a DLL one of them planted): every
   part; the service replaced and running again; the firewall rule and the users' write access
   asked for with the exact commands; the list moved to the data folder, the DLL gone, the
   program folder's access reset.
3. `Uninstall.exe /S`: the service stopped and removed, the files, shortcuts, firewall rule,
   autostart value, data folder values and Add/Remove Programs entry gone; a line list the
   Client saved stays.

Wine's netsh and icacls are stubs that change nothing and say so on its `fixme` channel: their
command lines are checked there, their effect cannot be. The installer's Chinese texts are not
seen here: Wine under a Chinese locale needs that locale on the host to name files in Chinese
(the shortcuts); `makensis -WX` in the build refuses a text missing in either language.

Usage: wine_installer.py SETUP.exe TEMPLATE_PREFIX
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPTS = os.path.join(HERE, "..", "..", "scripts")

SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\TorvaneSwitch"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Torvane"
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
PROGRAMS_KEY = r"HKLM\Software\Torvane"
FIREWALL_ADD = ('netsh.exe" L"advfirewall" L"firewall" L"add" L"rule" L"name=Torvane Server" '
                'L"dir=in" L"action=allow" L"protocol=TCP" L"localport=15200"')
GRANT = r'icacls\.exe" "C:\\+%s\\+Torvane\\+%s" "/grant" "\*S-1-5-32-545:\(OI\)\(CI\)M"'
RESET = r'icacls\.exe" "C:\\+Program Files\\+Torvane\\+%s" "/reset" "/T" "/C" "/Q"'
FIREWALL_DELETE = 'L"advfirewall" L"firewall" L"delete" L"rule" L"name=Torvane Server"'

failures = []
passes = []


def check(condition, what, detail=""):
    print("%s: %s%s" % ("PASS" if condition else "FAIL", what,
                        "" if condition or not detail else " -- " + str(detail)), flush=True)
    (passes if condition else failures).append(what)
    return condition


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.25)
    return predicate()


class Prefix:
    def __init__(self, template, path):
        subprocess.run([os.path.join(SCRIPTS, "wine-prefix"), template, path], check=True)
        self.path = path
        self.calls = 0
        self.env = dict(os.environ, WINEPREFIX=path, WINEDEBUG="-all,fixme+netsh,fixme+icacls",
                        WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml=")
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.folder = os.path.join(path, "drive_c", "Program Files", "Torvane")
        self.menu = os.path.join(path, "drive_c", "ProgramData", "Microsoft", "Windows",
                                 "Start Menu", "Programs", "Torvane")
        self.data = os.path.join(path, "drive_c", "ProgramData", "Torvane")

    def run(self, *args, timeout=300):
        """Exit code and what Wine's channels said (stdout and stderr together). Into a file, not
        a pipe: Wine's own processes started by the first call would hold a pipe open."""
        self.calls += 1
        log = os.path.join(os.path.dirname(self.path), "call%d.log" % self.calls)
        with open(log, "wb") as out:
            code = subprocess.run(["wine", *args], env=self.env, stdout=out,
                                  stderr=subprocess.STDOUT, timeout=timeout).returncode
        return code, self.said(log)

    @staticmethod
    def said(log):
        with open(log, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def query(self, key, value=None):
        """A registry value as reg.exe prints it, '' when the key or value is missing."""
        args = ["reg", "query", key] + (["/v", value] if value else [])
        code, out = self.run(*args, timeout=60)
        if code != 0:
            return ""
        if value is None:
            return out
        match = re.search(r"^\s*%s\s+REG_\w+\s+(.*?)\s*$" % re.escape(value), out, re.M)
        return match.group(1) if match else ""

    def file(self, *parts):
        return os.path.join(self.folder, *parts)

    def service_log(self):
        try:
            with open(self.file("TorvaneSwitch.log"), encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True)


def workstation(prefix, setup):
    code, said = prefix.run(setup, "/S", "/NOSERVER")
    check(code == 0, "/S /NOSERVER ends with 0", said[-2000:])
    for part in ("TorvaneSwitch.exe", "README.txt", "Uninstall.exe",
                 os.path.join("Client", "Client.exe"), os.path.join("licenses", "LGPL-3.txt"),
                 os.path.join("licenses", "QT-LICENSE.txt"),
                 os.path.join("relink", "link-Client.txt")):
        check(os.path.isfile(prefix.file(part)), "installed: " + part)
    check(not os.path.exists(prefix.file("Server", "Server.exe")), "no Server.exe on a workstation")
    check(FIREWALL_ADD not in said, "no firewall rule on a workstation")
    check(re.search(GRANT % ("ProgramData", "Client"), said) is not None,
          "the machine's users are given write access to the Client's data folder", said[-2000:])
    check(re.search(GRANT % ("Program Files", "Client"), said) is None,
          "but not to the Client's program folder", said[-2000:])
    check(re.search(RESET % "Client", said) is not None,
          "the program folder's access is reset to what Program Files gives", said[-2000:])
    check(os.path.isdir(os.path.join(prefix.data, "Client")), "the Client's data folder is made")
    check(prefix.query(PROGRAMS_KEY + r"\Client", "DataFolder") == r"C:\ProgramData\Torvane\Client",
          "the Client finds it under HKLM\\Software\\Torvane")

    image = prefix.query(SERVICE_KEY, "ImagePath")
    check(image == r'"C:\Program Files\Torvane\TorvaneSwitch.exe"',
          "the service is registered with the installed path", image)
    check(prefix.query(SERVICE_KEY, "Start") == "0x2", "the service starts with Windows")
    check(prefix.query(SERVICE_KEY, "ObjectName") == "LocalSystem", "the service is LocalSystem")
    check(wait_for(lambda: "started, serving" in prefix.service_log(), 30),
          "the service runs (its log)", prefix.service_log()[-500:])

    check(prefix.query(UNINSTALL_KEY, "DisplayName") == "Torvane", "in Add/Remove Programs")
    check(prefix.query(UNINSTALL_KEY, "UninstallString") ==
          r'"C:\Program Files\Torvane\Uninstall.exe"', "its uninstaller is registered")
    check(prefix.query(UNINSTALL_KEY, "QuietUninstallString").endswith("/S"),
          "with a silent form")
    links = sorted(os.listdir(prefix.menu)) if os.path.isdir(prefix.menu) else []
    check(links == ["Read me.lnk", "Torvane Client.lnk", "Uninstall Torvane.lnk"],
          "Start-menu shortcuts of a workstation", links)


def everything_over_it(prefix, setup):
    # What an earlier version's open folder may hold: the users' list, and a planted DLL.
    old_list = "旧;;;10.0.0.1;10.0.0.53;;\r\n".encode("gbk")
    with open(prefix.file("Client", "MainConfig.dat"), "wb") as f:
        f.write(old_list)
    with open(prefix.file("Client", "version.dll"), "wb") as f:
        f.write(b"MZ")
    code, said = prefix.run(setup, "/S")
    check(code == 0, "/S over a running service ends with 0", said[-2000:])
    check(os.path.isfile(prefix.file("Server", "Server.exe")), "installed: Server\\Server.exe")
    check(re.search(GRANT % ("ProgramData", "Server"), said) is not None and
          re.search(GRANT % ("Program Files", "Server"), said) is None,
          "the machine's users are given write access to the Server's data folder alone")
    check(prefix.query(PROGRAMS_KEY + r"\Server", "DataFolder") == r"C:\ProgramData\Torvane\Server",
          "the Server finds its data folder under HKLM\\Software\\Torvane")
    moved = os.path.join(prefix.data, "Client", "MainConfig.dat")
    check(not os.path.exists(prefix.file("Client", "MainConfig.dat")) and os.path.isfile(moved)
          and open(moved, "rb").read() == old_list,
          "the list beside Client.exe moves to the data folder")
    check(not os.path.exists(prefix.file("Client", "version.dll")),
          "a DLL planted beside Client.exe is removed")
    # The installed Client itself reads the list there.
    _, version = prefix.run(r"C:\Program Files\Torvane\Client\Client.exe", "--version",
                            timeout=60)
    check(r"line file: C:\ProgramData\Torvane\Client\MainConfig.dat" in version,
          "the installed Client.exe takes its list from the data folder", version[-1000:])
    check(FIREWALL_ADD in said, "the firewall rule for port 15200 is added with netsh", said[-2000:])
    check(prefix.query(UNINSTALL_KEY, "FirewallRule") == "0x1",
          "the uninstaller knows to remove the rule")
    # The old service was stopped (its file replaced) and the new one started.
    check(wait_for(lambda: prefix.service_log().count("started, serving") == 2, 30),
          "the service was stopped, replaced and started again", prefix.service_log()[-800:])
    links = sorted(os.listdir(prefix.menu)) if os.path.isdir(prefix.menu) else []
    check("Torvane Server.lnk" in links and "Torvane Client.lnk" in links,
          "Start-menu shortcuts of both programs", links)


def uninstall(prefix):
    line_file = os.path.join(prefix.data, "Client", "MainConfig.dat")
    with open(line_file, "wb") as f:
        f.write("电信;;;10.0.0.1;10.0.0.53;;\r\n".encode("gbk"))
    client = r"C:\Program Files\Torvane\Client\Client.exe"
    prefix.run("reg", "add", RUN_KEY, "/v", "NetWorkDns", "/d", client, "/f", timeout=60)
    check(prefix.query(RUN_KEY, "NetWorkDns") == client, "the Client's autostart value is set")

    # The uninstaller copies itself away and returns: it is done when its file is gone.
    code, said = prefix.run(prefix.file("Uninstall.exe").replace(prefix.path + "/drive_c", "C:")
                            .replace("/", "\\"), "/S")
    check(code == 0, "Uninstall.exe /S starts", said[-2000:])
    check(wait_for(lambda: not os.path.exists(prefix.file("Uninstall.exe")), 60),
          "the uninstaller finishes")
    said = Prefix.said(os.path.join(os.path.dirname(prefix.path), "call%d.log" % prefix.calls))
    check(FIREWALL_DELETE in said, "the firewall rule is deleted with netsh", said[-2000:])
    check(prefix.query(SERVICE_KEY) == "", "the service is removed")
    for part in ("TorvaneSwitch.exe", "TorvaneSwitch.log", "README.txt", "licenses", "relink",
                 os.path.join("Client", "Client.exe"), os.path.join("Server", "Server.exe"),
                 "Server"):
        check(not os.path.exists(prefix.file(part)), "removed: " + part)
    check(os.path.isfile(line_file), "the Client's saved line list stays")
    check(not os.path.exists(prefix.menu), "the Start-menu folder is removed")
    check(prefix.query(UNINSTALL_KEY) == "", "gone from Add/Remove Programs")
    check(prefix.query(RUN_KEY, "NetWorkDns") == "", "the autostart value into it is removed")
    check(prefix.query(PROGRAMS_KEY) == "", "the data folder values are removed")


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    setup, template = sys.argv[1:]
    if not check(os.path.isfile(setup), "the installer was built", setup):
        return 1
    tmp = tempfile.mkdtemp(prefix="torvane-wine-setup-")
    prefix = None
    try:
        prefix = Prefix(template, os.path.join(tmp, "prefix"))
        shutil.copy2(setup, os.path.join(tmp, os.path.basename(setup)))
        setup_path = "Z:" + os.path.join(tmp, os.path.basename(setup)).replace("/", "\\")
        workstation(prefix, setup_path)
        everything_over_it(prefix, setup_path)
        uninstall(prefix)
    finally:
        if prefix:
            prefix.stop()
        shutil.rmtree(tmp, ignore_errors=True)
    print("%d passed, %d failed" % (len(passes), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
