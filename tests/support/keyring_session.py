#!/usr/bin/env python3
"""A private session bus that activates only the services asked for, and a real gnome-keyring-daemon on it.

As a program: runs a command on such a bus with an unlocked login keyring (--keyring) or no Secret Service at all
(--no-keyring). Nothing else starts behind the test's back, a password prompt included: a keyring that needs unlocking
stays locked. The command finds the daemon's process id in STAMPO_TEST_KEYRING_PID, and in STAMPO_TEST_RESTART_KEYRING
a command line that starts a fresh one that unlocks the same keyring, as the next login does. The end-to-end test and
the benchmarks import the two functions below.
"""
import os
import subprocess
import sys
import tempfile
import time

PASSWORD = b"stampo-test"
WAIT = 20

BUS_CONFIG = """<busconfig>
  <type>session</type>
  <listen>unix:dir={work}</listen>
  <servicedir>{services}</servicedir>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""

def bus_command(work, services=()):
    """dbus-daemon's command line for a session bus in `work` that activates only the named services (as
    "org.a11y.Bus"), printing its address on standard output."""
    folder = os.path.join(work, "bus-services")
    os.makedirs(folder, exist_ok=True)
    for name in services:
        os.symlink(f"/usr/share/dbus-1/services/{name}.service", os.path.join(folder, f"{name}.service"))
    config = os.path.join(work, "bus.conf")
    with open(config, "w") as f:
        f.write(BUS_CONFIG.format(work=work, services=folder))
    return ["dbus-daemon", "--config-file", config, "--nofork", "--print-address=1"]


def secrets_owner(env):
    reply = subprocess.run(["dbus-send", "--session", "--print-reply=literal", "--dest=org.freedesktop.DBus",
                            "/org/freedesktop/DBus", "org.freedesktop.DBus.GetNameOwner",
                            "string:org.freedesktop.secrets"], env=env, capture_output=True, text=True)
    return reply.stdout.strip() if reply.returncode == 0 else None


def wait_for_keyring(env, previous=None):
    """Until a daemon other than `previous` (a unique bus name) serves the Secret Service."""
    deadline = time.monotonic() + WAIT
    while secrets_owner(env) in (None, previous):
        if time.monotonic() > deadline:
            sys.exit("keyring_session: gnome-keyring-daemon did not take the Secret Service's name")
        time.sleep(0.02)


def start_keyring(env, **popen):
    """gnome-keyring-daemon on the bus of `env`, its login keyring (in env's XDG_DATA_HOME) unlocked, once it serves."""
    keyring = subprocess.Popen(["gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"],
                               stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env,
                               **popen)
    keyring.stdin.write(PASSWORD)
    keyring.stdin.close()
    wait_for_keyring(env)
    return keyring


def main():
    if sys.argv[1] == "--restart":  # replaces the running daemon with one that unlocks the login keyring
        previous = secrets_owner(os.environ)
        subprocess.run(["gnome-keyring-daemon", "--replace", "--unlock", "--components=secrets", "--daemonize"],
                       input=PASSWORD, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return wait_for_keyring(os.environ, previous)
    mode, command = sys.argv[1], sys.argv[2:]
    with tempfile.TemporaryDirectory(prefix="stampo-keyring-") as work:
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(HOME=work, XDG_DATA_HOME=os.path.join(work, "data"), XDG_RUNTIME_DIR=os.path.join(work, "run"))
        os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
        # GLib is built without frame pointers: only the slow unwinder sees through it to the libsecret frame the leak
        # suppressions name.
        if "ASAN_OPTIONS" in env:
            env["ASAN_OPTIONS"] += ":fast_unwind_on_malloc=0"
        processes = []
        try:
            bus = subprocess.Popen(bus_command(work), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
            processes.append(bus)
            env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()
            if mode == "--keyring":
                env["STAMPO_TEST_RESTART_KEYRING"] = f"'{sys.executable}' '{os.path.abspath(__file__)}' --restart"
                keyring = start_keyring(env)
                processes.append(keyring)
                env["STAMPO_TEST_KEYRING_PID"] = str(keyring.pid)
            return subprocess.call(command, env=env)
        finally:
            # A daemon the restart started is not ours to kill: it ends with the bus it serves.
            for process in reversed(processes):
                process.kill()
                process.wait()


if __name__ == "__main__":
    sys.exit(main())
