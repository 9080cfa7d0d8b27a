#!/usr/bin/python3
"""usage: stampo_e2e.py STAMPO SIMULATOR
Runs stampo on a private Xvfb with trayer as tray host against the kintone simulator, from the first launch to a work
end, typing and clicking with xdotool and reading the windows over AT-SPI. Exits 77 when a tool is missing.
STAMPO_E2E_SHOTS=DIR keeps an XWD screenshot per step."""

import contextlib, datetime, http.client, json, os, re, select, shutil, signal, socket, ssl, subprocess, sys
import tempfile, time, traceback

try:
    import dbus  # Debian's python3-dbus, which scripts/setup installs
except ImportError:
    dbus = None

# The longest any one awaited event may take; generous, since the suite runs tests side by side on two cores.
WAIT = 30.0
AUTH_CODE = "dXNlcjpwYXNzd29yZA=="  # user:password, which the simulator accepts
HOST = "demo.cybozu.com"
EMPLOYEE_NAME, EMPLOYEE_CODE = "鈴木 一郎", "suzuki"
ACCESSIBLE, PROPERTIES, TEXT = "org.a11y.atspi.Accessible", "org.freedesktop.DBus.Properties", "org.a11y.atspi.Text"
SHOWING = 25  # AT-SPI state bit: the object is mapped and not hidden


class Failed(Exception):
    """What a step waited for or checked did not come true."""


