#!/usr/bin/env python3
"""Turns the RESULT lines of run-bench.sh into markdown tables: one per
thread placement for the throughput workloads (medians of the repetitions
with their spread, vemnet against Asio, the goal and whether it is met),
then one of the other figures; and the ping-pong chart (messages/s against
connections, threads left to the scheduler).

usage: report.py results.txt [--chart out.png]
Exits 1 when a benchmark has no figure at all."""
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import zlib


def parse(path):
    runs, notes = [], []
    for line in open(path):
        line = line.strip()
        if not line.startswith("RESULT "):
            if line:
                notes.append(line)
            continue
        kv = {}
        for tok in line.split()[1:]:
            if "=" in tok:
                k, v = tok.split("=", 1)
                kv[k] = v
        if kv.get("ok") == "1":
            runs.append(kv)
    return runs, notes


def values(runs, field, **match):
    # Lines written before the placement was printed were the split one.
    return [float(r[field]) for r in runs
            if field in r and all(r.get(k, "split" if k == "pin" else None) == v for k, v in match.items())]


def med(runs, field, **match):
    vals = values(runs, field, **match)
    return statistics.median(vals) if vals else None


def spread(runs, field, digits=0, **match):
    """median (min–max, n runs)"""
    vals = values(runs, field, **match)
    if not vals:
        return "–"
    m = statistics.median(vals)
    if len(vals) == 1:
        return fmt(m, digits)
    return f"{fmt(m, digits)} ({fmt(min(vals), digits)}–{fmt(max(vals), digits)}, {len(vals)})"


PLACEMENTS = [("none", "threads left to the scheduler, as hosts run them"),
              ("split", "server loop on CPU 0, client loop on CPU 1")]


def fmt(v, digits=0):
    if v is None:
        return "–"
    if digits == 0:
        return f"{v:,.0f}"
    return f"{v:,.{digits}f}"


