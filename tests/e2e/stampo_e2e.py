#!/usr/bin/python3
"""usage: stampo_e2e.py STAMPO SIMULATOR   (STAMPO_E2E_ONLY=TEXT: only the desktops whose name holds TEXT)
Runs stampo on private desktops (Xvfb, weston) against the kintone simulator, clicking with xdotool and reading the
windows over AT-SPI. Exits 77 when a tool is missing."""

import collections, contextlib, http.client, json, os, re, select, shutil, signal, socket, ssl, subprocess, sys
import tempfile, threading, time, traceback

try:
    import dbus  # Debian's python3-dbus, which scripts/setup installs
except ImportError:
    dbus = None

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import keyring_session  # noqa: E402

WAIT = 30.0  # the longest one awaited event may take, with the suite running tests side by side on two cores
AUTH_CODE = "dXNlcjpwYXNzd29yZA=="  # user:password, which the simulator accepts
HOST = "demo.cybozu.com"
ACCESSIBLE, PROPERTIES = "org.a11y.atspi.Accessible", "org.freedesktop.DBus.Properties"
REGISTRY = ("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root")
DBUS = ("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus")
# The desktops' configuration files (desktops/): GNOME Shell's settings turn the extension on, animations off and its
# widgets onto the accessibility bus, with no welcome tour or notification banner over the screen.
DESKTOP_FILES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "desktops")
# Each panel: stampo's icon is found on the accessibility bus by its role and the beginning of its name; `button` opens
# its menu; xfconfd and GSettings' keyfile read its configuration (`file`, at `path` in XDG_CONFIG_HOME) at the first
# question.
Panel = collections.namedtuple("Panel", "command role name button path file")
PANELS = {"gnome-shell": Panel(["gnome-shell", "--x11", "--replace"], "menu", "Stampo", "1",
                               "glib-2.0/settings/keyfile", "gnome-shell.keyfile"),
          "xfce4-panel": Panel(["xfce4-panel"], "panel", "", "1", "xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml",
                               "xfce4-panel.xml"),
          "lxqt-panel": Panel(["lxqt-panel"], "push button", "", "3", "lxqt/panel.conf", "lxqt-panel.conf")}


def desktop_file(name):
    with open(os.path.join(DESKTOP_FILES, name)) as file:
        return file.read()


def read_line(stream, what):
    assert select.select([stream], [], [], WAIT)[0], f"timed out waiting for {what}"
    return stream.readline().decode().strip()


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as out:
        out.write(text)
    os.chmod(path, mode)


