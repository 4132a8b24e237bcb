#!/usr/bin/env python3
"""The agent's video on a thin relay uplink (rows 10 to 15 of tools/bench).

Runs the agent against tools/cloudsim's "uplink" scenario in a network
namespace of its own: the relay server's port shaped with htb and a bfifo of
half a second (see tools/cloudsim/uplink.py), the simulated camera sending
25 fps with a 6,000-byte key frame each second and 850-byte frames between
(about 210 kbit/s). Delays are measured at the relay server against the
camera's handoff time, on one monotonic clock.

  tools/bench_uplink --agent PATH --netlib PATH [--out DIR] [--case NAME ...]
  tools/bench_uplink --matrix --agent PATH --netlib PATH [--out DIR] [--jobs N]
                     [--levels 1,4] [--shares 0.5,1.5] [--depths 60] [--key-ratio 10]
  tools/bench_uplink --compare BEFORE_OUT AFTER_OUT

Cases: thin (96 kbit/s for 60 s), recovery (96 kbit/s for 20 s, then
unshaped for 10 s), ample (420 kbit/s for 30 s), alarm (the whole uplink at
96 kbit/s for 30 s, an alarm with a 40,000-byte snapshot 10 s in).

--matrix (rows 13 to 15 of tools/bench): the camera at the rhythm of each
quality level (its frame rate and key-frame interval, key frames 25/3 times
the frames between, the level's bit rate) on uplinks of 0.25x, 0.5x, 1x,
1.5x and 2x that bit rate, behind bottlenecks of 60 ms and 500 ms; reno.
Each cell runs at least two key-frame intervals in a namespace of its own,
--jobs at a time (default 8): about five minutes for the 50 cells. Per cell:
frames delivered, the longest freeze, frame age p50 and p95 beside the floor
(one key frame's sending time at that rate), key frames asked for (SDK
journal), the largest heartbeat gap and the relay reconnects. The table is
also written as matrix.md and matrix.json in --out.

Exit status 0 when every goal is met, 1 when one is missed, 2 when a run
failed, 77 when no namespace can be made.
"""
import argparse
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from cloudsim import harness, uplink, uplink_matrix  # noqa: E402

CASES = {
    "thin": {"plan": "96:60"},
    "recovery": {"plan": "96:20,0:10"},
    "ample": {"plan": "420:30"},
    "alarm": {"plan": "96:30", "whole": True, "alarm_at": 10, "snapshot_bytes": 40000},
}


def seconds(x):
    return "-" if x is None else "%.2f s" % x


def figures(case, res):
    bounds = uplink.phase_bounds(res)
    frames = res["frames"]
    out = {"phases": []}
    for t0, t1, kbit in bounds:
        f = uplink.phase_figures(frames, t0, t1)
        f["kbit"] = kbit
        f["heartbeat_gap_max_s"] = uplink.heartbeat_gaps(res["beats"], t0, t1)
        out["phases"].append(f)
    if case == "recovery" and len(bounds) > 1:
        out["recovery"] = uplink.recovery_figures(frames, bounds[1][0], bounds[1][1])
    if case == "alarm":
        s = res.get("summary") or {}
        up = [u for u in s.get("uploads", [])]
        reports = s.get("alarm_reports", [])
        alarm_at = None
        for line in harness_lines(res):
            if "alarm: wrote 'motion'" in line:
                alarm_at = float(line[1:line.index("s]")])
                break
        out["alarm"] = {"written_at_s": alarm_at,
                        "uploaded_after_s": round(up[0]["at_s"] - alarm_at, 2)
                        if up and alarm_at is not None else None,
                        "reported_after_s": round(reports[0]["at_s"] - alarm_at, 2)
                        if reports and alarm_at is not None else None,
                        "file_bytes": up[0]["file_bytes"] if up else None}
    return out


def harness_lines(res):
    try:
        with open(os.path.join(res["out"], "cloud.log"), errors="replace") as f:
            return f.read().splitlines()
    except OSError:
        return []


def run_case(a, net, case):
    c = CASES[case]
    out = os.path.join(a.out, case)
    res = uplink.run(a.agent, a.netlib, out, net, c["plan"], whole=c.get("whole", False),
                     alarm_at=c.get("alarm_at"), snapshot_bytes=c.get("snapshot_bytes"))
    try:
        with open(os.path.join(out, "summary.json")) as f:
            res["summary"] = json.load(f)
    except (OSError, ValueError):
        res["summary"] = {}
    fig = figures(case, res)
    with open(os.path.join(out, "figures.json"), "w") as f:
        json.dump(fig, f, indent=1)
    return fig


