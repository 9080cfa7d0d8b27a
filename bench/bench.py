#!/usr/bin/python3
"""usage: bench.py BUILD_DIR [--only list|idle|startup] [--latency MS] [--runs N] [--idle-seconds N] [USERS [RECORDS]]

Stampo's benchmarks, one line per figure: figure, value, goal, PASS or MISS ("-" for a figure without a goal).
  list     10,000 users (101 pages) and 50,000 records through a cursor with MS of latency added each way
           (default 10): wall time against the floor (the requests of a read of one page after another x round
           trip), connections opened.
  idle     the stampo binary on Xvfb with trayer against the simulator, employee window open, once start-up has
           settled: CPU time, wake-ups and memory over --idle-seconds (default 60); the memory also beside a bare
           Qt tray program's, and by kind.
  startup  exec to the tray icon embedded in trayer, stampo against a bare Qt tray program.
--runs: how often each timed figure is measured (list 3, startup 11); the median is judged, the range shows the noise.
Where the benchmark may, its processes run at real-time priority (chrt -f 1) so that other work on the machine does
not time them; the first lines say which, and the machine's load."""

import argparse, contextlib, os, re, select, signal, statistics, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
import keyring_session  # noqa: E402

WAIT = 30.0
AUTH_CODE = "dXNlcjpwYXNzd29yZA=="  # user:password, which the simulator accepts
# The simulator's sample attendance app: start and end DATETIME, employee USER_SELECT.
SETTINGS = f"""[General]
subDomain=example
topLevelDomain=com
appID=1
fieldIn=start
fieldInType=DATETIME
fieldOut=end
fieldOutType=DATETIME
fieldUser=employee
fieldUserType=USER_SELECT
fieldUserDisplay=
proxyHost=
proxyPort=
proxyUser=
proxyPassword=
authCode={AUTH_CODE}
"""


def report(figure, value, goal="-", verdict="-"):
    print(f"{figure:<38} {value:<58} {goal:<10} {verdict}", flush=True)


def verdict(passed):
    return "PASS" if passed else "MISS"


def spread(values, unit="", digits=1):
    """"median (min-max, n runs)": how noisy a timed figure is."""
    fmt = f"{{:.{digits}f}}"
    return (f"{fmt.format(statistics.median(values))}{unit} "
            f"({fmt.format(min(values))}-{fmt.format(max(values))}, {len(values)} run{'s' * (len(values) > 1)})")


def realtime():
    """The command prefix that runs a process at real-time priority, or none where that is not allowed."""
    with contextlib.suppress(OSError):
        if subprocess.run(["chrt", "-f", "1", "true"], capture_output=True).returncode == 0:
            return ["chrt", "-f", "1"]
    return []


# List load


def netem_available(unshare):
    probe = "ip link set lo up && tc qdisc add dev lo root netem delay 1ms"
    return subprocess.run(["unshare", unshare, "sh", "-c", probe], capture_output=True).returncode == 0


def list_goal(name, sequential):
    """The most wall time / floor may be. The cursor's pages are read one after another; the users pages are asked for
    ahead, up to four at a time, which a long list must show."""
    if name == "users":
        return 0.35 if sequential >= 101 else None
    return 1.10


