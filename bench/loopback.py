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

Usage: bench/loopback.py [--peer build/bench/bench_loopbackpeer] [--runs 5] [--seconds 5]
"""
import argparse
import os
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


def run_client(peer, which, seconds, updates):
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
    fields = dict(f.split("=") for f in out.split() if "=" in f)
    return float(fields["cpu_ms_per_update"]), int(fields["updates"]), float(fields["seconds"])


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--peer", default=os.path.join(here, "..", "build", "bench",
                                                       "bench_loopbackpeer"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--seconds", type=int, default=5)
    args = parser.parse_args()

    updates = make_updates()
    results = {"ours": [], "libvnc": [], "libvnc-paused": [], "floor": []}
    loads = []
    for run in range(args.runs):
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
          % (args.runs, args.seconds))
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
    print("  load average during the runs:  %.2f-%.2f (%d cores)"
          % (min(min(l) for l in loads), max(max(l) for l in loads), os.cpu_count()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