def main():
    args = sys.argv[1:]
    if not args:
        print(__doc__)
        return 2
    chart = None
    if "--chart" in args:
        i = args.index("--chart")
        chart = args[i + 1]
        del args[i:i + 2]
    runs, notes = parse(args[0])
    rows = []
    missing = []

    def row(name, unit, v, peers, goal, ok, ratio):
        rows.append((name, unit, v, peers, ratio, goal, ok))

    def higher_better(name, unit, vem, peer_vals, target, digits=0):
        best = max([p for p in peer_vals.values() if p is not None], default=None)
        ratio = vem / best if (vem is not None and best) else None
        peers = ", ".join(f"{k} {fmt(v, digits)}" for k, v in peer_vals.items())
        goal = f"≥ {target:.1f}× faster peer" if target else "–"
        ok = ("yes" if ratio >= target else "**no**") if (target and ratio is not None) else "–"
        if vem is None:
            missing.append(name)
        row(name, unit, fmt(vem, digits), peers, goal, ok, f"{ratio:.2f}" if ratio else "–")

    # Throughput, once per placement: vemnet against Asio.
    tables = []
    pp = {}
    for pin, title in PLACEMENTS:
        trows = []
        for bench, field, unit, cases, goals in [
                ("pingpong", "rate", "msg/s", ["1", "100", "1000", "10000"], {"1": 1.1, "100": 1.1, "1000": 1.1, "10000": 1.1}),
                ("bulk", "mbps", "MB/s", [None], {None: 1.1}),
                ("connrate", "rate", "conn/s", [None], {})]:
            for c in cases:
                match = dict(bench=bench, pin=pin, **({"conns": c} if c else {}))
                vem = med(runs, field, lib="vemnet", **match)
                asio = med(runs, field, lib="asio", **match)
                if vem is None and asio is None:
                    continue
                name = {"pingpong": f"ping-pong, {c} conn", "bulk": "bulk, 1 conn",
                        "connrate": "connection rate"}[bench]
                if bench == "pingpong" and pin == "none":
                    pp[int(c)] = {lib: med(runs, field, lib=lib, **match) for lib in ["vemnet", "libevent", "asio"]}
                ratio = vem / asio if (vem and asio) else None
                target = goals.get(c)
                ok = ("yes" if ratio >= target else "**no**") if (target and ratio is not None) else "–"
                if vem is None:
                    missing.append(f"{name} ({pin})")
                trows.append((name, unit, spread(runs, field, lib="vemnet", **match),
                              spread(runs, field, lib="asio", **match), spread(runs, field, lib="libevent", **match),
                              f"{ratio:.2f}" if ratio else "–", f"≥ {target:.1f}× asio" if target else "–", ok))
        if trows:
            tables.append((pin, title, trows))
    same = {lib: med(runs, "rate", bench="pingpong", lib=lib, conns="1", pin="same")
            for lib in ["vemnet", "libevent", "asio"]}
    if same["vemnet"] is not None:
        higher_better("ping-pong, 1 conn, both loops on one CPU", "msg/s", same["vemnet"],
                      {"libevent": same["libevent"], "asio": same["asio"]}, None)

    # Scale.
    idle_n = None
    scale = {}
    # As hosts run it when that was measured.
    scale_pin = "none" if values(runs, "rate", bench="scale", pin="none") else "split"
    for lib in ["vemnet", "libevent"]:
        alone = med(runs, "rate", bench="scale", lib=lib, idle="0", pin=scale_pin)
        loaded_runs = [r for r in runs if r.get("bench") == "scale" and r.get("lib") == lib and r.get("idle") != "0"
                       and r.get("pin", "split") == scale_pin]
        loaded = statistics.median([float(r["rate"]) for r in loaded_runs]) if loaded_runs else None
        mem = statistics.median([float(r["bytes_per_idle"]) for r in loaded_runs]) if loaded_runs else None
        if loaded_runs:
            idle_n = loaded_runs[0]["idle"]
        cost = (1 - loaded / alone) * 100 if (alone and loaded is not None) else None
        scale[lib] = (alone, loaded, cost, mem)
    if scale["vemnet"][0] is not None:
        va, vl, vc, vm = scale["vemnet"]
        la, ll, lc, lm = scale["libevent"]
        row(f"scale: 100 active, alone → with {idle_n} idle (pin={scale_pin})", "msg/s",
            f"{fmt(va)} → {fmt(vl)}", f"libevent {fmt(la)} → {fmt(ll)}", "–", "–", "–")
        row("scale: rate lost to the idle connections", "%", fmt(vc, 1), f"libevent {fmt(lc, 1)}",
            "< 5 %", ("yes" if vc < 5 else "**no**") if vc is not None else "–", "–")
        row("scale: memory per idle connection", "bytes", fmt(vm), f"libevent {fmt(lm)}",
            "≤ libevent", ("yes" if (vm is not None and lm is not None and vm <= lm) else "**no**"),
            f"{vm / lm:.2f}" if (vm and lm) else "–")
    else:
        missing.append("scale")

    # Task latency.
    t = {lib: (med(runs, "p50_us", bench="task", lib=lib), med(runs, "p99_us", bench="task", lib=lib))
         for lib in ["vemnet", "libuv", "asio"]}
    if t["vemnet"][0] is not None:
        row("task latency p50", "µs", fmt(t["vemnet"][0], 1),
            f"libuv {fmt(t['libuv'][0], 1)}, asio {fmt(t['asio'][0], 1)}", "≤ asio",
            ("yes" if t["vemnet"][0] <= t["asio"][0] else "**no**") if t["asio"][0] is not None else "–", "–")
        row("task latency p99", "µs", fmt(t["vemnet"][1], 1),
            f"libuv {fmt(t['libuv'][1], 1)}, asio {fmt(t['asio'][1], 1)}", "≤ 1000 µs",
            "yes" if t["vemnet"][1] <= 1000 else "**no**", "–")
    else:
        missing.append("task latency")

    # Timer lateness.
    tm = {lib: (med(runs, "p50_ms", bench="timer", lib=lib), med(runs, "p99_ms", bench="timer", lib=lib))
          for lib in ["vemnet", "libevent", "asio"]}
    if tm["vemnet"][0] is not None:
        row("timer lateness p50 (10 ms timer)", "ms", fmt(tm["vemnet"][0], 3),
            f"libevent {fmt(tm['libevent'][0], 3)}, asio {fmt(tm['asio'][0], 3)}", "≤ asio",
            ("yes" if tm["vemnet"][0] <= tm["asio"][0] else "**no**") if tm["asio"][0] is not None else "–", "–")
        row("timer lateness p99 (10 ms timer)", "ms", fmt(tm["vemnet"][1], 3),
            f"libevent {fmt(tm['libevent'][1], 3)}, asio {fmt(tm['asio'][1], 3)}", "≤ 2 ms",
            "yes" if tm["vemnet"][1] <= 2 else "**no**", "–")
    else:
        missing.append("timer lateness")

    for pin, title, trows in tables:
        print(f"Throughput, {title} (pin={pin}); median (min–max, runs):")
        print()
        print("| benchmark | unit | vemnet | asio | libevent | vemnet / asio | goal | met |")
        print("|---|---|---|---|---|---|---|---|")
        for r in trows:
            print("| " + " | ".join(r) + " |")
        print()
    floor = []
    for pin, _ in PLACEMENTS:
        for c in ["1", "100", "1000", "10000"]:
            m = {lib: med(runs, "rate", bench="pingpong", pin=pin, conns=c, lib=lib)
                 for lib in ["vemnet", "asio", "uring", "uring-batch"]}
            if m["uring"] and m["uring-batch"] and m["asio"] and m["vemnet"]:
                floor.append((f"{c} conn, pin={pin}", fmt(m["vemnet"]), fmt(m["asio"]), fmt(m["uring"]),
                              fmt(m["uring-batch"]), f"{m['vemnet'] / m['asio']:.2f}",
                              f"{m['uring'] / m['asio']:.2f}", f"{m['uring-batch'] / m['asio']:.2f}"))
    if floor:
        print("Ping-pong against two floors on io_uring without a library (completions; readiness with")
        print("batched calls), msg/s medians:")
        print()
        print("| ping-pong | vemnet | asio | completions | batched readiness | vemnet / asio "
              "| completions / asio | batched / asio |")
        print("|---|---|---|---|---|---|---|---|")
        for r in floor:
            print("| " + " | ".join(r) + " |")
        print()
    print("Other figures (medians):")
    print()
    print("| benchmark | unit | vemnet | peers | vemnet / faster peer | goal | met |")
    print("|---|---|---|---|---|---|---|")
    for name, unit, v, peers, ratio, goal, ok in rows:
        print(f"| {name} | {unit} | {v} | {peers} | {ratio} | {goal} | {ok} |")
    print()
    for n in notes:
        print(f"    {n}")
    if chart and pp:
        how = draw_chart(pp, chart)
        print(f"\nchart: {chart} ({how})")
    if missing:
        print("\nno figure for: " + ", ".join(missing), file=sys.stderr)
        return 1
    return 0


