#!/usr/bin/env python3
"""CPU per update of two RFB clients fed by the same panel over loopback TCP.

A panel in this script (a separate process from the clients) answers every FramebufferUpdateRequest
with one whole 1920 x 1080 Raw update, as fast as it is asked. Against it run, in turn:
  ours          our RfbClient with the program's own 35 ms pacing (bench_loopbackpeer ours)
  libvncclient  Debian's libvncclient, asking again as soon as an update is done
  paused        libvncclient again, sleeping 35 ms after each update: it idles between updates
                as ours does, so the framebuffer and the connection are cold at each one
  floor         a bare client (blocking reads straight into memory, no toolkit, no pixel work)
                sleeping 35 ms after each update: the least any client paced like ours pays
Each client reports its whole process's user + system CPU over the run, handshake and first
update excluded, divided by the updates it received. The machine's load average is printed
around every run: the figures are only comparable at a similar load.

--encoding zrle: three panels instead, side by side in every run, each answering every request with
the whole 1920 x 1080 screen in ZRLE, two screens in turn (an operator's screen: gradients,
antialiased text, trend lines, an alarm table; --pictures demo: a demo panel's):
  demo          bench_updatepath --panel zrle, the demo panels' own encoder
  libvncserver  bench_vncserverpanel, libvncserver's encoder (built when libvncserver-dev is)
  xvnc          TigerVNC's Xvnc, the screens shown in turn every 25 ms by an X client
                (bench_updatepath --show) and compared by nobody (-CompareFB 0)
Ours asks for compression, libvncclient for ZRLE; the bare client (which does not decode) sits
out. Ours checks its last frame against the two screens, pixel for pixel: a run that ends on
neither stops the benchmark. After the runs, for each panel: what its ZRLE is made of (a bare client walks the tiles of
--tile-updates updates and counts them by subencoding), then, unless --no-callgrind, the
instructions ours and the paused libvncclient execute per update under valgrind's callgrind
(--callgrind-seconds of updates each): a count the machine's other load does not change, split
into inflating (zlib), decoding tiles (ours by subencoding) and the rest.

--slow-link: the demo panels of pelorin-demo-panel --link-kbps 2000 (another rate with
--link-kbps) instead. For each panel and each of Raw, Hextile and ZRLE, our client opens the panel
afresh and reports the bytes of the first whole-screen update and the time from its request to
the complete frame (medians of --runs, 3 by default here).

Usage: bench/loopback.py [--peer build/bench/bench_loopbackpeer] [--runs 5] [--seconds 5]
                         [--encoding raw|zrle [--pictures operator|demo] [--panels demo,...]
                          [--no-callgrind] [--callgrind-seconds 15] [--tile-updates 10]]
                         [--slow-link [--link-kbps 2000]]
"""
import argparse
import os
import random
import re
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

WIDTH, HEIGHT = 1920, 1080


def recv_exact(conn, n):
    data = bytearray()
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return bytes(data)