def wait_for(what, probe, timeout=WAIT):
    """Polls `probe` until it returns something true; an object that vanished or a bus not up yet is "not yet"."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with contextlib.suppress(dbus.DBusException):
            if value := probe():
                return value
        time.sleep(0.05)
    raise Failed(f"timed out after {timeout:g} s waiting for {what}")


def read_line(stream, what):
    if not select.select([stream], [], [], WAIT)[0]:
        raise Failed(f"timed out waiting for {what}")
    return stream.readline().decode().strip()


def value(record, code):
    return record.get(code, {}).get("value")


def moment(record, code):
    text = value(record, code)
    if not isinstance(text, str) or not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", text):
        raise Failed(f"the record's {code} is {text!r}, not a date-time like 2024-04-01T09:00:00Z")
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ")


class Run:
    """One run: its scratch directory, its processes, and the X, AT-SPI and kintone calls the steps make."""

    def __init__(self, stampo, simulator, work):
        self.stampo_path, self.simulator_path, self.work = stampo, simulator, work
        self.processes, self.stampo, self.app, self.step, self.label, self.shots = [], None, None, "setup", None, 0
        self.shot_dir = os.environ.get("STAMPO_E2E_SHOTS")
        drop = ("WAYLAND_DISPLAY", "QT_QPA_PLATFORMTHEME", "SESSION_MANAGER", "DBUS_SESSION_BUS_ADDRESS")
        self.env = {k: v for k, v in os.environ.items() if k not in drop}
        self.env.update({f"XDG_{d.upper()}_HOME": os.path.join(work, d) for d in ("config", "data", "cache", "state")})
        # Qt serves its widgets on the accessibility bus only when asked to; no screen reader runs to ask.
        self.env.update(XDG_RUNTIME_DIR=os.path.join(work, "runtime"), QT_QPA_PLATFORM="xcb",
                        QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        os.mkdir(self.env["XDG_RUNTIME_DIR"], 0o700)

    def begin(self, label, what):
        if self.label:
            self.screenshot(self.label)
        self.label, self.step = label, what
        print(f"step: {what}", flush=True)

    def screenshot(self, label):
        """Copies the frame buffer Xvfb keeps in an XWD file."""
        if self.shot_dir:
            self.shots += 1
            os.makedirs(self.shot_dir, exist_ok=True)
            shutil.copy(os.path.join(self.work, "Xvfb_screen0"),
                        os.path.join(self.shot_dir, f"{self.shots:02d}-{label}.xwd"))

    def start(self, argv, log, **kwargs):
        """Starts `argv` leading its own process group, so that helpers it starts end with it."""
        with open(os.path.join(self.work, log), "ab") as out:
            kwargs.setdefault("stdout", out)
            self.processes.append(subprocess.Popen(argv, start_new_session=True, stderr=out, env=self.env, **kwargs))
        return self.processes[-1]

    def stop_all(self):
        for process in reversed(self.processes):
            for sig in (signal.SIGTERM, signal.SIGKILL):
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(process.pid, sig)
                with contextlib.suppress(subprocess.TimeoutExpired):
                    process.wait(5)
                    break

    def start_services(self):
        read_end, write_end = os.pipe()
        # Without -noreset the server resets whenever its last client leaves, refusing connections meanwhile.
        self.start(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24", "-nolisten", "tcp",
                    "-noreset", *(["-fbdir", self.work] if self.shot_dir else [])], "xvfb.log", pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end, "rb") as display:
            self.env["DISPLAY"] = ":" + read_line(display, "the X server's display number")
        bus = self.start(["dbus-daemon", "--session", "--nofork", "--print-address=1",
                          f"--address=unix:dir={self.work}"], "dbus.log", stdout=subprocess.PIPE)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = read_line(bus.stdout, "the session bus address")
        session = dbus.bus.BusConnection(self.env["DBUS_SESSION_BUS_ADDRESS"])
        # Asking for the accessibility bus starts it (at-spi-bus-launcher) on this display.
        address = wait_for("the accessibility bus", lambda: session.call_blocking(
            "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None, ()))
        self.a11y = dbus.bus.BusConnection(str(address))
        simulator = self.start([self.simulator_path, "--cert-dir", os.path.join(self.work, "certs")],
                               "simulator.log", stdout=subprocess.PIPE)
        line = read_line(simulator.stdout, "the simulator's address")
        if not (match := re.fullmatch(r"listening (([0-9.]+):([0-9]+)) ca=(.+)", line)):
            raise Failed(f"the simulator said {line!r}")
        self.address, self.ca_file = (match[2], int(match[3])), match[4]
        self.env.update(STAMPO_CONNECT_TO=match[1], STAMPO_CA_FILE=match[4], STAMPO_PROBE_HOST="localhost")

    def start_tray_host(self):
        self.start(["trayer", "--edge", "bottom", "--align", "right", "--widthtype", "request"], "trayer.log")
        wait_for("trayer's panel", lambda: self.xdotool("search", "--onlyvisible", "--classname", "^panel$"))

    def start_stampo(self):
        self.stampo = self.start([self.stampo_path], "stampo.log")
        registry = ("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root")
        self.app = wait_for("stampo on the accessibility bus", lambda: self.alive("its start") or next(
            (app for app in self.children(registry) if self.name(app) == "Stampo"), None))

    def alive(self, what):
        if self.stampo.poll() is not None:
            raise Failed(f"stampo ended with status {self.stampo.returncode} while waiting for {what}")

    def xdotool(self, *args):
        """The output of xdotool, "" when it failed or found nothing."""
        result = subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True, timeout=WAIT)
        return result.stdout.strip() if result.returncode == 0 else ""

    def shell(self, command, *args):
        return dict(line.split("=", 1) for line in self.xdotool(command, "--shell", *args).split())

    def geometry(self, window):
        return tuple(int(self.shell("getwindowgeometry", window).get(k, -1)) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def click(self, x, y, width, height, button="1"):
        """Clicks the middle of a rectangle (button 5 turns the wheel down there); returns the X window there."""
        self.xdotool("mousemove", str(x + width // 2), str(y + height // 2), "click", button)
        return self.shell("getmouselocation")["WINDOW"]

    def press(self, node, button="1"):
        return self.click(*self.extents(node), button)

    def type_into(self, field, text, secret=False):
        """Clicks `field`, types `text` and waits until the field holds it; of a `secret` only the length shows."""
        # Keys go to the X input focus, which no window manager moves here.
        self.xdotool("windowfocus", "--sync", self.press(field))
        self.xdotool("type", "--delay", "20", text)
        count = lambda: self.call(field, PROPERTIES, "Get", "ss", TEXT, "CharacterCount")
        self.until(f"{text!r} typed", lambda: count() == len(text) if secret else self.text(field) == text)

    def choose(self, combo, item):
        """Selects `item` in `combo` by turning the mouse wheel down over it, a notch at a time."""
        items = [self.name(n) for n in self.children(self.find(combo, "list"))]
        current = items.index(self.name(combo)) if self.name(combo) in items else -1
        if item not in items[max(current, 0):]:
            raise Failed(f"{item!r} is not offered below {self.name(combo)!r}; the box offers {items}")
        for index in range(current + 1, items.index(item) + 1):
            self.press(combo, "5")
            self.until(f"{items[index]!r} selected", lambda: self.name(combo) == items[index])

    # The application's accessible objects, each an (owner, path) pair on the accessibility bus.

    def call(self, node, interface, method, signature=None, *args):
        return self.a11y.call_blocking(*node, interface, method, signature, args, timeout=10)

    def name(self, node):
        return str(self.call(node, PROPERTIES, "Get", "ss", ACCESSIBLE, "Name"))

    def role(self, node):
        return str(self.call(node, ACCESSIBLE, "GetRoleName"))

    def parent(self, node):
        return tuple(map(str, self.call(node, PROPERTIES, "Get", "ss", ACCESSIBLE, "Parent")))

    def children(self, node):
        return [(str(owner), str(path)) for owner, path in self.call(node, ACCESSIBLE, "GetChildren")]

    def text(self, node):
        return str(self.call(node, TEXT, "GetText", "ii", 0, -1))

    def extents(self, node):
        return tuple(int(v) for v in self.call(node, "org.a11y.atspi.Component", "GetExtents", "u", 0))

    def find(self, node, role, name=None):
        """The nearest descendant of `node` with `role` (and `name`)."""
        queue = self.children(node)
        while queue:
            if self.role(found := queue.pop(0)) == role and (name is None or self.name(found) == name):
                return found
            queue += self.children(found)
        raise Failed(f"no {role} {name or ''} in {self.name(node)!r}")

    def beside(self, window, caption, role):
        """The first control of `role` after the caption `caption` in its form row."""
        label = self.find(window, "label", caption)
        row = self.children(self.parent(label))
        return next(n for n in row[row.index(label) + 1:] if self.role(n) == role)

    def windows(self):
        """The application's windows on screen; Qt lists hidden ones too."""
        return [w for w in self.children(self.app) if self.call(w, ACCESSIBLE, "GetState")[0] >> SHOWING & 1]

    def message_box(self):
        return next((w for w in self.windows() if self.role(w) == "alert message"), None)

    def until(self, what, probe, box_expected=False):
        """Waits for `probe`; stampo ending or, unless expected, a message box appearing fails the wait at once."""

        def check():
            self.alive(what)
            if not box_expected and (box := self.message_box()):
                raise Failed(f"the message box {self.name(box)!r} appeared while waiting for {what}")
            return probe()

        return wait_for(what, check)

    def window(self, title):
        shown = lambda: next((w for w in self.windows() if self.name(w) == title), None)
        return self.until(f"the window {title!r}", shown)

    def gone(self, node, what):
        self.until(f"{what} to close", lambda: node not in self.windows())

    def alert(self, message):
        """Waits for the message box, checks its text and dismisses it with its OK button."""
        box = self.until("a message box", self.message_box, box_expected=True)
        if self.name(box) != message:
            raise Failed(f"the message box says {self.name(box)!r}, not {message!r}")
        self.press(self.find(box, "push button", "OK"))
        self.until(f"the message box {message!r} to close", lambda: box not in self.windows(), box_expected=True)

    def kintone(self, method, path, body=None):
        """The simulator's answer, over HTTPS as any client would ask."""
        context = ssl.create_default_context(cafile=self.ca_file)
        connection = http.client.HTTPSConnection(HOST, context=context)
        # Connected to the simulator's loopback address, verified for the name the application uses.
        connection.sock = context.wrap_socket(socket.create_connection(self.address, WAIT), server_hostname=HOST)
        headers = {"X-Cybozu-Authorization": AUTH_CODE} | ({"Content-Type": "application/json"} if body else {})
        connection.request(method, path, json.dumps(body) if body else None, headers)
        response = connection.getresponse()
        if response.status != 200:
            raise Failed(f"{method} {path}: {response.status} {response.read()!r}")
        return json.loads(response.read())

    def records(self):
        cursor = self.kintone("POST", "/k/v1/records/cursor.json", {"app": "1", "size": 500})
        return self.kintone("GET", f"/k/v1/records/cursor.json?id={cursor['id']}")["records"]


