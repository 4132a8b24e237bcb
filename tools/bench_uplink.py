#!/usr/bin/env python3
"""The agent's video on a thin relay uplink (rows 10 to 12 of tools/bench).

Runs the agent against tools/cloudsim's "uplink" scenario in a network
namespace of its own: the relay server's port shaped with htb and a bfifo of
half a second (see tools/cloudsim/uplink.py), the simulated camera sending
25 fps with a 6,000-byte key frame each second and 850-byte frames between
(about 210 kbit/s). Delays are measured at the relay server against the
camera's handoff time, on one monotonic clock.

  tools/bench_uplink.py --agent PATH --netlib PATH [--out DIR] [--case NAME ...]

Cases: thin (96 kbit/s for 60 s), recovery (96 kbit/s for 20 s, then
unshaped for 10 s), ample (420 kbit/s for 30 s), alarm (the whole uplink at
96 kbit/s for 30 s, an alarm with a 40,000-byte snapshot 10 s in).
Exit status 0 when every goal is met, 1 when one is missed, 2 when a run
failed, 77 when no namespace can be made.
"""
import argparse
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cloudsim import harness, uplink  # noqa: E402

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


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--agent", required=True)
    p.add_argument("--netlib", required=True)
    p.add_argument("--out", default=os.path.join("out", "bench-uplink"))
    p.add_argument("--case", action="append", choices=tuple(CASES))
    a = p.parse_args(argv)
    a.out = os.path.abspath(a.out)
    os.makedirs(a.out, exist_ok=True)
    mode, why = harness.detect()
    if mode == "host":
        print("bench_uplink: no network namespace can be made here (%s)" % why)
        return 77
    if mode == "userns" and not os.environ.get(harness.INSIDE_USERNS):
        return harness.reexec_in_userns([sys.executable] + sys.argv)
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
    widths = [max(len(r[i]) for r in table) for i in range(3)] if table else [0, 0, 0]
    for r in table:
        print("  ".join([r[0].ljust(widths[0]), r[1].ljust(widths[1]), r[2].ljust(widths[2]),
                         "yes" if r[3] else "NO"]))
    return 0 if all(r[3] for r in table) else 1


if __name__ == "__main__":
    sys.exit(main())