def make_updates():
    pixels = WIDTH * HEIGHT * 4
    header = struct.pack(">BBH", 0, 0, 1) + struct.pack(">HHHHi", 0, 0, WIDTH, HEIGHT, 0)
    # Two contents, alternated, so every update really changes the screen.
    return [header + bytes((i * 13 + seed) & 0xFF for i in range(256)) * (pixels // 256)
            for seed in (1, 2)]


def serve(conn, updates):
    """One client: a 3.8 handshake with security None, then an update per request."""
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    try:
        conn.sendall(b"RFB 003.008\n")
        recv_exact(conn, 12)
        conn.sendall(bytes([1, 1]))  # one security type: None
        recv_exact(conn, 1)
        conn.sendall(struct.pack(">I", 0))
        recv_exact(conn, 1)  # ClientInit
        name = b"loopback panel"
        fmt = bytes([32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0])
        conn.sendall(struct.pack(">HH", WIDTH, HEIGHT) + fmt + struct.pack(">I", len(name)) + name)
        sent = 0
        while True:
            kind = recv_exact(conn, 1)[0]
            if kind == 0:
                recv_exact(conn, 19)
            elif kind == 2:
                _, count = struct.unpack(">BH", recv_exact(conn, 3))
                recv_exact(conn, 4 * count)
            elif kind == 3:
                recv_exact(conn, 9)
                conn.sendall(updates[sent % 2])
                sent += 1
            elif kind == 4:
                recv_exact(conn, 7)
            elif kind == 5:
                recv_exact(conn, 5)
            elif kind == 6:
                recv_exact(conn, 3)
                recv_exact(conn, struct.unpack(">I", recv_exact(conn, 4))[0])
            else:
                raise ValueError("client message %d" % kind)
    except (EOFError, ConnectionError):
        pass
    finally:
        conn.close()


def fields_of(out):
    return dict(f.split("=") for f in out.split() if "=" in f)


class PanelProcess:
    """A panel command that prints its port first and ends with its last connection: started
    afresh for every client."""

    def __init__(self, command):
        self.command = command

    def open(self):
        self.proc = subprocess.Popen(self.command, stdout=subprocess.PIPE, text=True)
        return int(self.proc.stdout.readline())

    def close(self):
        self.proc.wait(10)


class XvncPanel:
    """TigerVNC's Xvnc at 1920 x 1080, up for the whole benchmark, with an X client showing the
    benchmark's two screens in turn over its whole screen."""

    def __init__(self, show):
        self.xvnc = self.show = None
        xvnc = shutil.which("Xvnc")
        if not xvnc:
            raise RuntimeError("Xvnc is not installed (Debian: tigervnc-standalone-server)")
        display = 40 + random.randrange(400)
        while (os.path.exists("/tmp/.X11-unix/X%d" % display)
               or os.path.exists("/tmp/.X%d-lock" % display)):
            display += 1
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.xvnc = subprocess.Popen(
            [xvnc, ":%d" % display, "-rfbport", str(self.port), "-interface", "127.0.0.1",
             "-localhost", "-nolisten", "tcp", "-geometry", "1920x1080", "-depth", "24",
             "-SecurityTypes", "None", "-CompareFB", "0", "-desktop", "bench"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while not self.answers():
            if self.xvnc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("Xvnc on :%d did not come up" % display)
            time.sleep(0.1)
        env = dict(os.environ, DISPLAY=":%d" % display, QT_QPA_PLATFORM="xcb")
        self.show = subprocess.Popen(show, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True, env=env)
        if self.show.stdout.readline().strip() != "shown":
            self.stop()
            raise RuntimeError("the screens did not show on Xvnc :%d" % display)

    def answers(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                return s.recv(12).startswith(b"RFB ")
        except OSError:
            return False

    def open(self):
        return self.port

    def close(self):
        pass

    def stop(self):
        for proc in (self.show, self.xvnc):
            if proc and proc.poll() is None:
                proc.terminate()
                proc.wait(10)


def run_client(peer, which, seconds, updates, panel=None, wrapper=(), screens=None):
    """One client process against this script's Raw panel, or against `panel` (PanelProcess or
    XvncPanel); `wrapper` goes before the client's command (valgrind); ours checks its last frame
    against the screens in the directory `screens`."""
    if panel:
        port = panel.open()
        check = [screens] if screens and which == "ours" else []
        proc = subprocess.Popen(list(wrapper) + [peer, which, "127.0.0.1", str(port),
                                                 str(seconds), "zrle"] + check,
                                stdout=subprocess.PIPE, text=True)
        out, _ = proc.communicate(timeout=seconds + 180)
        panel.close()
    else:
        server = socket.socket()
        server.bind(("127.0.0.1", 0))
        server.listen(1)
        port = server.getsockname()[1]
        proc = subprocess.Popen([peer, which, "127.0.0.1", str(port), str(seconds)],
                                stdout=subprocess.PIPE, text=True)
        server.settimeout(10)
        conn, _ = server.accept()
        server.close()
        thread = threading.Thread(target=serve, args=(conn, updates), daemon=True)
        thread.start()
        out, _ = proc.communicate(timeout=seconds + 30)
        thread.join(5)
    if proc.returncode != 0:
        raise RuntimeError("%s failed: %s" % (which, out))
    fields = fields_of(out)
    if fields.get("exact") == "0":
        raise RuntimeError("%s: the last frame is neither screen" % which)
    return float(fields["cpu_ms_per_update"]), int(fields["updates"]), float(fields["seconds"])


def slow_link(peer, demo, kbps, runs):
    """Bytes and time to the first whole screen of each demo panel over a throttled link."""
    panels = subprocess.Popen([demo, "--base-port", "0", "--link-kbps", str(kbps)],
                              stdout=subprocess.PIPE, text=True)
    try:
        # "<name> — <w> × <h>, без пароля | пароль «<p>», RFB 3.<m> — 127.0.0.1 <port>"
        lines = [panels.stdout.readline().strip() for _ in range(4)]
        print("first whole screen over %d kbit/s, medians of %d runs:" % (kbps, runs))
        print("  %-24s %-11s %8s %10s %9s" % ("panel", "", "encoding", "bytes", "seconds"))
        for line in lines:
            name, size = line.split(" — ")[0], line.split(" — ")[1].split(",")[0]
            password = re.search("«(.*)»", line)
            port = line.split()[-1]
            for encoding in ("raw", "hextile", "zrle"):
                sizes, times = [], []
                for _ in range(runs):
                    out = subprocess.run([peer, "first", encoding, "127.0.0.1", port,
                                          password.group(1) if password else ""],
                                         stdout=subprocess.PIPE, text=True, timeout=120,
                                         check=True).stdout
                    fields = fields_of(out)
                    sizes.append(int(fields["bytes"]))
                    times.append(float(fields["ms"]) / 1000)
                print("  %-24s %-11s %8s %10d %9.2f  (%.2f-%.2f)"
                      % (name, size, encoding, statistics.median(sizes),
                         statistics.median(times), min(times), max(times)), flush=True)
    finally:
        panels.terminate()
        panels.wait(10)
    print("goal: with compression (ZRLE) each first whole screen in at most 1 s")
    return 0


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--peer", default=os.path.join(here, "..", "build", "bench",
                                                       "bench_loopbackpeer"))
    parser.add_argument("--runs", type=int)
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--encoding", choices=("raw", "zrle"), default="raw")
    parser.add_argument("--pictures", choices=("operator", "demo"), default="operator")
    parser.add_argument("--panels", default="demo,libvncserver,xvnc")
    parser.add_argument("--no-callgrind", action="store_true")
    parser.add_argument("--callgrind-seconds", type=int, default=15)
    parser.add_argument("--tile-updates", type=int, default=10)
    parser.add_argument("--slow-link", action="store_true")
    parser.add_argument("--link-kbps", type=int, default=2000)
    args = parser.parse_args()
    build = os.path.dirname(os.path.dirname(os.path.abspath(args.peer)))

    if args.slow_link:
        return slow_link(args.peer, os.path.join(build, "pelorin-demo-panel"), args.link_kbps,
                         args.runs or 3)
    runs = args.runs or 5
    if args.encoding == "zrle":
        return zrle_side_by_side(args, build, runs)
    updates = make_updates()
    results = {"ours": [], "libvnc": [], "libvnc-paused": [], "floor": []}
    loads = []
    for run in range(runs):
        for which in results:
            before = os.getloadavg()[0]
            cpu, count, wall = run_client(args.peer, which, args.seconds, updates)
            loads.append((before, os.getloadavg()[0]))
            results[which].append(cpu)
            print("run %d %-13s %.3f ms CPU per update (%d updates in %.1f s, %.1f per s), "
                  "load %.2f -> %.2f" % (run + 1, which, cpu, count, wall, count / wall,
                                          loads[-1][0], loads[-1][1]), flush=True)
    ours, theirs = statistics.median(results["ours"]), statistics.median(results["libvnc"])
    print()
    print("medians of %d runs of %d s, process CPU (user + system) per 1920x1080 Raw update:"
          % (runs, args.seconds))
    print("  ours, paced 35 ms:             %.3f ms (%.3f-%.3f)"
          % (ours, min(results["ours"]), max(results["ours"])))
    print("  libvncclient, unpaced:         %.3f ms (%.3f-%.3f)"
          % (theirs, min(results["libvnc"]), max(results["libvnc"])))
    paused = statistics.median(results["libvnc-paused"])
    print("  libvncclient, 35 ms pauses:    %.3f ms (%.3f-%.3f)"
          % (paused, min(results["libvnc-paused"]), max(results["libvnc-paused"])))
    floor = statistics.median(results["floor"])
    print("  bare client, 35 ms pauses:     %.3f ms (%.3f-%.3f)"
          % (floor, min(results["floor"]), max(results["floor"])))
    print("  ratio ours / libvncclient:     %.2f (goal <= 1.0)" % (ours / theirs))
    print("  ratio ours / paused libvnc:    %.2f (both idle between updates)" % (ours / paused))
    print("  ratio ours / bare client:      %.2f (both idle between updates)" % (ours / floor))
    print_loads(loads)
    return 0


def print_loads(loads):
    print("  load average during the runs:  %.2f-%.2f (%d cores)"
          % (min(min(l) for l in loads), max(max(l) for l in loads), os.cpu_count()))


# ZRLE subencoding classes as `bench_loopbackpeer tiles` prints them, with their names here.
TILE_CLASSES = [("solid", "solid"), ("raw", "raw"), ("packed2", "packed, 2 colours"),
                ("packed4", "packed, 3-4 colours"), ("packed16", "packed, 5-16 colours"),
                ("plainrle", "plain RLE"), ("paletterle", "palette RLE")]


def tile_breakdown(peer, panel, count):
    """What the panel's ZRLE is made of, per update: {field: value} as the peer prints it."""
    port = panel.open()
    out = subprocess.run([peer, "tiles", "127.0.0.1", str(port), str(count)],
                         stdout=subprocess.PIPE, text=True, timeout=120, check=True).stdout
    panel.close()
    return fields_of(out)


def print_tiles(name, fields):
    updates = int(fields["updates"])
    classes = {key: [int(v) for v in fields[key].split("/")] for key, _ in TILE_CLASSES}
    pixels = sum(c[1] for c in classes.values())
    inflated = sum(c[2] for c in classes.values())
    tiles = sum(c[0] for c in classes.values())
    print("  %s: %.1f rectangles, %.0f KB compressed, %.0f KB inflated per update"
          % (name, int(fields["rects"]) / updates, int(fields["compressed"]) / updates / 1000,
             inflated / updates / 1000))
    for key, label in TILE_CLASSES:
        t, p, b, r = classes[key]
        if t == 0:
            continue
        print("      %-22s %5.1f %% of tiles, %5.1f %% of pixels, %5.1f %% of inflated bytes%s"
              % (label, 100 * t / tiles, 100 * p / pixels, 100 * b / inflated,
                 ", %.1f pixels a run" % (p / r) if r else ""))


# Where instructions go, by the function callgrind_annotate names: zlib's inflating, the tile
# decoding (ours split by subencoding), copies, and everything else.
def instruction_split(out_file):
    text = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", "--auto=no",
                           out_file],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                          check=True).stdout
    split = {}
    line_re = re.compile(r"^\s*([\d,]+) \(\s*[\d.]+%\)\s+(\S+?):(.*?)(?: \[(.*)\])?$")
    for line in text.splitlines():
        m = line_re.match(line)
        if not m or "PROGRAM TOTALS" in line:
            continue
        count, function, obj = int(m.group(1).replace(",", "")), m.group(3), m.group(4) or ""
        if "libz.so" in obj:
            part = "inflate"
        elif "libvncclient" in obj:
            part = "tiles"
        elif "ZrleDecoder::" in function:
            name = re.search(r"ZrleDecoder::(\w+)", function).group(1)
            part = "tiles:" + name
        elif "memcpy" in function or "memmove" in function:
            part = "copies"
        else:
            part = "rest"
        split[part] = split.get(part, 0) + count
    return split