def scenario(run):
    run.begin("first-launch", "first launch shows the alert 'Kintone設定が未登録です'")
    run.start_stampo()
    run.alert("Kintone設定が未登録です")
    # Only now: the icon must wait for a tray host that comes after it.
    run.start_tray_host()

    run.begin("auth-code", "settings: subdomain, then an auth code from login name and password")
    form = run.window("Kintone設定")
    run.type_into(run.beside(form, "サブドメイン", "text"), "demo")
    run.press(run.find(form, "push button", "認証コード生成"))
    auth = run.window("認証コード生成")
    run.type_into(run.beside(auth, "ログイン名", "text"), "user")
    run.type_into(run.beside(auth, "ログインパスワード", "text"), "password", secret=True)
    run.press(run.find(auth, "push button", "コード生成"))
    run.gone(auth, "the auth-code window")
    code = run.beside(form, "認証コード", "text")
    run.until("the auth code in the settings form", lambda: run.text(code) == AUTH_CODE)

    run.begin("fields", "settings: app id 1, field retrieval, 出勤 / 退勤 / 社員 chosen, OK")
    run.type_into(run.beside(form, "アプリID", "text"), "1")
    run.press(run.find(form, "push button", "フィールド取得"))
    start_list = run.find(run.beside(form, "出勤日時フィールド", "combo box"), "list")
    run.until("the date-time fields offered", lambda: len(run.children(start_list)) >= 2)
    for caption, item in (("出勤日時フィールド", "出勤"), ("退勤日時フィールド", "退勤"), ("従業員フィールド", "社員")):
        run.choose(run.beside(form, caption, "combo box"), item)
    run.press(run.find(form, "push button", "OK"))
    run.gone(form, "the settings window")

    run.begin("work-start", "work start for an employee: '送信完了' and the new record")
    attend = run.window("勤務開始")
    employees = run.find(attend, "combo box")
    run.until("the employees offered", lambda: len(run.children(run.find(employees, "list"))) > 1)
    run.choose(employees, EMPLOYEE_NAME)
    run.press(run.find(attend, "push button", "勤務開始"))
    run.alert("送信完了")
    records = run.records()
    codes = [[e.get("code") for e in value(r, "employee") or []] for r in records]
    if codes != [[EMPLOYEE_CODE]] or value(records[0], "end"):
        raise Failed(f"expected one record of {EMPLOYEE_CODE!r} without an end, found {records}")
    started = moment(records[0], "start")
    run.gone(attend, "the employee window")

    run.begin("work-end", "work end from the tray menu: '送信完了' and the end date-time")
    visible = lambda: run.xdotool("search", "--onlyvisible", "--classname", "^stampo$").split()
    # With no window open, stampo's only X window on screen is its icon in trayer's panel.
    icon = wait_for("stampo's tray icon alone on screen", lambda: w[0] if len(w := visible()) == 1 else None)
    run.click(*run.geometry(icon))
    menu = wait_for("the tray menu", lambda: m[0] if len(m := [w for w in visible() if w != icon]) == 1 else None)
    # The menu holds 勤務開始, 勤務終了 and Kintone設定, rows of one height between equal margins: 勤務終了 is in its
    # middle. Another item there shows another window or message than the one awaited below.
    run.click(*run.geometry(menu))
    run.alert("送信完了")
    after = run.records()
    same = [[value(r, "$id"), value(r, "start")] for r in records + after]
    if len(after) != 1 or same[0] != same[1] or moment(after[0], "end") < started:
        raise Failed(f"expected the record {records[0]} alone, its end not before its start, found {after}")

    run.begin("quit", "stampo ends with status 0 on SIGTERM")
    run.stampo.send_signal(signal.SIGTERM)
    with contextlib.suppress(subprocess.TimeoutExpired):
        run.stampo.wait(10)
    if run.stampo.returncode != 0:
        raise Failed(f"10 s after SIGTERM stampo's status is {run.stampo.returncode} (None: still runs), not 0")


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    tools = ("Xvfb", "trayer", "xdotool", "dbus-daemon", "/usr/libexec/at-spi-bus-launcher")
    missing = [tool for tool in tools if not shutil.which(tool)] + ["python3-dbus"] * (dbus is None)
    if missing:
        print(f"stampo_e2e: skipped, missing {', '.join(missing)} (scripts/setup installs them)")
        return 77
    for stop in (signal.SIGTERM, signal.SIGINT):  # as an exception, so that the clean-up below runs
        signal.signal(stop, lambda signum, frame: sys.exit(f"stampo_e2e: interrupted by signal {signum}"))
    began = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="stampo-e2e-") as work:
        run = Run(os.path.abspath(argv[1]), os.path.abspath(argv[2]), work)
        try:
            run.start_services()
            scenario(run)
        except Exception as failure:
            reason = failure if isinstance(failure, Failed) else traceback.format_exc()
            print(f"stampo_e2e: FAILED at step '{run.step}': {reason}", file=sys.stderr)
            with contextlib.suppress(OSError):
                run.screenshot("failed")
            with contextlib.suppress(OSError), open(os.path.join(work, "stampo.log"), errors="replace") as log:
                print(f"--- stampo's output (tail) ---\n{''.join(log.readlines()[-40:])}", file=sys.stderr)
            return 1
        finally:
            run.stop_all()
    print(f"stampo_e2e: passed in {time.monotonic() - began:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
