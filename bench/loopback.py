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

--encoding zrle: the panel is bench_updatepath --panel zrle instead, whole 1920 x 1080 screens of
a demo panel in ZRLE with a zlib stream per connection, so every client decodes the same stream;
ours asks for compression, and the bare client (which does not decode) sits out.

--slow-link: the demo panels of pelorin-demo-panel --link-kbps 2000 (another rate with
--link-kbps) instead. For each panel and each of Raw, Hextile and ZRLE, our client opens the panel
afresh and reports the bytes of the first whole-screen update and the time from its request to
the complete frame (medians of --runs, 3 by default here).

Usage: bench/loopback.py [--peer build/bench/bench_loopbackpeer] [--runs 5] [--seconds 5]
                         [--encoding raw|zrle] [--slow-link [--link-kbps 2000]]
"""
import argparse
import os
import re
import socket
import statistics
import struct
import subprocess
import sys
import threading

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


def run_client(peer, which, seconds, updates, panel=None):
    """One client process against this script's Raw panel, or against the panel process that
    the command `panel` starts (it prints its port first and ends with its last connection)."""
    if panel:
        panel_proc = subprocess.Popen(panel, stdout=subprocess.PIPE, text=True)
        port = int(panel_proc.stdout.readline())
        proc = subprocess.Popen([peer, which, "127.0.0.1", str(port), str(seconds), "zrle"],
                                stdout=subprocess.PIPE, text=True)
        out, _ = proc.communicate(timeout=seconds + 60)
        panel_proc.wait(10)
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
    parser.add_argument("--slow-link", action="store_true")
    parser.add_argument("--link-kbps", type=int, default=2000)
    args = parser.parse_args()
    build = os.path.dirname(os.path.dirname(os.path.abspath(args.peer)))

    if args.slow_link:
        return slow_link(args.peer, os.path.join(build, "pelorin-demo-panel"), args.link_kbps,
                         args.runs or 3)
    runs = args.runs or 5
    zrle = args.encoding == "zrle"
    updates = None if zrle else make_updates()
    panel = [os.path.join(build, "bench", "bench_updatepath"), "--panel", "zrle"] if zrle else None
    results = {"ours": [], "libvnc": [], "libvnc-paused": []}
    if not zrle:
        results["floor"] = []
    loads = []
    for run in range(runs):
        for which in results:
            before = os.getloadavg()[0]
            cpu, count, wall = run_client(args.peer, which, args.seconds, updates, panel)
            loads.append((before, os.getloadavg()[0]))
            results[which].append(cpu)
            print("run %d %-13s %.3f ms CPU per update (%d updates in %.1f s, %.1f per s), "
                  "load %.2f -> %.2f" % (run + 1, which, cpu, count, wall, count / wall,
                                          loads[-1][0], loads[-1][1]), flush=True)
    ours, theirs = statistics.median(results["ours"]), statistics.median(results["libvnc"])
    print()
    print("medians of %d runs of %d s, process CPU (user + system) per 1920x1080 %s update:"
          % (runs, args.seconds, "ZRLE" if zrle else "Raw"))
    print("  ours, paced 35 ms:             %.3f ms (%.3f-%.3f)"
          % (ours, min(results["ours"]), max(results["ours"])))
    print("  libvncclient, unpaced:         %.3f ms (%.3f-%.3f)"
          % (theirs, min(results["libvnc"]), max(results["libvnc"])))
    paused = statistics.median(results["libvnc-paused"])
    print("  libvncclient, 35 ms pauses:    %.3f ms (%.3f-%.3f)"
          % (paused, min(results["libvnc-paused"]), max(results["libvnc-paused"])))
    if not zrle:
        floor = statistics.median(results["floor"])
        print("  bare client, 35 ms pauses:     %.3f ms (%.3f-%.3f)"
              % (floor, min(results["floor"]), max(results["floor"])))
    print("  ratio ours / libvncclient:     %.2f (goal <= 1.0)" % (ours / theirs))
    print("  ratio ours / paused libvnc:    %.2f (both idle between updates%s)"
          % (ours / paused, "; goal <= 1.0" if zrle else ""))
    if not zrle:
        print("  ratio ours / bare client:      %.2f (both idle between updates)" % (ours / floor))
    print("  load average during the runs:  %.2f-%.2f (%d cores)"
          % (min(min(l) for l in loads), max(max(l) for l in loads), os.cpu_count()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