def callgrind_run(peer, which, seconds, panel, directory):
    out_file = os.path.join(directory, "callgrind.%s.out" % which)
    wrapper = ["valgrind", "-q", "--tool=callgrind", "--instr-atstart=no",
               "--callgrind-out-file=" + out_file]
    _, count, _ = run_client(peer, which, seconds, None, panel, wrapper)
    return count, instruction_split(out_file)


def zrle_side_by_side(args, build, runs):
    bench = os.path.join(build, "bench")
    updatepath = os.path.join(bench, "bench_updatepath")
    vncserver = os.path.join(bench, "bench_vncserverpanel")
    work = tempfile.mkdtemp(prefix="loopback-zrle-")
    panels = {}
    xvnc = None
    try:
        wanted = args.panels.split(",")
        # The screens every panel shows, drawn once (a demo panel's shows the time), for the
        # panels and for ours to check its last frame against.
        subprocess.run([updatepath, "--screens", work, args.pictures], check=True,
                       stderr=subprocess.DEVNULL)
        if "demo" in wanted:
            panels["demo"] = PanelProcess([updatepath, "--panel", "zrle", work])
        if "libvncserver" in wanted:
            if os.path.exists(vncserver):
                panels["libvncserver"] = PanelProcess(
                    [vncserver] + [os.path.join(work, "screen%d.ppm" % i) for i in (0, 1)])
            else:
                print("libvncserver panel not built (install libvncserver-dev, reconfigure)")
        if "xvnc" in wanted:
            try:
                xvnc = XvncPanel([updatepath, "--show", work])
                panels["xvnc"] = xvnc
            except RuntimeError as e:
                print("xvnc panel left out: %s" % e)
        clients = ["ours", "libvnc", "libvnc-paused"]
        results = {(p, c): [] for p in panels for c in clients}
        loads = []
        for run in range(runs):
            for name, panel in panels.items():
                for which in clients:
                    before = os.getloadavg()[0]
                    cpu, count, wall = run_client(args.peer, which, args.seconds, None, panel,
                                                  screens=work)
                    loads.append((before, os.getloadavg()[0]))
                    results[(name, which)].append(cpu)
                    print("run %d %-12s %-13s %.3f ms CPU per update (%d updates in %.1f s), "
                          "load %.2f -> %.2f" % (run + 1, name, which, cpu, count, wall,
                                                  loads[-1][0], loads[-1][1]), flush=True)
        print()
        print("medians of %d runs of %d s, process CPU (user + system) per 1920x1080 ZRLE "
              "update, %s screens:" % (runs, args.seconds, args.pictures))
        print("  %-12s %9s %9s %9s   %s" % ("panel", "ours", "libvnc", "paused", "ratios ours / "
                                            "libvncclient, ours / paused (goal <= 1.0)"))
        for name in panels:
            med = {c: statistics.median(results[(name, c)]) for c in clients}
            print("  %-12s %9.3f %9.3f %9.3f   %.2f  %.2f   (ours %.3f-%.3f)"
                  % (name, med["ours"], med["libvnc"], med["libvnc-paused"],
                     med["ours"] / med["libvnc"], med["ours"] / med["libvnc-paused"],
                     min(results[(name, "ours")]), max(results[(name, "ours")])))
        print_loads(loads)

        print()
        print("what each panel's ZRLE is made of (%d updates):" % args.tile_updates)
        for name, panel in panels.items():
            print_tiles(name, tile_breakdown(args.peer, panel, args.tile_updates))

        if args.no_callgrind or not shutil.which("valgrind"):
            return 0
        print()
        print("instructions per update under callgrind (%d s of updates a client), millions:"
              % args.callgrind_seconds)
        print("  %-12s %-13s %8s %8s %8s %8s %8s" % ("panel", "client", "total", "inflate",
                                                    "tiles", "copies", "rest"))
        for name, panel in panels.items():
            totals = {}
            ours_tiles = {}
            for which in ("ours", "libvnc-paused"):
                count, split = callgrind_run(args.peer, which, args.callgrind_seconds, panel, work)
                per = {k: v / count / 1e6 for k, v in split.items()}
                tiles = sum(v for k, v in per.items() if k.startswith("tiles"))
                totals[which] = sum(per.values())
                if which == "ours":
                    ours_tiles = {k[6:]: v for k, v in per.items() if k.startswith("tiles:")}
                print("  %-12s %-13s %8.2f %8.2f %8.2f %8.2f %8.2f   (%d updates)"
                      % (name, which, totals[which], per.get("inflate", 0), tiles,
                         per.get("copies", 0), per.get("rest", 0), count), flush=True)
            print("  %-12s ratio ours / libvncclient: %.2f; our tiles by function: %s"
                  % (name, totals["ours"] / totals["libvnc-paused"],
                     ", ".join("%s %.2f" % kv for kv in sorted(ours_tiles.items(),
                                                              key=lambda kv: -kv[1])
                               if kv[1] >= 0.01)))
        return 0
    finally:
        if xvnc:
            xvnc.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