def rows(results):
    """(what, result, goal, met) of each case measured."""
    out = []
    thin = results.get("thin")
    if thin:
        p = thin["phases"][0]
        out.append(("10 Delay on a half-rate uplink (96 kbit/s, 60 s), camera to relay server",
                    "p50 %s, p95 %s, max %s; %.1f fps, key frames at most %s apart, %d gaps "
                    "(%d not at a key frame), heartbeats at most %s apart"
                    % (seconds(p["delay_p50"]), seconds(p["delay_p95"]), seconds(p["delay_max"]),
                       p["fps"], seconds(p["longest_without_key"]), p["gaps"],
                       p["gaps_not_at_key"], seconds(p["heartbeat_gap_max_s"])),
                    "p95 <= 1 s, max <= 2 s",
                    p["delay_p95"] is not None and p["delay_p95"] <= 1.0 and p["delay_max"] <= 2.0))
    rec = results.get("recovery")
    if rec and "recovery" in rec:
        r = rec["recovery"]
        out.append(("11 Time to full rate after the uplink recovers (96 kbit/s for 20 s, then "
                    "unshaped)",
                    "%s; oldest frame after that %s; %d frames older than 0.5 s arrived after "
                    "the recovery (backlog), the oldest %s"
                    % (seconds(r["full_rate_after_s"]), seconds(r["oldest_after_full_s"]),
                       r["stale_after_recovery"], seconds(r["oldest_after_recovery_s"])),
                    "<= 2 s, then none older than 0.5 s",
                    r["full_rate_after_s"] is not None and r["full_rate_after_s"] <= 2.0
                    and (r["oldest_after_full_s"] or 0) <= 0.5))
    ample = results.get("ample")
    if ample:
        p = ample["phases"][0]
        out.append(("12 Frames dropped on a twice-the-rate uplink (420 kbit/s, 30 s)",
                    "%d dropped, %d gaps; delay p95 %s" % (p["sequence_dropped"], p["gaps"],
                                                           seconds(p["delay_p95"])),
                    "0, p95 < 0.1 s",
                    p["sequence_dropped"] == 0 and p["delay_p95"] is not None
                    and p["delay_p95"] < 0.1))
    alarm = results.get("alarm")
    if alarm:
        al = alarm["alarm"]
        out.append(("   Alarm on a thin whole uplink (96 kbit/s, 40,000-byte snapshot)",
                    "uploaded after %s, reported after %s" % (seconds(al["uploaded_after_s"]),
                                                              seconds(al["reported_after_s"])),
                    "<= 10 s", al["reported_after_s"] is not None
                    and al["reported_after_s"] <= 10.0))
    return out


def print_rows(table):
    widths = [max(len(r[i]) for r in table) for i in range(3)] if table else [0, 0, 0]
    for r in table:
        print("  ".join([r[0].ljust(widths[0]), r[1].ljust(widths[1]), r[2].ljust(widths[2]),
                         "yes" if r[3] else "NO"]))