COLORS = {"vemnet": (0xd6, 0x27, 0x28), "libevent": (0x1f, 0x77, 0xb4), "asio": (0x2c, 0xa0, 0x2c)}


def draw_chart(pp, path):
    libs = ["vemnet", "libevent", "asio"]
    if shutil.which("gnuplot"):
        with tempfile.TemporaryDirectory() as d:
            data = os.path.join(d, "pp.dat")
            with open(data, "w") as f:
                for c in sorted(pp):
                    f.write(f"{c} " + " ".join(str(pp[c][l] or "NaN") for l in libs) + "\n")
            plot = ", ".join(
                f"'{data}' using 1:{i + 2} with linespoints lw 2 pt 7 lc rgb '#%02x%02x%02x' title '{l}'"
                % COLORS[l] for i, l in enumerate(libs))
            script = f"""
set terminal pngcairo size 800,500 font 'sans,10'
set output '{path}'
set title 'ping-pong: 64-byte messages per second, one in flight per connection'
set xlabel 'connections'
set ylabel 'messages / s'
set logscale x
set xtics ({", ".join(f'"{c}" {c}' for c in sorted(pp))})
set yrange [0:*]
set format y '%.0s%c'
set grid
set key top right
plot {plot}
"""
            r = subprocess.run(["gnuplot"], input=script, text=True, capture_output=True)
            if r.returncode == 0 and os.path.exists(path):
                return "gnuplot"
    write_plain_png(pp, path, libs)
    return "plain PNG writer: no text; red vemnet, blue libevent, green asio; x log connections, y 0..max"


def write_plain_png(pp, path, libs):
    """A chart without any library: lines on a white canvas, axes and grid."""
    import math
    w, h, m = 640, 400, 40
    px = [[(255, 255, 255)] * w for _ in range(h)]
    cs = sorted(pp)
    ymax = max(v for c in cs for v in pp[c].values() if v) * 1.1

    def xy(c, v):
        lo, hi = math.log10(cs[0]), math.log10(cs[-1]) if len(cs) > 1 else math.log10(cs[0]) + 1
        x = m + (math.log10(c) - lo) / ((hi - lo) or 1) * (w - 2 * m)
        y = h - m - v / ymax * (h - 2 * m)
        return int(x), int(y)

    def dot(x, y, col, r=1):
        for dy in range(-r, r + 1):
            for dx in range(-r, r + 1):
                if 0 <= x + dx < w and 0 <= y + dy < h:
                    px[y + dy][x + dx] = col

    def line(a, b, col, r=1):
        n = max(abs(b[0] - a[0]), abs(b[1] - a[1]), 1)
        for i in range(n + 1):
            dot(a[0] + (b[0] - a[0]) * i // n, a[1] + (b[1] - a[1]) * i // n, col, r)

    for k in range(1, 5):
        y = h - m - k * (h - 2 * m) // 5
        line((m, y), (w - m, y), (225, 225, 225), 0)
    line((m, h - m), (w - m, h - m), (0, 0, 0), 0)
    line((m, m), (m, h - m), (0, 0, 0), 0)
    for lib in libs:
        pts = [xy(c, pp[c][lib]) for c in cs if pp[c].get(lib)]
        for a, b in zip(pts, pts[1:]):
            line(a, b, COLORS[lib])
        for p in pts:
            dot(p[0], p[1], COLORS[lib], 3)
    raw = b"".join(b"\0" + bytes(v for p in r for v in p) for r in px)

    def chunk(t, d):
        return struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d) & 0xffffffff)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) \
        + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    sys.exit(main())