class Run:
    def __init__(self, work, display, tray):
        self.work, self.processes, self.stampo, self.app, self.step = work, [], None, None, "setup"
        self.display, self.tray, self.panel_kind = display, tray, PANELS.get(tray)
        self.window_manager, self.wayland = display in ("openbox", "gnome-shell"), display == "weston"
        # Without a proxy of its own stampo follows the environment's, which would not reach the simulator.
        drop = ("QT_QPA_PLATFORM", "QT_QPA_PLATFORMTHEME", "SESSION_MANAGER", "DBUS_SESSION_BUS_ADDRESS")
        self.env = {k: v for k, v in os.environ.items() if k not in drop and "proxy" not in k.lower()}
        # Under AddressSanitizer, whole stacks through libraries without frame pointers, for the leak suppressions.
        if "ASAN_OPTIONS" in self.env:
            self.env["ASAN_OPTIONS"] += ":fast_unwind_on_malloc=0"
        self.env.update({f"XDG_{d.upper()}_HOME": os.path.join(work, d) for d in ("config", "data", "cache", "state")})
        # Qt serves its widgets on the accessibility bus only when asked to; no screen reader runs to ask. The session
        # claims to be Wayland's, with no compositor to be found but on weston: stampo must choose X11 by itself.
        self.env.update(XDG_RUNTIME_DIR=os.path.join(work, "runtime"), QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                        XDG_SESSION_TYPE="wayland", WAYLAND_DISPLAY="wayland-stampo-e2e")
        os.mkdir(self.env["XDG_RUNTIME_DIR"], 0o700)
        # The settings a first run leaves: the simulator's attendance app, suzuki chosen last time.
        settings = dict(subDomain="demo", topLevelDomain="com", authCode=AUTH_CODE, appID="1", fieldIn="start",
                        fieldInType="DATETIME", fieldOut="end", fieldOutType="DATETIME", fieldUser="employee",
                        fieldUserType="USER_SELECT", fieldUserDisplay="", keepUser="suzuki")
        write(f"{work}/config/Stampo/Stampo.conf", "[General]\n" + "".join(f"{k}={v}\n" for k, v in settings.items()))

    def start(self, argv, log, **kwargs):
        # Each leads its own process group, so that its helpers end with it.
        with open(os.path.join(self.work, log), "ab") as out:
            kwargs = {"stdout": out, "env": self.env, **kwargs}
            self.processes.append(subprocess.Popen(argv, start_new_session=True, stderr=out, **kwargs))
        return self.processes[-1]

    def stop_all(self):
        for process in reversed(self.processes):
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGTERM)
                with contextlib.suppress(subprocess.TimeoutExpired):
                    process.wait(5)
                os.killpg(process.pid, signal.SIGKILL)  # what is left of its group (xfce4-session's: its clients)

    def bus(self, work, log, *services):
        bus = self.start(keyring_session.bus_command(work, services), log, stdout=subprocess.PIPE)
        return read_line(bus.stdout, f"the address of the bus in {log}")

    def start_services(self, simulator_path):
        if self.wayland:
            # weston with Xwayland, then the only X server stampo can reach.
            self.display_server = self.start(["weston", "--backend=headless-backend.so", "--use-pixman",
                                              "--idle-time=0", f"--socket={self.env['WAYLAND_DISPLAY']}",
                                              "--width=1280", "--height=800", "--xwayland"], "weston.log")
            socket = os.path.join(self.env["XDG_RUNTIME_DIR"], self.env["WAYLAND_DISPLAY"])
            self.env["DISPLAY"] = self.until("weston and Xwayland", lambda: os.path.exists(socket) and (
                m := re.search(r"xserver listening on display (:\d+)", self.log("weston.log"))) and m[1])
        else:
            # Without -noreset the server resets whenever its last client leaves, refusing connections meanwhile.
            self.display_server = self.start(["Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten",
                                              "tcp", "-noreset"], "xvfb.log", stdout=subprocess.PIPE)
            self.env["DISPLAY"] = ":" + read_line(self.display_server.stdout, "the X server's display number")
        if self.display == "openbox":
            self.start(["openbox", "--sm-disable"], "openbox.log")
            self.until("openbox to manage", lambda: "window id" in self.x("xprop", "-root", "_NET_SUPPORTING_WM_CHECK"))
        # A bus of the run's own: no keyring or password prompt of the machine's comes along.
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self.bus(self.work, "dbus.log", "org.a11y.Bus", "org.xfce.Xfconf")
        # The full desktop has a keyring, unlocked at login; the others have none.
        if self.tray == "gnome-shell":
            self.keyring_daemon = keyring_session.start_keyring(self.env, start_new_session=True)
            self.processes.append(self.keyring_daemon)
            # GNOME Shell stops without a system bus; on an empty one of its own (no logind, polkit...) it runs.
            self.env.update(DBUS_SYSTEM_BUS_ADDRESS=self.bus(os.path.join(self.work, "system"), "system-bus.log"),
                            GSETTINGS_BACKEND="keyfile", XDG_CURRENT_DESKTOP="GNOME")
            # It tells once that it locks no screen without GDM; this user was told at an earlier login.
            write(os.path.join(self.env["XDG_DATA_HOME"], "gnome-shell", "lock-warning-shown"), "")
        self.session = dbus.bus.BusConnection(self.env["DBUS_SESSION_BUS_ADDRESS"])
        # Asking for the accessibility bus starts it (at-spi-bus-launcher) on this display.
        self.a11y = dbus.bus.BusConnection(self.until("the accessibility bus", self.a11y_address))
        if self.panel_kind:
            # `shown`: each object the toolkits tell a screen reader they show, once one registered for it (Qt and GTK
            # keep a popup menu out of the application's accessible children); `asked`: each connection that asked
            # for stampo's menu, as hosts do first.
            self.a11y.call_blocking("org.a11y.atspi.Registry", "/org/a11y/atspi/registry", "org.a11y.atspi.Registry",
                                    "RegisterEvent", "s", ("object:state-changed:showing",))
            node = []

            def shown(line, heard):
                if header := re.match(r"signal .* sender=(\S+) .* path=([^;]+);", line):
                    node[:] = [(header[1], header[2])]
                elif node and line.split()[:1] == ["int32"]:  # the first number: shown (1) or hidden
                    heard += node if line.split()[1] == "1" else []
                    node.clear()
            self.shown = self.listen(self.a11y_address(), "type='signal',interface='org.a11y.atspi.Event.Object',"
                                     "member='StateChanged',arg0='showing'", "showing.log", shown)
            self.asked = self.listen(self.env["DBUS_SESSION_BUS_ADDRESS"], "type='method_call',member='GetLayout',"
                                     "interface='com.canonical.dbusmenu'", "layouts.log",
                                     lambda line, heard: heard.extend(re.findall(r"^method call.* sender=(\S+)", line)))
            write(os.path.join(self.env["XDG_CONFIG_HOME"], self.panel_kind.path), desktop_file(self.panel_kind.file))
            self.start_panel()
        line = read_line(self.start([simulator_path, "--cert-dir", f"{self.work}/certs"], "simulator.log",
                                    stdout=subprocess.PIPE).stdout, "the simulator's address")
        assert (match := re.fullmatch(r"listening (([0-9.]+):([0-9]+)) ca=(.+)", line)), f"the simulator said {line!r}"
        self.address, self.ca_file = (match[2], int(match[3])), match[4]
        self.env.update(STAMPO_CONNECT_TO=match[1], STAMPO_CA_FILE=match[4], STAMPO_PROBE_HOST="localhost")

    def a11y_address(self):
        return str(self.session.call_blocking("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None, ()))

    def start_panel(self):
        started = self.log("gnome-shell.log").count("GNOME Shell started")
        if self.tray == "lxqt-panel":
            # Qt 5 joins the accessibility bus only where the root window names it, as at-spi-bus-launcher does when
            # the session starts it; started by D-Bus activation here, it does not.
            self.x("xprop", "-root", "-f", "AT_SPI_BUS", "8s", "-set", "AT_SPI_BUS", self.a11y_address())
        self.panel = self.start(self.panel_kind.command, f"{self.tray}.log", env=dict(
            self.env, XDG_SESSION_TYPE="x11", QT_QPA_PLATFORM="xcb"))
        self.until(f"{self.tray}'s StatusNotifierWatcher", lambda: self.of_panel(
            self.session, self.session.get_name_owner("org.kde.StatusNotifierWatcher")))
        if self.tray == "gnome-shell":
            self.until("GNOME Shell to start up",
                       lambda: self.log("gnome-shell.log").count("GNOME Shell started") > started)
            shell = ("org.gnome.Shell", "/org/gnome/Shell")
            self.session.call_blocking(*shell, PROPERTIES, "Set", "ssv", ("org.gnome.Shell", "OverviewActive", False))
            self.until("the overview to close", lambda: not self.session.call_blocking(
                *shell, PROPERTIES, "Get", "ss", ("org.gnome.Shell", "OverviewActive")))

    def of_panel(self, bus, name):
        """Whether `name` on `bus` is the panel's or a helper's it started (xfce4-panel's plugins run apart)."""
        with contextlib.suppress(dbus.DBusException):  # gone, with a panel killed
            return os.getsid(bus.call_blocking(*DBUS, "GetConnectionUnixProcessID", "s", (name,))) == self.panel.pid
        return False

    def listen(self, address, rule, log, parse):
        monitor = self.start(["dbus-monitor", "--address", address, rule], log, stdout=subprocess.PIPE, bufsize=0)
        read_line(monitor.stdout, "dbus-monitor listening")
        heard = []
        threading.Thread(target=lambda: [parse(line.decode(errors="replace"), heard)
                                         for line in iter(monitor.stdout.readline, b"")], daemon=True).start()
        return heard

    def open_panel_menu(self):
        """Clicks stampo's icon on the panel, once the panel has asked for stampo's menu and laid the icon out (the
        same place twice running): the menu that opens, once shown, as each entry's label and extents."""
        last = []

        def icon():
            found, queue = [], [n for app in self.children(REGISTRY) if self.of_panel(self.a11y, app[0])
                                for n in self.children(app)]
            while queue:  # what is hidden hides what it holds
                if self.showing(node := queue.pop(0)):
                    if self.role(node) == self.panel_kind.role and self.name(node).startswith(self.panel_kind.name):
                        # At least an icon's smallest size: an empty tray shows nothing there.
                        if min((extents := self.extents(node))[2:]) >= 16:
                            found.append(extents)
                    queue += self.children(node)
            last[:], previous = [min(found, key=lambda e: e[2] * e[3], default=None)], last[:]
            return any(self.of_panel(self.session, n) for n in self.asked) and last[0] and last == previous and last[0]
        opened = len(self.shown)
        self.click(*self.until(f"stampo's icon on {self.tray}, and its menu asked for", icon), self.panel_kind.button)
        labels, seen = ["勤務開始", "勤務終了", "Kintone設定"], []

        def label(item):
            # GNOME Shell names an entry by the label that the relation "labelled by" (2) points to.
            by = [t for kind, targets in self.call(item, ACCESSIBLE, "GetRelationSet") if kind == 2 for t in targets]
            return self.name(item) or " ".join(self.name(target) for target in by)

        def menu():
            nodes = {n for n in self.shown[opened:] if self.of_panel(self.a11y, n[0])}
            # An entry's menu, or the menu that came with it.
            menus = {tuple(map(str, self.call(n, PROPERTIES, "Get", "ss", ACCESSIBLE, "Parent")))
                     if self.role(n) == "menu item" else n for n in nodes}
            entries = [n for m in menus for n in self.children(m) if self.role(n) == "menu item" and self.showing(n)]
            seen[:] = sorted((extents[1], label(n), extents) for n in entries if (extents := self.extents(n)))
            return [text for _, text, _ in seen] == labels and {text: extents for _, text, extents in seen}
        return self.until(f"{self.tray}'s menu of {labels}", menu, seen)

    def start_stampo(self, path=None):
        """Starts stampo, or (without `path`) lets the session start it: its application on the accessibility bus."""
        previous = self.app
        if path:
            self.stampo = self.start([path], "stampo.log")
        self.app = self.until("stampo on the accessibility bus", lambda: next(
            (app for app in self.children(REGISTRY) if self.name(app) == "Stampo" and app != previous), None))

    def x(self, tool, *args):
        result = subprocess.run([tool, *args], env=self.env, capture_output=True, text=True, timeout=WAIT)
        return result.stdout.strip() if result.returncode == 0 else ""

    def active_window(self):
        return next((int(w, 16) for w in re.findall(r"0x\w+", self.x("xprop", "-root", "_NET_ACTIVE_WINDOW"))), None)

    def windows_top_down(self):
        stacking = re.findall(r"0x\w+", self.x("xprop", "-root", "_NET_CLIENT_LIST_STACKING").partition("#")[2])
        return [w for w in stacking[::-1] if self.x("xprop", "-id", w, "_NET_WM_PID").endswith(f" {self.stampo.pid}")]

    def geometry(self, window):
        at = dict(line.split("=", 1) for line in self.x("xdotool", "getwindowgeometry", "--shell", window).split())
        return tuple(int(at[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def click(self, x, y, width, height, button="1"):
        self.x("xdotool", "mousemove", str(x + width // 2), str(y + height // 2), "click", button)

    def press(self, node):
        # With the mouse, or as a screen reader does over AT-SPI on Wayland, where nothing else can.
        if self.wayland:
            return self.call(node, "org.a11y.atspi.Action", "DoAction", "i", 0)
        self.click(*self.extents(node))

    # The application's accessible objects, each an (owner, path) pair on the accessibility bus.

    def call(self, node, interface, method, signature=None, *args):
        return self.a11y.call_blocking(*node, interface, method, signature, args, timeout=10)

    def name(self, node):
        return str(self.call(node, PROPERTIES, "Get", "ss", ACCESSIBLE, "Name"))

    def role(self, node):
        return str(self.call(node, ACCESSIBLE, "GetRoleName"))

    def showing(self, node):
        return self.call(node, ACCESSIBLE, "GetState")[0] >> 25 & 1  # SHOWING: mapped and not hidden

    def extents(self, node):
        return tuple(int(n) for n in self.call(node, "org.a11y.atspi.Component", "GetExtents", "u", 0))

    def children(self, node):
        return [(str(owner), str(path)) for owner, path in self.call(node, ACCESSIBLE, "GetChildren")]

    def find(self, node, role, name=None):
        queue = self.children(node)
        while queue:
            if self.role(found := queue.pop(0)) == role and name in (None, self.name(found)):
                return found
            queue += self.children(found)
        raise AssertionError(f"no {role} {name or ''} in {self.name(node)!r}")

    def windows(self):
        return [w for w in self.children(self.app) if self.showing(w)]  # Qt lists hidden ones too

    def until(self, what, probe, seen=None):
        """Polls `probe` until true; a vanished object or a bus not up yet is "not yet". Timed out, it tells `seen`."""
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            assert (self.stampo and self.stampo.poll()) is None, f"stampo gone ({self.stampo.returncode}) before {what}"
            with contextlib.suppress(dbus.DBusException):
                if value := probe():
                    return value
            time.sleep(0.05)
        raise AssertionError(f"timed out waiting for {what}" + (f", seeing {seen}" if seen is not None else ""))

    def window(self, title=None):
        """The application's window on screen titled `title`, or else its message box."""
        sought = lambda w: self.name(w) == title if title else self.role(w) == "alert message"
        found = self.until(title or "a message box", lambda: next((w for w in self.windows() if sought(w)), None))
        if title and self.window_manager:
            # The manager maps it a moment after the accessibility bus shows it.
            self.until(f"X window {title}", lambda: self.x("xdotool", "search", "--onlyvisible", "--name", f"^{title}$"))
        return found

    def alert(self, message):
        box = self.window()
        assert self.name(box) == message, f"the message box says {self.name(box)!r}, not {message!r}"

        def topmost():
            for top in self.windows_top_down()[:1]:
                # Where the manager placed it: GNOME Shell centres it on its parent once it is mapped.
                (wx, wy, ww, wh), (x, y, width, height) = self.geometry(top), self.extents(box)
                inside = wx <= x + width // 2 < wx + ww and wy <= y + height // 2 < wy + wh
                modal = "_NET_WM_STATE_MODAL" in self.x("xprop", "-id", top, "_NET_WM_STATE")
                return inside and modal and int(top, 16) == self.active_window() and int(top, 16)
        # A window manager stacks and focuses the box a moment after it maps (GNOME Shell later than openbox), and
        # GNOME Shell drops a click until then. Its frame outlives the box a moment, taking the clicks meant beneath.
        frame = self.until(f"the message box {message!r} as stampo's topmost window, with the keyboard",
                           topmost) if self.window_manager else None
        self.press(self.find(box, "push button", "OK"))

        def closed():
            left = [int(w, 16) for w in self.windows_top_down()] if frame else []
            return box not in self.windows() and frame not in left and not (left and self.active_window() == frame)
        self.until(f"the message box {message!r} to close", closed)

    def days(self):
        """kintone's working days (employee codes, start, end), read over HTTPS verified for the application's name."""
        def kintone(method, path, body=None):
            context = ssl.create_default_context(cafile=self.ca_file)
            connection = http.client.HTTPSConnection(HOST, context=context)
            connection.sock = context.wrap_socket(socket.create_connection(self.address, WAIT), server_hostname=HOST)
            connection.request(method, path, body and json.dumps(body),
                               {"X-Cybozu-Authorization": AUTH_CODE, "Content-Type": "application/json"})
            return json.loads(connection.getresponse().read())
        cursor = kintone("POST", "/k/v1/records/cursor.json", {"app": "1"})
        value = lambda record, code: record.get(code, {}).get("value")  # a field never set is left out
        return [([e["code"] for e in value(r, "employee") or []], value(r, "start"), value(r, "end"))
                for r in kintone("GET", f"/k/v1/records/cursor.json?id={cursor['id']}")["records"]]

    def check_ended(self, count):
        days = self.days()
        assert len(days) == count and all(codes == ["suzuki"] and start and end for codes, start, end in days), \
            f"expected {count} working days of suzuki, each ended, found {days}"

    def log(self, name):
        with contextlib.suppress(FileNotFoundError), open(os.path.join(self.work, name), errors="replace") as log:
            return log.read()
        return ""

    def start_working(self, stampo=None):
        if stampo:
            self.start_stampo(stampo)
        attend = self.window("勤務開始")
        self.until("suzuki preselected", lambda: self.name(self.find(attend, "combo box")) == "鈴木 一郎")
        self.press(self.find(attend, "push button", "勤務開始"))
        self.alert("送信完了")

    def ended(self, status=0):
        with contextlib.suppress(subprocess.TimeoutExpired):
            self.stampo.wait(WAIT)
        assert self.stampo.returncode == status, f"stampo ended with status {self.stampo.returncode}, not {status}"


def tray_scenario(run, stampo):
    """A work end from the menu of stampo's icon: on trayer, an XEmbed tray that comes after stampo, then a later launch
    and the display going away; on a real panel, up before stampo, its menu again once the panel restarts."""
    if run.tray == "gnome-shell":
        # A keyring that does not answer at start (its unlock prompt left open) holds back the windows, not the
        # process: a signal still ends it.
        run.step = "a keyring that does not answer"
        calls = run.listen(run.env["DBUS_SESSION_BUS_ADDRESS"], "destination='org.freedesktop.secrets'", "monitor.log",
                           lambda line, heard: heard.extend([line] if line.startswith("method call") else []))
        os.kill(run.keyring_daemon.pid, signal.SIGSTOP)
        run.stampo = run.start([stampo], "stampo.log")
        run.until("stampo's call to the keyring", lambda: calls)
        run.stampo.send_signal(signal.SIGTERM)
        run.ended()
        os.kill(run.keyring_daemon.pid, signal.SIGCONT)
    run.step = "a working day ended from the tray menu"
    run.start_working(stampo)
    if run.tray == "xembed":
        # Only now: the icon must wait for a tray host that comes after it.
        run.start(["trayer", "--edge", "bottom", "--align", "right", "--widthtype", "request"], "trayer.log")
        visible = lambda: run.x("xdotool", "search", "--onlyvisible", "--classname", "^stampo$").split()
        # Once the employee window has closed, stampo's only X window on screen is its icon in trayer's panel.
        icon = run.until("stampo's tray icon", lambda: w[0] if len(w := visible()) == 1 else None)
        run.click(*run.geometry(icon))
        menu = run.until("the tray menu", lambda: m[0] if len(m := [w for w in visible() if w != icon]) == 1 else None)
        # 勤務開始, 勤務終了 and Kintone設定 are rows of one height between equal margins: 勤務終了 is in the middle.
        run.click(*run.geometry(menu))
    else:
        run.click(*run.open_panel_menu()["勤務終了"])
    run.alert("送信完了")
    run.check_ended(1)

    if run.tray == "xembed":
        run.step = "a later launch, then the display going away with a working day open"
        assert all(run.name(window) != "勤務開始" for window in run.windows()), "the employee window shows already"
        assert run.start([stampo], "later.log").wait(WAIT) == 0, "the later launch did not reach the running stampo"
        run.start_working()
        # Closes stampo's connection to the X server (XKillClient on its icon's window), as the server's end does.
        run.x("xdotool", "windowkill", icon)
        run.ended(1)
        run.check_ended(2)
        return
    run.step = f"{run.tray} killed and started again, then SIGTERM"
    os.killpg(run.panel.pid, signal.SIGKILL)
    run.panel.wait()
    run.start_panel()
    run.click(*run.open_panel_menu()["勤務開始"])
    run.window("勤務開始")
    run.stampo.send_signal(signal.SIGTERM)
    run.ended()


def session_manager_scenario(run, stampo):
    """Started by a real XSMP session manager (xfce4-session's failsafe session, no window manager): a session save
    (a checkpoint) leaves the working day open; the manager's end ends it, killed or logging out (its quit request)."""
    # The session starts nothing of the machine's own autostart entries.
    for entry in os.listdir("/etc/xdg/autostart"):
        write(os.path.join(run.env["XDG_CONFIG_HOME"], "autostart", entry), "[Desktop Entry]\nHidden=true\n")
    status, command = os.path.join(run.work, "status"), os.path.join(run.work, "stampo.sh")
    # The manager ends what is left of its clients' processes at the end: the shell that tells stampo's status stays.
    write(command, f"#!/bin/sh\nrm -f '{status}'\n'{stampo}' &\ntrap '' HUP INT TERM\nwait $!\n"
                   f"echo $? > '{status}'\n", 0o755)
    # xfconfd, activated by the first session, keeps this for the second.
    write(f"{run.work}/config/xfce4/xfconf/xfce-perchannel-xml/xfce4-session.xml", desktop_file("xfce4-session.xml").format(command=command))

    written_status = lambda: run.log("status").strip()
    for count, (ending, expected) in enumerate((("killed", "1"), ("logging out", "0")), 1):
        run.step = f"a session whose manager ends {ending}"
        # A checkpoint saved the session, whose clients the manager would start instead of the failsafe one's.
        shutil.rmtree(os.path.join(run.env["XDG_CACHE_HOME"], "sessions"), ignore_errors=True)
        session = run.start(["xfce4-session"], "xfce4-session.log")
        run.start_stampo()
        run.start_working()
        if ending == "killed":
            manager = ("org.xfce.SessionManager", "/org/xfce/SessionManager", "org.xfce.Session.Manager")
            run.session.call_blocking(*manager, "Checkpoint", "s", ("",))
            run.until("the checkpoint to end", lambda: run.session.call_blocking(*manager, "GetState", None, ()) == 1)
            # A session's end under way shows as a thread of its own (ps -L) while kintone has yet to hear of it.
            tasks = f"/proc/{run.a11y.call_blocking(*DBUS, 'GetConnectionUnixProcessID', 's', (run.app[0],))}/task"
            threads = [run.log(f"{tasks}/{task}/comm").strip() for task in os.listdir(tasks)]
            assert not ("stampo-ending" in threads or all(end for _, _, end in run.days()) or written_status()), \
                f"a session save ended the working day: {threads}, {run.days()}"
            session.kill()
        else:
            run.start(["xfce4-session-logout", "--logout", "--fast"], "logout.log").wait(WAIT)
        assert (written := run.until("stampo to end", written_status)) == expected, f"stampo's status: {written}"
        run.check_ended(count)
        with contextlib.suppress(subprocess.TimeoutExpired):
            session.wait(WAIT)


def wayland_scenario(run, stampo):
    """On a Wayland session stampo runs through Xwayland where it can, where logging out (SIGHUP) ends the open day;
    else on Wayland itself, where the compositor going away ends it."""
    run.step = "logging out with a working day open, on Xwayland"
    run.start_stampo(stampo)
    # Shown on the accessibility bus a moment before Xwayland maps its X window.
    run.until("stampo's windows on Xwayland's X server",
              lambda: run.x("xdotool", "search", "--onlyvisible", "--classname", "^stampo$"))
    run.start_working()
    run.stampo.send_signal(signal.SIGHUP)
    run.ended()
    run.check_ended(1)
    run.step = "the compositor going away with a working day open, on Wayland itself"
    del run.env["DISPLAY"]
    run.start_working(stampo)
    run.display_server.kill()
    run.ended(1)
    run.check_ended(2)


# Each run: its name, its display (bare X, openbox, GNOME Shell with a keyring, weston), its tray host, its scenario.
DESKTOPS = (
    ("openbox with trayer", "openbox", "xembed", tray_scenario),
    ("GNOME Shell with the AppIndicator extension", "gnome-shell", "gnome-shell", tray_scenario),
    ("openbox with xfce4-panel's status tray", "openbox", "xfce4-panel", tray_scenario),
    ("openbox with lxqt-panel's status notifier", "openbox", "lxqt-panel", tray_scenario),
    ("xfce4-session as session manager", "x", None, session_manager_scenario),
    ("weston with Xwayland", "weston", None, wayland_scenario))


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    tools = ("Xvfb", "openbox", "trayer", "xdotool", "xprop", "weston", "Xwayland", "dbus-daemon", "dbus-send",
             "gnome-keyring-daemon", "xfce4-session", "xfce4-session-logout", "/usr/libexec/at-spi-bus-launcher",
             "dbus-monitor", "gnome-shell", "xfce4-panel", "lxqt-panel",
             "/usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqwayland-generic.so",
             "/usr/share/gnome-shell/extensions/ubuntu-appindicators@ubuntu.com")
    missing = [tool for tool in tools if not (shutil.which(tool) or os.path.exists(tool))]
    missing += ["python3-dbus"] * (dbus is None)
    if missing:
        print(f"stampo_e2e: skipped, missing {', '.join(missing)} (scripts/setup installs them)")
        return 77
    for stop in (signal.SIGTERM, signal.SIGINT):  # as an exception, so that the clean-up below runs
        signal.signal(stop, lambda signum, frame: sys.exit(f"stampo_e2e: interrupted by signal {signum}"))
    for desktop, display, tray, scenario in (d for d in DESKTOPS if os.environ.get("STAMPO_E2E_ONLY", "") in d[0]):
        with tempfile.TemporaryDirectory(prefix="stampo-e2e-") as work:
            run = Run(work, display, tray)
            try:
                run.start_services(os.path.abspath(argv[2]))
                scenario(run, os.path.abspath(argv[1]))
            except Exception as failure:
                if not isinstance(failure, AssertionError):
                    traceback.print_exc()
                tail = "".join(run.log("stampo.log").splitlines(True)[-40:])
                failure = f"{failure}\n--- stampo's output (tail) ---\n{tail}"
                print(f"stampo_e2e: FAILED on {desktop}, at {run.step}: {failure}", file=sys.stderr)
                return 1
            finally:
                run.stop_all()
    print("stampo_e2e: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
