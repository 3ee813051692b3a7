"""A private headless GNOME session (mutter on a virtual monitor, PipeWire, WirePlumber)
in PID and mount namespaces of its own, and what a test runs inside it. Every client of
the session (the agent, the test's window) runs in those namespaces (`popen`): from
outside, PipeWire and the portal take a client for a sandboxed one. `close` kills the
whole namespace; mutter may ignore SIGTERM while clients are connected."""

import json
import os
import shutil
import subprocess
import tempfile
import time

# The standard session bus, but listening only in the test's own directory: a killed
# bus leaves its socket where it listened.
BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:dir={dir}</listen>
  <auth>EXTERNAL</auth>
  <standard_session_servicedirs/>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
  <includedir>/usr/share/dbus-1/session.d</includedir>
</busconfig>
"""

SCRIPT = """
echo "$DBUS_SESSION_BUS_ADDRESS" > "$VELA_TEST_BUS_FILE"
pipewire &
until [ -S "$XDG_RUNTIME_DIR/pipewire-0" ]; do sleep 0.05; done
wireplumber &
{last}
"""


# Applies a monitor layout through mutter's DisplayConfig for this session only (method
# 1: temporary; nothing asks the person to keep it). argv[1] is JSON: [[connector, x, y,
# scale, transform], ...], the first primary, each monitor on its current mode.
APPLY_MONITORS = """
import json, sys
from gi.repository import Gio, GLib
DC = "org.gnome.Mutter.DisplayConfig"
bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
def call(method, args, reply):
    return bus.call_sync(DC, "/org/gnome/Mutter/DisplayConfig", DC, method, args,
                         GLib.VariantType(reply) if reply else None, 0, 10000, None)
serial, monitors, _, _ = call("GetCurrentState", None,
                              "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})").unpack()
modes = {m[0][0]: next(mode[0] for mode in m[1] if mode[6].get("is-current")) for m in monitors}
layout = [(x, y, scale, transform, i == 0, [(connector, modes[connector], {})])
          for i, (connector, x, y, scale, transform) in enumerate(json.loads(sys.argv[1]))]