def run_cases(a, mode):
    results = {}
    for case in a.case or list(CASES):
        net = harness.Net(mode)
        try:
            net.up()
            print("bench_uplink: %s (%s)" % (case, CASES[case]["plan"]), flush=True)
            results[case] = run_case(a, net, case)
        finally:
            net.down()
    with open(os.path.join(a.out, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    table = rows(results)
    print_rows(table)
    return 0 if all(r[3] for r in table) else 1


def run_one_cell(a, mode):
    """--cell: one cell of the matrix, in this process's own namespace."""
    cell = uplink_matrix.Cell.parse(a.cell)
    net = harness.Net(mode)
    try:
        net.up()
        uplink_matrix.run_cell(a.agent, a.netlib, a.out, net, cell)
    finally:
        net.down()
    return 0


def start_cell(a, cell):
    out = os.path.join(a.out, cell.folder())
    os.makedirs(out, exist_ok=True)
    cmd = [sys.executable, os.path.abspath(__file__), "--cell", cell.name(), "--agent", a.agent,
           "--netlib", a.netlib, "--out", out]
    log = open(os.path.join(out, "run.log"), "w")
    return subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT), out, log


def cell_figures(out):
    try:
        with open(os.path.join(out, "figures.json")) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def run_matrix(a):
    """Runs the cells a.jobs at a time, each a process of its own (so a
    namespace of its own); prints and writes the table."""
    todo = uplink_matrix.cells(a.levels, a.shares, a.depths, a.key_ratio)
    print("bench_uplink: %d cells, %d at a time; the camera at each level's rhythm:"
          % (len(todo), a.jobs))
    for level in sorted({c.level for c in todo}):
        print("  " + uplink.Rhythm(level, a.key_ratio).describe())
    sys.stdout.flush()
    pending, running, done = list(todo), {}, {}
    started = time.monotonic()
    try:
        while pending or running:
            while pending and len(running) < a.jobs:
                cell = pending.pop(0)
                running[cell] = start_cell(a, cell)
            time.sleep(0.5)
            for cell, (proc, out, log) in list(running.items()):
                if proc.poll() is None:
                    continue
                log.close()
                del running[cell]
                done[cell] = cell_figures(out)
                print("  %s done (%d of %d, %.0f s)" % (cell.name(), len(done), len(todo),
                                                        time.monotonic() - started), flush=True)
    finally:
        for proc, _, log in running.values():
            proc.terminate()
            proc.wait()
            log.close()
    results = [(c, done.get(c)) for c in todo]
    with open(os.path.join(a.out, "matrix.json"), "w") as f:
        json.dump([f for _, f in results], f, indent=1)
    with open(os.path.join(a.out, "matrix.md"), "w") as f:
        f.write(uplink_matrix.markdown_table(results) + "\n")
    print(uplink_matrix.text_table(results))
    print()
    table = uplink_matrix.bench_rows(results)
    print_rows(table)
    if any(f is None or f.get("error") for _, f in results):
        return 2
    return 0 if all(r[3] for r in table) else 1


def compare(before, after):
    def load(folder):
        with open(os.path.join(folder, "matrix.json")) as f:
            return json.load(f)
    print(uplink_matrix.compare_table(load(before), load(after)))
    return 0


def numbers(kind):
    return lambda text: [kind(x) for x in text.split(",")]


def main(argv=None):
    p = argparse.ArgumentParser(prog="tools/bench_uplink", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--agent")
    p.add_argument("--netlib")
    p.add_argument("--out", default=os.path.join("out", "bench-uplink"))
    p.add_argument("--case", action="append", choices=tuple(CASES))
    p.add_argument("--matrix", action="store_true", help="the level x uplink x bottleneck matrix")
    p.add_argument("--jobs", type=int, default=8, help="matrix cells run at once")
    p.add_argument("--levels", type=numbers(int), help="matrix: these levels only, e.g. 1,4")
    p.add_argument("--shares", type=numbers(float),
                   help="matrix: these uplinks only, as shares of the level's bit rate")
    p.add_argument("--depths", type=numbers(int), help="matrix: these bottlenecks only (ms)")
    p.add_argument("--key-ratio", type=float, default=uplink.KEY_RATIO,
                   help="matrix: the key frame as this many times the frames between (default 25/3)")
    p.add_argument("--compare", nargs=2, metavar=("BEFORE", "AFTER"),
                   help="print the matrices of two --out folders side by side (markdown)")
    p.add_argument("--cell", help=argparse.SUPPRESS)  # LEVEL:SHARE:MS, one cell (a matrix job)
    a = p.parse_args(argv)
    if a.jobs < 1:
        p.error("--jobs must be at least 1")  # else no cell ever starts
    if a.compare:
        return compare(*a.compare)
    if not a.agent or not a.netlib:
        p.error("--agent and --netlib are needed")
    a.out = os.path.abspath(a.out)
    a.agent, a.netlib = os.path.abspath(a.agent), os.path.abspath(a.netlib)
    os.makedirs(a.out, exist_ok=True)
    mode, why = harness.detect()
    if mode == "host":
        print("bench_uplink: no network namespace can be made here (%s)" % why)
        return 77
    # Each matrix cell makes its own namespace (or user namespace).
    if a.matrix:
        return run_matrix(a)
    if mode == "userns" and not os.environ.get(harness.INSIDE_USERNS):
        return harness.reexec_in_userns([sys.executable] + sys.argv)
    if a.cell:
        return run_one_cell(a, mode)
    return run_cases(a, mode)


if __name__ == "__main__":
    sys.exit(main())