def list_load(args, prefix):
    bench = os.path.join(args.build, "bench", "stampo-bench-paging")
    unshare = "-n" if os.getuid() == 0 else "-rn"
    netem = args.latency > 0 and netem_available(unshare)
    # Without netem the simulator holds each answer for the whole round trip.
    delay = 0 if netem else 2 * args.latency
    argv = [bench, str(args.users), str(args.records), str(delay), str(args.runs or 3)]
    if netem:
        shell = 'ip link set lo up && tc qdisc add dev lo root netem delay "$0"ms && exec "$@"'
        argv = ["unshare", unshare, "sh", "-c", shell, str(args.latency), *argv]
    how = "tc netem on a private loopback" if netem else "held by the simulator (no netem in this kernel)"
    print(f"# list: {args.latency} ms latency each way, {how}" if args.latency else "# list: no latency added")
    runs = {}
    for line in subprocess.run(prefix + argv, capture_output=True, text=True, check=True).stdout.splitlines():
        if match := re.fullmatch(r"(\w+) run=\d+ (.*)", line):
            fields = {k: float(v) for k, v in (kv.split("=") for kv in match[2].split())}
            runs.setdefault(match[1], []).append(fields)
    for name, measured in runs.items():
        walls = [m["wall_ms"] for m in measured]
        requests = int(max(m["requests"] for m in measured))
        sequential = int(max(m["sequential"] for m in measured))
        floor = sequential * 2 * args.latency
        if floor:
            ratios = [w / floor for w in walls]
            goal = list_goal(name, sequential)
            report(f"list {name}: wall time / floor", f"{spread(ratios, 'x', 3)}; {statistics.median(walls):.0f} ms "
                   f"vs {floor} ms", f"<= {goal:.2f} x" if goal else "-",
                   verdict(statistics.median(ratios) <= goal) if goal else "-")
        else:
            report(f"list {name}: wall time", spread(walls, " ms"))
        connections = int(max(m["connections"] for m in measured))
        allowed = int(max(m["connections_allowed"] for m in measured))
        report(f"list {name}: connections opened", f"{connections} (most in a run); {requests} requests",
               f"<= {allowed}" if allowed > 1 else "1", verdict(connections <= allowed))
        cpu = [m["client_cpu_ms"] / requests for m in measured]
        report(f"list {name}: client CPU per request", spread(cpu, " ms", 2))


# The desktop: Xvfb, a session bus, trayer and the simulator, as the idle and start-up benchmarks need them.


def read_line(stream, what):
    if not select.select([stream], [], [], WAIT)[0]:
        sys.exit(f"bench: timed out waiting for {what}")
    return stream.readline().decode().strip()


class Desktop:
    """A private X display with a tray host, a session bus, the simulator, and settings for stampo in a throw-away
    home. Every process it starts leads its own process group and ends with it."""

    def __init__(self, build, prefix):
        self.build, self.prefix, self.processes = build, prefix, []
        self.scratch = tempfile.TemporaryDirectory(prefix="stampo-bench-")
        work = self.scratch.name
        # The environment's proxy would not reach the simulator.
        drop = ("WAYLAND_DISPLAY", "QT_QPA_PLATFORMTHEME", "SESSION_MANAGER", "DBUS_SESSION_BUS_ADDRESS",
                "QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
                "ALL_PROXY")
        self.env = {k: v for k, v in os.environ.items() if k not in drop}
        self.env.update({f"XDG_{d.upper()}_HOME": os.path.join(work, d) for d in ("config", "data", "cache", "state")})
        # A session's runtime directory is a tmpfs (/run/user/UID); on a disk, syncing the instance lock alone would
        # cost milliseconds of start-up.
        self.runtime = tempfile.TemporaryDirectory(prefix="stampo-bench-", dir="/dev/shm" if os.path.isdir("/dev/shm")
                                                   else None)
        self.env.update(XDG_RUNTIME_DIR=self.runtime.name, QT_QPA_PLATFORM="xcb")
        os.makedirs(os.path.join(self.env["XDG_CONFIG_HOME"], "Stampo"))
        with open(os.path.join(self.env["XDG_CONFIG_HOME"], "Stampo", "Stampo.conf"), "w") as settings:
            settings.write(SETTINGS)

    def start(self, argv, **kwargs):
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        kwargs.setdefault("stderr", subprocess.DEVNULL)
        process = subprocess.Popen(self.prefix + argv, start_new_session=True, env=self.env, **kwargs)
        self.processes.append(process)
        return process

    def stop(self, process):
        for sig in (signal.SIGTERM, signal.SIGKILL):
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, sig)
            with contextlib.suppress(subprocess.TimeoutExpired):
                process.wait(10)
                break
        if process in self.processes:
            self.processes.remove(process)

    def __enter__(self):
        try:
            return self.open()
        except BaseException:
            self.__exit__()
            raise

    def open(self):
        read_end, write_end = os.pipe()
        self.start(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24", "-nolisten", "tcp",
                    "-noreset"], pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end, "rb") as display:
            self.env["DISPLAY"] = ":" + read_line(display, "the X server's display number")
        bus = self.start(keyring_session.bus_command(self.scratch.name), stdout=subprocess.PIPE)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = read_line(bus.stdout, "the session bus address")
        # A desktop's keyring, unlocked at login, where stampo keeps the auth code after its first start.
        self.processes.append(keyring_session.start_keyring(self.env, start_new_session=True))
        simulator = self.start([os.path.join(self.build, "tools", "kintone-sim", "stampo-kintone-sim"), "--cert-dir",
                                os.path.join(self.scratch.name, "certs")], stdout=subprocess.PIPE)
        line = read_line(simulator.stdout, "the simulator's address")
        if not (match := re.fullmatch(r"listening ([0-9.]+:[0-9]+) ca=(.+)", line)):
            sys.exit(f"bench: the simulator said {line!r}")
        self.env.update(STAMPO_CONNECT_TO=match[1], STAMPO_CA_FILE=match[2], STAMPO_PROBE_HOST="localhost")
        self.start(["trayer", "--edge", "bottom", "--align", "right", "--widthtype", "request"])
        deadline = time.monotonic() + WAIT
        while not subprocess.run(["xdotool", "search", "--onlyvisible", "--classname", "^panel$"], env=self.env,
                                 capture_output=True).stdout.strip():
            if time.monotonic() > deadline:
                sys.exit("bench: trayer's panel did not show")
            time.sleep(0.05)
        return self

    def __exit__(self, *_):
        for process in reversed(list(self.processes)):
            self.stop(process)
        self.scratch.cleanup()
        self.runtime.cleanup()

    def launch_until_icon(self, argv, instance):
        """Starts `argv` and waits for its tray icon; the process and the seconds from exec to the icon."""
        watch = self.start([os.path.join(self.build, "bench", "stampo-bench-tray-watch"), instance, str(WAIT)],
                           stdout=subprocess.PIPE)
        if read_line(watch.stdout, "the tray watcher") != "ready":
            sys.exit("bench: the tray watcher did not start")
        began = time.monotonic()
        process = self.start(argv)
        shown = read_line(watch.stdout, f"the tray icon of {argv[0]}")
        self.stop(watch)
        if not shown.startswith("shown "):
            sys.exit(f"bench: no tray icon from {argv[0]}")
        return process, float(shown.split()[1]) - began


