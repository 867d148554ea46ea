#!/usr/bin/env python3
"""Measures what vindral.exe costs while it runs under Wine, beside a minimal window of our own.

Each program runs alone on a private Xvfb in a private Wine prefix against `vindral-server` on a
loopback port (a prepared INI: the server road, three exchanges, three coins). After a warm-up the
figures of its Wine process are taken from /proc over the measured time:

  RSS, PSS, private dirty   /proc/PID/smaps_rollup at the end (MB)
  threads                   /proc/PID/status
  CPU                       utime + stime of the process (/proc/PID/stat) over the time, as % of
                            one core (which is also seconds per 100 s)
  context switches          voluntary + involuntary of every thread (/proc/PID/task/*/status),
                            per minute
  wineserver + X            CPU of the prefix's wineserver and of Xvfb over the same time, the
                            share of the work that Wine moves out of the program's process

The baseline also runs with "--korean-text" (a row of its own): then it draws Korean and digits in
the ticker's six font sizes, which tells Wine's cost of those fonts apart from Vindral's own.

Every program sees an X resource database (XENVIRONMENT, one harmless entry), as in any desktop
session, where xrdb loads one at login. On a bare Xvfb there is none, and then Xlib opens
~/.Xdefaults and ~/.Xdefaults-<host> again on every resource lookup, which Wine makes for each
font selected into a display DC; `--bare-x` measures that way.

Used by bench/footprint.sh, which builds the programs first. Nothing here reaches beyond
127.0.0.1.
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

from harness import (Session, TestFailure, free_loopback_port, ini_of, stop_process,  # noqa: E402
                     wait_for, write_ini)

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
WM_CLOSE = 0x0010


# ---------------------------------------------------------------------------------------------
# /proc


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", errors="replace")
    except OSError:
        return ""


def cpu_seconds(pid):
    """utime + stime of the whole process, exited threads included."""
    text = read(f"/proc/{pid}/stat")
    if not text:
        return 0.0
    fields = text[text.rindex(")") + 2 :].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def status_field(text, name):
    match = re.search(rf"^{name}:\s+(\d+)", text, re.M)
    return int(match.group(1)) if match else 0


def context_switches(pid):
    """Voluntary and involuntary switches summed over the threads alive now."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        text = read(f"/proc/{pid}/task/{tid}/status")
        total += status_field(text, "voluntary_ctxt_switches")
        total += status_field(text, "nonvoluntary_ctxt_switches")
    return total


def memory_mb(pid):
    rollup = read(f"/proc/{pid}/smaps_rollup")
    kb = {name: status_field(rollup, name) for name in ("Rss", "Pss", "Private_Dirty")}
    return {k: v / 1024 for k, v in kb.items()}


def threads(pid):
    return status_field(read(f"/proc/{pid}/status"), "Threads")


def wine_pid(exe_name, prefix):
    """The Unix process of the Windows program exe_name running in prefix."""
    wanted = f"WINEPREFIX={prefix}".encode()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        cmdline = read(f"/proc/{entry}/cmdline")
        if not cmdline.split("\0", 1)[0].lower().endswith(exe_name.lower()):
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                if wanted in f.read().split(b"\0"):
                    return int(entry)
        except OSError:
            continue
    return None


def wineserver_pid(prefix):
    wanted = f"WINEPREFIX={prefix}".encode()
    for entry in os.listdir("/proc"):
        if entry.isdigit() and read(f"/proc/{entry}/comm").strip().startswith("wineserver"):
            try:
                with open(f"/proc/{entry}/environ", "rb") as f:
                    if wanted in f.read().split(b"\0"):
                        return int(entry)
            except OSError:
                continue
    return None


def load_average():
    return float(read("/proc/loadavg").split()[0])


# ---------------------------------------------------------------------------------------------
# Servers


def start_logged(argv, log_path, pattern, what):
    """Starts a helper whose log names its port; returns (process, port)."""
    log = open(log_path, "wb")
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    log.close()

    def port():
        if proc.poll() is not None:
            raise TestFailure(f"{what} exited with {proc.returncode}; see {log_path}")
        match = re.search(pattern, open(log_path, "rb").read())
        return int(match.group(1)) if match else None

    try:
        return proc, wait_for(port, 30, f"{what} to listen")
    except BaseException:
        stop_process(proc)
        raise


