#!/usr/bin/python3
"""Soak: the real pelorin against the four demo panels for a number of minutes.

Run through bench/soak.sh, which provides the display and a private D-Bus session (the
accessibility bus finds the connect buttons). The first panel is reached through a TCP proxy in
this script that cuts the link every few seconds, so the program keeps reconnecting (and, once
its five automatic attempts are spent, is told to connect again, as an operator would).

Prints the program's resident memory, open descriptors and threads after all four cells have
connected, after the warm-up and at the end, with the journal's line count; exits 1 when memory
grew by more than 10 % after the warm-up or the descriptors grew at all, 2 when the run itself
failed.

Usage: soak.py <pelorin> <pelorin-demo-panel> <work folder> <minutes>
Environment: SOAK_WARMUP_SECONDS (120), SOAK_DROP_SECONDS (how long the link stays up, 4).
"""

import os
import re
import select
import signal
import socket
import subprocess
import sys
import threading
import time

import pyatspi

# Where a frameless window's widgets really are on the X screen: the end-to-end scenario's helpers.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from operator_scenario import centre, x_window_origin, x_window_shown  # noqa: E402

PELORIN, DEMO, WORK, MINUTES = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])
WARMUP = float(os.environ.get("SOAK_WARMUP_SECONDS", "120"))
LINK_UP = float(os.environ.get("SOAK_DROP_SECONDS", "4"))
TITLE = "Пелорин — удалённый доступ"
STARTED = time.monotonic()


class Failure(Exception):
    pass


def log(text):
    print(f"[{time.monotonic() - STARTED:7.1f} s] {text}", flush=True)


def wait_for(what, probe, timeout=30.0, interval=0.2):
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        try:
            result = probe()
            if result:
                return result
        except Exception as error:  # nodes vanish under the walk; D-Bus errors
            last = error
        time.sleep(interval)
    raise Failure(f"timed out waiting for {what}" + (f" ({last})" if last else ""))


# ---------------------------------------------------------------- the proxy in front of panel 1

class Proxy:
    """Forwards 127.0.0.1:<port> to the panel; cut() closes every link it carries."""

    def __init__(self, target_port):
        self.target = target_port
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(8)
        self.port = self.server.getsockname()[1]
        self.lock = threading.Lock()
        self.links = []  # (client socket, panel socket, accepted at)
        self.accepted = 0
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            client, _ = self.server.accept()
            try:
                panel = socket.create_connection(("127.0.0.1", self.target))
            except OSError:
                client.close()
                continue
            with self.lock:
                self.links.append((client, panel, time.monotonic()))
                self.accepted += 1
            threading.Thread(target=self._pump, args=(client, panel), daemon=True).start()

    def _pump(self, a, b):
        peers = {a: b, b: a}
        try:
            while True:
                ready, _, _ = select.select([a, b], [], [])
                for s in ready:
                    data = s.recv(65536)
                    if not data:
                        raise OSError
                    peers[s].sendall(data)
        except (OSError, ValueError):
            pass
        self._close(a, b)

    def _close(self, a, b):
        with self.lock:
            self.links = [link for link in self.links if link[0] is not a]
        for s in (a, b):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def up_since(self):
        """When the oldest live link was accepted, or None."""
        with self.lock:
            return min((link[2] for link in self.links), default=None)

    def cut(self):
        with self.lock:
            links = list(self.links)
        for client, panel, _ in links:
            self._close(client, panel)
        return len(links)


# ---------------------------------------------------------------- X input and the accessibility bus