call("ApplyMonitorsConfig", GLib.Variant("(uua(iiduba(ssa{sv}))a{sv})", (serial, 1, layout, {})), None)
"""


def wait_until(what, predicate, timeout=30, failure=None):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        if failure and failure():
            raise AssertionError(f"{what}: {failure()}")
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


class GnomeSession:
    """With `mutter=False` the session has its bus and PipeWire but no compositor: a
    Wayland session whose remote-desktop API is absent. With `uid` the session and every
    client started in it run as that user (namespaces made as root, then dropped), as a
    person's own session is; its directory is theirs. `more_monitors` are the sizes of
    further virtual monitors, right of the first (Meta-1, Meta-2, ...). With
    `logical_layout` mutter lays monitors out in logical pixels, a monitor at scale 2
    taking half its width (GNOME's fractional scaling)."""

    def __init__(self, width=1920, height=1080, mutter=True, desktop="GNOME", uid=None,
                 more_monitors=(), logical_layout=False):
        self.dir = tempfile.mkdtemp(prefix="vela-gnome-")
        self.size = (width, height)
        self.uid = uid
        runtime = os.path.join(self.dir, "run")
        home = os.path.join(self.dir, "home")
        os.mkdir(runtime, 0o700)
        os.mkdir(home, 0o700)
        settings = "memory"
        if logical_layout:
            settings = "keyfile"
            os.makedirs(os.path.join(home, ".config", "glib-2.0", "settings"))
            with open(os.path.join(home, ".config", "glib-2.0", "settings", "keyfile"), "w") as f:
                f.write("[org/gnome/mutter]\nexperimental-features=['scale-monitor-framebuffer']\n")
        bus_dir = os.path.join(self.dir, "bus")
        os.mkdir(bus_dir, 0o700)
        account = []
        if uid is not None:
            for path in (self.dir, runtime, bus_dir):
                os.chown(path, uid, uid)
            for root, dirs, files in os.walk(home):
                for path in [root, *(os.path.join(root, n) for n in dirs + files)]:
                    os.chown(path, uid, uid)
            account = self._account(uid, home)
        config = os.path.join(self.dir, "bus.conf")
        with open(config, "w") as f:
            f.write(BUS_CONFIG.format(dir=bus_dir))
        self.bus_file = os.path.join(self.dir, "bus-address")
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS")}
        self.env.update(XDG_RUNTIME_DIR=runtime, HOME=home, XDG_CONFIG_HOME=home + "/.config",
                        XDG_STATE_HOME=home + "/.local/state", XDG_CACHE_HOME=home + "/.cache",
                        XDG_DATA_HOME=home + "/.local/share", XDG_SESSION_TYPE="wayland",
                        XDG_CURRENT_DESKTOP=desktop, NO_AT_BRIDGE="1", GSETTINGS_BACKEND=settings,
                        VELA_TEST_BUS_FILE=self.bus_file)
        if mutter:
            # Not the bus's child: a test can end mutter and keep the bus and PipeWire.
            monitors = "".join(f" --virtual-monitor {w}x{h}" for w, h in [(width, height), *more_monitors])
            last = (f"mutter --headless --wayland --no-x11{monitors} --wayland-display=wayland-test & "
                    "exec sleep infinity")
        else:
            last = "exec sleep infinity"
        self.log = open(os.path.join(self.dir, "session.log"), "wb")
        self.proc = subprocess.Popen(
            ["setsid", "unshare", "--pid", "--fork", "--kill-child", "--mount-proc", *account, *self._as_user(),
             "dbus-run-session", "--config-file", config, "--", "sh", "-c", SCRIPT.format(last=last)],
            env=self.env, stdout=self.log, stderr=self.log)
        try:
            self.pid = wait_until("the session's first process", self._inner_pid, failure=self._died)
            self.env["DBUS_SESSION_BUS_ADDRESS"] = wait_until("the session bus", self._bus_address,
                                                              failure=self._died)
            if mutter:
                self.env["WAYLAND_DISPLAY"] = "wayland-test"
                wait_until("mutter's Wayland socket",
                           lambda: os.path.exists(os.path.join(runtime, "wayland-test")), failure=self._died)
                wait_until("mutter's screen cast on the bus",
                           lambda: self.has_owner("org.gnome.Mutter.ScreenCast"), failure=self._died)
                # The desktop portal's dialogs are bus-activated: they inherit the bus's
                # environment, which was made before the display existed.
                self.run(["dbus-update-activation-environment", "WAYLAND_DISPLAY=wayland-test"])
            wait_until("WirePlumber on PipeWire", lambda: "WirePlumber" in self.run(["pw-cli", "ls", "Client"]),
                       failure=self._died)
        except BaseException:
            self.close()
            raise

    def _died(self):
        return self.proc.poll() is not None and f"the session exited ({self.proc.returncode}): {self.log_text()}"

    def _inner_pid(self):
        try:
            with open(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children") as f:
                children = f.read().split()
        except OSError:
            return None
        return int(children[0]) if children else None

    def _bus_address(self):
        try:
            with open(self.bus_file) as f:
                return f.read().strip() or None
        except OSError:
            return None

    def log_text(self):
        with open(os.path.join(self.dir, "session.log"), "rb") as f:
            return f.read().decode("utf-8", "replace")[-3000:]

    def _account(self, uid, home):
        """What puts the user into the session's own /etc/passwd and /etc/group (the bus
        refuses a user without an account), before the session drops to them."""
        files = []
        for name, entry in (("passwd", f"vela-test-{uid}:x:{uid}:{uid}::{home}:/bin/sh\n"),
                            ("group", f"vela-test-{uid}:x:{uid}:\n")):
            path = os.path.join(self.dir, name)
            with open(f"/etc/{name}") as system, open(path, "w") as f:
                f.write(system.read() + entry)
            os.chmod(path, 0o644)
            files.append(path)
        return ["sh", "-c", 'mount --bind "$1" /etc/passwd && mount --bind "$2" /etc/group && shift 2 && exec "$@"',
                "sh", *files]

    def _as_user(self):
        if self.uid is None:
            return []
        return ["setpriv", f"--reuid={self.uid}", f"--regid={self.uid}", "--clear-groups", "--"]

    def command(self, argv):
        """argv run inside the session's PID and mount namespaces, as the session's user."""
        return ["nsenter", "-t", str(self.pid), "-p", "-m", "--", *self._as_user(), *argv]

    def popen(self, argv, env=None, **kwargs):
        return subprocess.Popen(self.command(argv), env=dict(self.env, **(env or {})), **kwargs)

    @staticmethod
    def signal(proc, sig):
        """Sends `sig` to what `proc` (from popen) runs: nsenter forks it into the session
        and passes no signal on."""
        try:
            with open(f"/proc/{proc.pid}/task/{proc.pid}/children") as f:
                children = [int(c) for c in f.read().split()]
        except OSError:
            children = []
        for child in children:
            try:
                os.kill(child, sig)
            except ProcessLookupError:
                pass

    def run(self, argv, env=None):
        return subprocess.run(self.command(argv), env=dict(self.env, **(env or {})), capture_output=True,
                              text=True).stdout

    def has_owner(self, name):
        reply = self.run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                          "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", f"string:{name}"])
        return "boolean true" in reply

    def apply_monitors(self, layout):
        """Lays the monitors out as `layout` says: [(connector, x, y, scale, transform)], the
        first primary; transform 1 turns a monitor a quarter clockwise."""
        done = subprocess.run(self.command(["/usr/bin/python3", "-c", APPLY_MONITORS, json.dumps(layout)]),
                              env=self.env, capture_output=True, text=True)
        if done.returncode != 0:
            raise AssertionError(f"mutter refused the layout {layout}: {done.stderr[-1000:]}")

    def mutter_pids(self):
        return [int(p) for p in subprocess.run(["pgrep", "-x", "mutter", "--ns", str(self.pid), "--nslist", "pid"],
                                               capture_output=True, text=True).stdout.split()]

    def kill_mutter(self):
        for pid in self.mutter_pids():
            os.kill(pid, 9)

    def close(self):
        if getattr(self, "pid", None):
            try:
                os.kill(self.pid, 9)  # the namespace's first process: the kernel ends the rest
            except ProcessLookupError:
                pass
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.log.close()
        if not os.environ.get("VELA_E2E_KEEP"):
            shutil.rmtree(self.dir, ignore_errors=True)