class PriceServer:
    """`vindral-server --demo`, or with `live` a server following a fake exchange's streams
    that pushes a new price of every cell every `push_ms` (its REST road goes to a closed
    loopback port: nothing is ever polled from outside)."""

    def __init__(self, args, work, live):
        self.procs = []
        if not live:
            proc, port = start_logged([args.server, "--demo", "--listen", "127.0.0.1:0"],
                                      os.path.join(work, "server.log"),
                                      rb"listening on 127\.0\.0\.1:(\d+)", "vindral-server")
            self.procs.append(proc)
        else:
            pusher, ws_port = start_logged(
                [args.pusher, "--push-ms", str(args.push_ms)], os.path.join(work, "pusher.log"),
                rb"ws://127\.0\.0\.1:(\d+)", "the live pusher")
            self.procs.append(pusher)
            proc, port = start_logged(
                [args.server, "--listen", "127.0.0.1:0", "--feeds", "live",
                 "--exchange-ws-base", f"ws://127.0.0.1:{ws_port}",
                 "--exchange-base", f"http://127.0.0.1:{free_loopback_port()}"],
                os.path.join(work, "server-live.log"), rb"listening on 127\.0\.0\.1:(\d+)",
                "vindral-server")
            self.procs.append(proc)
        self.url = f"http://127.0.0.1:{port}"

    def close(self):
        for proc in reversed(self.procs):
            stop_process(proc)


# ---------------------------------------------------------------------------------------------
# One measurement


def measure(s, pid, warmup_s, measure_s, xvfb_pid):
    """Waits warmup_s, then takes the figures of pid over measure_s."""
    server_pid = wineserver_pid(s.prefix)
    time.sleep(warmup_s)  # the warm-up is a span of time, not a condition
    load_before = load_average()
    cpu0, csw0 = cpu_seconds(pid), context_switches(pid)
    side0 = cpu_seconds(server_pid) + cpu_seconds(xvfb_pid)
    t0 = time.monotonic()
    time.sleep(measure_s)
    elapsed = time.monotonic() - t0
    cpu1, csw1 = cpu_seconds(pid), context_switches(pid)
    side1 = cpu_seconds(server_pid) + cpu_seconds(xvfb_pid)
    figures = memory_mb(pid)
    figures.update(
        threads=threads(pid),
        cpu_pct=100 * (cpu1 - cpu0) / elapsed,
        csw_min=60 * (csw1 - csw0) / elapsed,
        side_pct=100 * (side1 - side0) / elapsed,
        load=f"{load_before:.1f}-{load_average():.1f}",
    )
    return figures


def x_environment(args):
    """The environment that gives the programs an X resource database, unless --bare-x."""
    if args.bare_x:
        return {}
    path = os.path.join(os.path.abspath(args.work), "Xresources")
    with open(path, "w", encoding="ascii") as f:
        f.write("vindralFootprint.measured: true\n")
    return {"XENVIRONMENT": path}


def run_vindral(s, args, url, interval_s, label):
    write_ini(s.ini_path(), ini_of(ServerUrl=url, IntervalSec=str(interval_s),
                                   Exchanges="11100", Coins="111"))
    app = s.start_app(**x_environment(args))
    try:
        s.driver("wait", "main", 60000)
        pid = wait_for(lambda: wine_pid(os.path.basename(args.exe), s.prefix), 30,
                       "the Unix process of vindral.exe")
        figures = measure(s, pid, args.warmup, args.seconds, s._xvfb.pid)
    finally:
        s.driver("post", "main", WM_CLOSE, 0, 0)
        app.wait(timeout=30)
    figures["what"] = label
    return figures


def run_baseline(s, args, korean_text=False):
    argv = [args.baseline] + (["--korean-text"] if korean_text else [])
    app = s.start_app(name="baseline", argv=argv, **x_environment(args))
    name = os.path.basename(args.baseline)
    try:
        pid = wait_for(lambda: wine_pid(name, s.prefix), 60, "the baseline window's process")
        figures = measure(s, pid, args.warmup, args.seconds, s._xvfb.pid)
    finally:
        pid = wine_pid(name, s.prefix)
        if pid is not None:
            os.kill(pid, signal.SIGTERM)
        app.wait(timeout=30)
    figures["what"] = ("baseline window + Korean text in six fonts" if korean_text
                       else "baseline window (1 s timer)")
    return figures


# ---------------------------------------------------------------------------------------------