# Idle


def task_counters(pid):
    """CPU time in ns and context switches, summed over the process's threads, and the number of threads."""
    cpu = switches = threads = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with contextlib.suppress(FileNotFoundError):
            with open(f"/proc/{pid}/task/{task}/schedstat") as schedstat:
                cpu += int(schedstat.read().split()[0])
            with open(f"/proc/{pid}/task/{task}/status") as status:
                switches += sum(int(line.split()[1]) for line in status if "ctxt_switches:" in line)
            threads += 1
    return cpu, switches, threads


def clock_ticks(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def memory_kb(pid):
    with open(f"/proc/{pid}/status") as status:
        rss = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    with open(f"/proc/{pid}/smaps_rollup") as rollup:
        pss = next(int(line.split()[1]) for line in rollup if line.startswith("Pss:"))
    return rss, pss


def resident_by_mapping(pid):
    """Resident kB per mapped file ("" for the heap, stacks and other anonymous memory)."""
    resident, name = {}, ""
    with open(f"/proc/{pid}/smaps") as smaps:
        for line in smaps:
            fields = line.split()
            if re.fullmatch(r"[0-9a-f]+-[0-9a-f]+", fields[0]):
                name = fields[5] if len(fields) > 5 and fields[5].startswith("/") else ""
            elif fields[0] == "Rss:":
                resident[name] = resident.get(name, 0) + int(fields[1])
    return resident


def settle(pid):
    """Waits until a whole second passes without a millisecond of CPU time."""
    deadline = time.monotonic() + WAIT
    before = task_counters(pid)[0]
    while True:
        time.sleep(1)
        now = task_counters(pid)[0]
        if now - before < 1_000_000 or time.monotonic() > deadline:
            return
        before = now


def idle(args, prefix):
    stampo = os.path.join(args.build, "src", "stampo")
    bare = os.path.join(args.build, "bench", "stampo-bench-bare-tray")
    with Desktop(args.build, prefix) as desktop:
        process, _ = desktop.launch_until_icon([stampo], "stampo")
        settle(process.pid)
        cpu0, switches0, _ = task_counters(process.pid)
        ticks0 = clock_ticks(process.pid)
        time.sleep(args.idle_seconds)
        cpu1, switches1, threads = task_counters(process.pid)
        ticks1 = clock_ticks(process.pid)
        rss, pss = memory_kb(process.pid)
        mapped = resident_by_mapping(process.pid)
        desktop.stop(process)
        # The yardstick: what Qt and the system cost a tray program that does nothing.
        process, _ = desktop.launch_until_icon([bare], "stampo-bench-bare-tray")
        settle(process.pid)
        bare_rss = memory_kb(process.pid)[0]
        bare_mapped = resident_by_mapping(process.pid)
        desktop.stop(process)
    per_minute = 60.0 / args.idle_seconds
    hz = os.sysconf("SC_CLK_TCK")
    cpu_ms = (cpu1 - cpu0) / 1e6 * per_minute
    print(f"# idle: {args.idle_seconds:g} s after start-up settled, employee window open, {threads} threads")
    report("idle: CPU time per minute", f"{cpu_ms:.2f} ms (schedstat; utime+stime "
           f"{(ticks1 - ticks0) * 1000 / hz * per_minute:.0f} ms at {1000 // hz} ms resolution)", "< 10 ms",
           verdict(cpu_ms < 10))
    report("idle: wake-ups per minute", f"{(switches1 - switches0) * per_minute:.1f} (context switches, all threads)")
    report("idle: resident memory (VmRSS)", f"{rss / 1024:.1f} MB", "< 40 MB", verdict(rss < 40 * 1024))
    report("idle: proportional memory (PSS)", f"{pss / 1024:.1f} MB")
    report("idle: bare Qt tray's resident memory", f"{bare_rss / 1024:.1f} MB")
    kinds = dict.fromkeys(("heap and stacks", "fonts", "libraries the bare tray maps too", "other libraries and stampo"), 0)
    for name, kb in mapped.items():
        kind = ("heap and stacks" if not name else "fonts" if name.startswith("/usr/share/fonts/") else
                "libraries the bare tray maps too" if name in bare_mapped else "other libraries and stampo")
        kinds[kind] += kb
    report("idle: resident memory by kind", ", ".join(f"{kb / 1024:.1f} MB {kind}"
                                                               for kind, kb in kinds.items()))


# Start-up


def startup(args, prefix):
    programs = (("bare Qt tray", [os.path.join(args.build, "bench", "stampo-bench-bare-tray")],
                 "stampo-bench-bare-tray"), ("stampo", [os.path.join(args.build, "src", "stampo")], "stampo"))
    times = {name: [] for name, _, _ in programs}
    with Desktop(args.build, prefix) as desktop:
        # The first round fills the page cache and is not counted; the programs take turns so that both see the
        # same changes in the machine's load.
        for round_ in range((args.runs or 11) + 1):
            for name, argv, instance in programs:
                process, seconds = desktop.launch_until_icon(argv, instance)
                desktop.stop(process)
                if round_:
                    times[name].append(seconds * 1000)
    bare, stampo = (statistics.median(times[name]) for name, _, _ in programs)
    report("startup: bare Qt tray to icon", spread(times["bare Qt tray"], " ms"))
    report("startup: stampo to icon", spread(times["stampo"], " ms"))
    report("startup: stampo / bare", f"{stampo / bare:.2f}x (of the medians)", "<= 1.20 x", verdict(stampo / bare <= 1.2))


def main():
    parser = argparse.ArgumentParser(usage=__doc__.splitlines()[0].removeprefix("usage: "))
    parser.add_argument("build")
    parser.add_argument("--only", choices=("list", "idle", "startup"))
    parser.add_argument("--latency", type=int, default=10)
    parser.add_argument("--runs", type=int)
    parser.add_argument("--idle-seconds", type=float, default=60)
    parser.add_argument("users", type=int, nargs="?", default=10000)
    parser.add_argument("records", type=int, nargs="?", default=50000)
    args = parser.parse_intermixed_args()
    prefix = realtime()
    print(f"# {'real-time priority (chrt -f 1)' if prefix else 'normal priority'}; "
          f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")
    for name, benchmark in (("list", list_load), ("idle", idle), ("startup", startup)):
        if args.only in (None, name):
            benchmark(args, prefix)


if __name__ == "__main__":
    main()