def xdotool(*args):
    return subprocess.run(["xdotool", *[str(a) for a in args]], check=True,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout


def click_at(x, y):
    xdotool("mousemove", int(x), int(y))
    xdotool("click", 1)


def find_all(root, role=None, name=None):
    found, stack = [], [root]
    while stack:
        node = stack.pop()
        if node is None:
            continue
        try:
            if node.getRoleName() != "application" and not node.getState().contains(
                    pyatspi.STATE_SHOWING):
                continue
            if (role is None or node.getRoleName() == role) and (name is None or node.name == name):
                found.append(node)
            stack.extend(node[i] for i in range(node.childCount))
        except Exception:
            continue
    return found


def app_root(pid):
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.get_process_id() == pid:
            return app
    raise LookupError(f"process {pid} is not on the accessibility bus")


def enabled(node):
    return node.getState().contains(pyatspi.STATE_ENABLED)


# ---------------------------------------------------------------- the program

def settings_file(config_home):
    return os.path.join(config_home, "Pelorin", "PelorinVNC.conf")


def journal_lines(config_home):
    """Lines of "journalV2" as the program last saved them (each starts with its time stamp)."""
    with open(settings_file(config_home), encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith("journalV2="):
                return len(re.findall(r"\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d  ", line))
    return 0


def usage(pid):
    with open(f"/proc/{pid}/status") as f:
        status = dict(line.split(":", 1) for line in f if ":" in line)
    return {
        "rss_kib": int(status["VmRSS"].split()[0]),
        "fds": len(os.listdir(f"/proc/{pid}/fd")),
        "threads": int(status["Threads"]),
    }


class Stats:
    """The demo panels' own count of updates sent, per panel (from --stats, every 10 s)."""

    def __init__(self, stream):
        self.updates = {}
        self.lock = threading.Lock()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for raw in stream:
            m = re.match(r"(.+): (\d+) updates", raw.decode("utf-8", "replace"))
            if m:
                with self.lock:
                    self.updates[m.group(1)] = int(m.group(2))

    def snapshot(self):
        with self.lock:
            return dict(self.updates)


def main():
    config_home, home = os.path.join(WORK, "config"), os.path.join(WORK, "home")
    os.makedirs(config_home, exist_ok=True)
    os.makedirs(home, exist_ok=True)
    procs = []
    try:
        demo = subprocess.Popen([DEMO, "--base-port", "0", "--seed-settings", config_home,
                                 "--stats"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                start_new_session=True)
        procs.append(demo)
        panels = []
        while len(panels) < 4:
            line = demo.stdout.readline().decode("utf-8")
            if not line:
                raise Failure("pelorin-demo-panel stopped before all panels listened")
            words = line.split()
            panels.append((line.split(" — ")[0], int(words[-1])))
        stats = Stats(demo.stderr)
        names = [name for name, _ in panels]

        # The first panel's profile points at the proxy instead.
        proxy = Proxy(panels[0][1])
        path = settings_file(config_home)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        needle = f'\\"port\\":{panels[0][1]},'
        if text.count(needle) != 1:
            raise Failure("the seeded address book does not hold the first panel's port")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text.replace(needle, f'\\"port\\":{proxy.port},'))
        log(f"panels: {panels}; proxy for «{names[0]}» on port {proxy.port}")

        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=config_home, QT_QPA_PLATFORM="xcb",
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1")
        output = open(os.path.join(WORK, "pelorin.log"), "ab")
        app = subprocess.Popen([PELORIN], env=env, stdout=output, stderr=subprocess.STDOUT,
                               start_new_session=True)
        procs.append(app)
        wait_for("the main window", lambda: find_all(app_root(app.pid), "frame", TITLE), 60)
        wait_for("the main window placed", lambda: x_window_origin(TITLE), 30)

        def button(panel, label):
            session = find_all(app_root(app.pid), None, f"Сеанс · {panel}")[0]
            return find_all(session, "push button", label)[0]

        def connect(panel):
            """Presses the cell's connect button and answers the password prompt."""
            title = f"Подключение · {panel}"

            def pressed():
                # A window just mapped may drop the first click.
                node = button(panel, "Подключить")
                if enabled(node):
                    click_at(*centre(node))
                probe = time.monotonic() + 2
                while time.monotonic() < probe:
                    if x_window_shown(title) or enabled(button(panel, "Отключить")):
                        return True
                    time.sleep(0.1)
                return False
            wait_for(f"«Подключить» of «{panel}» to take", pressed)
            # No password is remembered, so the prompt asks each time; an empty answer connects
            # without one.
            if x_window_shown(title):
                time.sleep(0.5)  # a window just mapped may drop the first keys
                if panel == names[1]:
                    xdotool("type", "--delay", 30, "demo")
                xdotool("key", "Return")
                wait_for(f"«{title}» to close", lambda: not x_window_shown(title))
            wait_for(f"«{panel}» to start connecting",
                     lambda: enabled(button(panel, "Отключить")))

        for name in names:
            connect(name)

        # Connected means the panel sends pictures: every panel's count grows between two
        # of its reports.
        def all_sending(since):
            now = stats.snapshot()
            return len(now) == 4 and all(now[n] > since.get(n, 0) for n in names) and now
        before = wait_for("the panels' first report", lambda: len(stats.snapshot()) == 4 and
                          stats.snapshot(), 30)
        wait_for("all four panels to send updates", lambda: all_sending(before), 40)
        log("all four cells connected and receiving")

        samples = {}

        def sample(label):
            # Taken while the proxied link is up, so every cell holds its connection.
            wait_for("the proxied link", lambda: proxy.up_since() is not None, 60, 0.1)
            u = usage(app.pid)
            u["journal"] = journal_lines(config_home)
            u["drops"], u["links"] = drops, proxy.accepted
            samples[label] = u
            log(f"{label:>8}: RSS {u['rss_kib']} KiB, {u['fds']} descriptors, "
                f"{u['threads']} threads, journal {u['journal']} lines; "
                f"{drops} drops, {proxy.accepted} links to «{names[0]}»")

        drops, restarts, down_since = 0, 0, None
        sample("start")
        start = time.monotonic()
        end = start + MINUTES * 60
        warm = start + min(WARMUP, MINUTES * 60)
        last_report = {}
        while time.monotonic() < end:
            if app.poll() is not None:
                raise Failure(f"pelorin exited with {app.returncode}")
            if "warm-up" not in samples and time.monotonic() >= warm:
                sample("warm-up")
                last_report = stats.snapshot()
            since = proxy.up_since()
            if since is not None:
                down_since = None
                if time.monotonic() - since >= LINK_UP:
                    drops += proxy.cut()
            else:
                down_since = down_since or time.monotonic()
                # The retries wait longer each time (3, 6, 12 … s) and stop after five: an
                # operator who waited long enough disconnects and connects again.
                try:
                    if enabled(button(names[0], "Подключить")):
                        connect(names[0])
                        restarts += 1
                    elif time.monotonic() - down_since > 8:
                        click_at(*centre(button(names[0], "Отключить")))
                        connect(names[0])
                        restarts += 1
                except (IndexError, LookupError):
                    pass
            time.sleep(0.5)
        sample("end")
        now = stats.snapshot()
        stalled = [n for n in names if now.get(n, 0) <= last_report.get(n, 0)]
        log("updates sent per panel: " + ", ".join(f"«{n}» {now.get(n, 0)}" for n in names)
            + f"; the operator connected «{names[0]}» again {restarts} times")
        if stalled:
            raise Failure("panels without updates after the warm-up: " + ", ".join(stalled))

        w, e = samples["warm-up"], samples["end"]
        growth = (e["rss_kib"] - w["rss_kib"]) / w["rss_kib"] * 100
        log(f"after the warm-up: memory {growth:+.1f} %, descriptors {e['fds'] - w['fds']:+d}, "
            f"threads {e['threads'] - w['threads']:+d}")
        failed = []
        if growth > 10:
            failed.append(f"memory grew by {growth:.1f} % (more than 10 %)")
        if e["fds"] > w["fds"]:
            failed.append(f"descriptors grew from {w['fds']} to {e['fds']}")
        for f in failed:
            log("FAIL: " + f)
        if not failed:
            log("PASS")
        return 1 if failed else 0
    except Failure:
        subprocess.run(["import", "-window", "root", os.path.join(WORK, "failed.png")])
        raise
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGTERM)
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    os.killpg(p.pid, signal.SIGKILL)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Failure as error:
        log(f"soak failed: {error}")
        sys.exit(2)