def print_table(rows, args):
    print()
    print(f"warm-up {args.warmup} s, measured {args.seconds} s per row; "
          "CPU in % of one core; wineserver + X: their CPU over the same time")
    header = ("what", "RSS MB", "PSS MB", "priv dirty MB", "threads", "CPU %", "csw/min",
              "wineserver+X %", "load avg")
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for r in rows:
        print(f"| {r['what']} | {r['Rss']:.1f} | {r['Pss']:.1f} | {r['Private_Dirty']:.1f} | "
              f"{r['threads']} | {r['cpu_pct']:.2f} | {r['csw_min']:,.0f} | "
              f"{r['side_pct']:.2f} | {r['load']} |")
    baselines = [r for r in rows if r["what"].startswith("baseline window (")]
    texts = [r for r in rows if r["what"].startswith("baseline window + ")]
    if not baselines:
        return
    base = {k: sum(b[k] for b in baselines) / len(baselines)
            for k in ("Rss", "Pss", "Private_Dirty", "cpu_pct", "csw_min", "side_pct")}
    print()
    print("Vindral's cost (its figure minus the baseline's mean; × the baseline):")
    for r in rows:
        if r in baselines or r in texts:
            continue
        parts = []
        for key, unit, fmt in (("Rss", "MB RSS", "{:+.1f}"), ("Private_Dirty", "MB private dirty",
                                                                "{:+.1f}"),
                               ("cpu_pct", "% CPU", "{:+.2f}"), ("csw_min", "csw/min", "{:+,.0f}")):
            ratio = r[key] / base[key] if base[key] else float("inf")
            parts.append(f"{fmt.format(r[key] - base[key])} {unit} ({ratio:.1f}×)")
        print(f"  {r['what']}: " + ", ".join(parts))
    if texts:
        text_dirty = sum(t["Private_Dirty"] for t in texts) / len(texts)
        print(f"Private dirty of the baseline drawing the same Korean text: {text_dirty:.1f} MB; "
              "Vindral against it:")
        for r in rows:
            if not r["what"].startswith("vindral"):
                continue
            print(f"  {r['what']}: {r['Private_Dirty'] - text_dirty:+.1f} MB "
                  f"({r['Private_Dirty'] / text_dirty:.2f}×)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--baseline", required=True)
    parser.add_argument("--pusher", help="the live pusher program, for --live")
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "footprint"))
    parser.add_argument("--warmup", type=float, default=20)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--intervals", default="1,5", help="Vindral's intervals in seconds")
    parser.add_argument("--repeat", type=int, default=1, help="rounds of every row")
    parser.add_argument("--live", action="store_true",
                        help="also a row on pushed boards (interval 1 s, prices every --push-ms)")
    parser.add_argument("--push-ms", type=int, default=250)
    parser.add_argument("--no-baseline", action="store_true")
    parser.add_argument("--bare-x", action="store_true",
                        help="no X resource database (Xlib then rereads ~/.Xdefaults on every lookup)")
    args = parser.parse_args()
    if args.live and not args.pusher:
        parser.error("--live needs --pusher")

    class Config:
        pass

    config = Config()
    config.exe, config.driver, config.source_dir = args.exe, args.driver, ROOT
    config.work_root = os.path.abspath(args.work)
    config.artifacts = config.work_root
    config.template_prefix = os.path.join(config.work_root, "template-prefix")
    os.makedirs(config.work_root, exist_ok=True)

    rows = []
    servers = []
    try:
        demo = PriceServer(args, config.work_root, live=False)
        servers.append(demo)
        live = None
        if args.live:
            live = PriceServer(args, config.work_root, live=True)
            servers.append(live)
        with Session(config, "footprint", print) as s:
            s.start_display()
            s.make_prefix()
            s.start_wine()
            for _ in range(args.repeat):
                if not args.no_baseline:
                    rows.append(run_baseline(s, args))
                    print(rows[-1], flush=True)
                    rows.append(run_baseline(s, args, korean_text=True))
                    print(rows[-1], flush=True)
                for interval in [int(i) for i in args.intervals.split(",") if i]:
                    rows.append(run_vindral(s, args, demo.url, interval,
                                            f"vindral.exe, {interval} s, demo server"))
                    print(rows[-1], flush=True)
                if live is not None:
                    rows.append(run_vindral(
                        s, args, live.url, 1,
                        f"vindral.exe, 1 s, pushed every {args.push_ms} ms"))
                    print(rows[-1], flush=True)
    except TestFailure as failure:
        print(f"failed: {failure}", file=sys.stderr)
        return 1
    finally:
        for server in servers:
            server.close()
    print_table(rows, args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
