"""Long runs of the agent against the cloud: the soak and the leak check.

  soak       --cycles drops of both links while video flows (the soak
             scenario); the agent's descriptors and VmRSS after the warm-up
             and at the end must match. Progress lines as it goes.
  leakcheck  the agent under valgrind --leak-check=full, three times: an
             alarm with its upload and report, then a few reconnect cycles
             with video and commands; the logic and relay faults of the
             fault scenario; and the faults that make the agent wait (silent
             servers, an unanswered upload, a refusing logic server). The agent is ended with SIGTERM, on which valgrind
             still makes its leak report. Nothing may be definitely or
             indirectly lost, and memcheck may report no error.
  faults     the fault scenario with the faults of --faults, for running
             one by hand (the flood faults reproduce open problems).

Run through tools/soak and tools/leakcheck, which build first. Exit status
0 when the run passed, 1 when it failed, 77 when no network namespace can
be made.
"""
import argparse
import json
import os
import re
import signal
import sys

from . import harness

SYNTHETIC_VIDEO = {"NETLIB_SIM_MEDIA": "", "NETLIB_SIM_FRAME_BYTES": "8192",
                   "NETLIB_SIM_FPS": "25"}
VALGRIND = ["valgrind", "--tool=memcheck", "--leak-check=full",
            "--show-leak-kinds=definite,indirect,possible", "--errors-for-leak-kinds=definite,indirect",
            "--num-callers=30", "--child-silent-after-fork=yes"]
# Seconds valgrind gets after SIGTERM for its leak report.
VALGRIND_GRACE_S = 120
# The faults whose error paths the leak check walks. The stalled relay is
# left to the fault tests, and so is the overlong upload URL: its alarm
# would come within 30 s of the one that logic-overlong raises, and be
# ignored. The agent's long waits (with their own alarm) run on their own.
LEAKCHECK_FAULTS = ["logic-noise", "logic-dribble", "logic-overlong", "logic-cut",
                    "logic-oversize", "relay-noise", "relay-dribble", "relay-overlong",
                    "relay-cut", "relay-oversize", "relay-refuse"]


def parse(argv):
    p = argparse.ArgumentParser(prog="cloudsim.longruns", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("what", choices=("soak", "leakcheck", "faults"))
    p.add_argument("--faults", default="", help="faults: comma-separated fault names")
    p.add_argument("--agent", required=True, help="the cloud-agent-local executable")
    p.add_argument("--netlib", required=True, help="the simulated libNetLib.so")
    p.add_argument("--out", required=True, help="output folder")
    p.add_argument("--cycles", type=int, help="reconnect cycles (soak 1000, leakcheck 5)")
    p.add_argument("--warmup-cycles", type=int, help="cycles before the first reading "
                   "(soak 20, leakcheck 1)")
    p.add_argument("--progress-every", type=int, default=50)
    p.add_argument("--rss-tolerance-kb", type=int, default=256)
    return p.parse_args(argv)


def sessions(a):
    """(output folder, cloud arguments, time limit) of each run."""
    cycles = a.cycles or (1000 if a.what == "soak" else 5)
    warmup = a.warmup_cycles if a.warmup_cycles is not None else (20 if a.what == "soak" else 1)
    soak = ["--scenario", "soak", "--cycles", str(cycles), "--warmup-cycles", str(warmup),
            "--progress-every", str(a.progress_every), "--rss-tolerance-kb",
            str(a.rss_tolerance_kb), "--no-video-file"]
    if a.what == "soak":
        return [(a.out, soak, cycles * 15 + 300)]
    if a.what == "faults":
        return [(a.out, ["--scenario", "faults", "--no-video-file", "--faults", a.faults], 600)]
    slow = ["--start-timeout", "90"]
    return [(os.path.join(a.out, "reconnects"), soak + slow + ["--soak-alarm"], cycles * 15 + 300),
            (os.path.join(a.out, "faults"), ["--scenario", "faults", "--no-video-file",
                                             "--faults", ",".join(LEAKCHECK_FAULTS)] + slow, 600),
            (os.path.join(a.out, "waits"), ["--scenario", "faults", "--no-video-file",
                                            "--faults", "silences"] + slow, 600)]


def run(a, net, out, cloud_args, limit):
    os.makedirs(out, exist_ok=True)
    prefix = []
    grace = 3.0
    vlog = os.path.join(os.path.abspath(out), "valgrind.log")
    if a.what == "leakcheck":
        prefix = VALGRIND + ["--log-file=" + vlog]
        grace = VALGRIND_GRACE_S
        if os.path.exists(vlog):
            os.unlink(vlog)
    res = harness.run_session(a.agent, a.netlib, out, net, duration=0, pace=0.3,
                              extra_cloud_args=cloud_args, agent_env=SYNTHETIC_VIDEO,
                              agent_prefix=prefix, agent_grace=grace, cloud_limit=limit)
    res["valgrind_log"] = vlog if a.what == "leakcheck" else None
    return res


def leak_verdict(path):
    """(passed, lines to print) from a valgrind log."""
    try:
        with open(path, errors="replace") as f:
            text = f.read()
    except OSError as e:
        return False, ["no valgrind log: %s" % e]
    want = {}
    for kind in ("definitely lost", "indirectly lost", "possibly lost", "still reachable"):
        m = re.search(r"%s: ([0-9,]+) bytes in ([0-9,]+) blocks" % kind, text)
        if m:
            want[kind] = (int(m.group(1).replace(",", "")), int(m.group(2).replace(",", "")))
    no_leaks = "All heap blocks were freed -- no leaks are possible" in text
    errors = re.search(r"ERROR SUMMARY: ([0-9,]+) errors", text)
    lines = ["%s: %d bytes in %d blocks" % (k, v[0], v[1]) for k, v in want.items()]
    if errors:
        lines.append("memcheck errors (leaks counted: definite and indirect): %s"
                     % errors.group(1))
    signal_line = re.search(r"Process terminating with default action of signal.*", text)
    if signal_line:
        lines.append(signal_line.group(0))
    if not errors or not (no_leaks or ("definitely lost" in want and "indirectly lost" in want)):
        return False, lines + ["valgrind did not finish its report (see %s)" % path]
    passed = errors.group(1) == "0" and all(want.get(k, (0, 0))[0] == 0 for k in
                                             ("definitely lost", "indirectly lost"))
    return passed, lines


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    a = parse(argv)
    mode, why = harness.detect()
    if mode == "host":
        print("%s: network namespaces are not permitted here (%s)" % (a.what, why))
        return 77
    if mode == "userns" and not os.environ.get(harness.INSIDE_USERNS):
        return harness.reexec_in_userns([sys.executable, "-m", "cloudsim.longruns"] + argv)
    os.makedirs(a.out, exist_ok=True)

    def interrupt(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, interrupt)
    ok = True
    for out, cloud_args, limit in sessions(a):
        net = harness.Net(mode)
        try:
            net.up()
            res = run(a, net, out, cloud_args, limit)
        except KeyboardInterrupt:
            return 130
        finally:
            net.down()
        ok = report(a, mode, out, res) and ok
    print("%s: %s" % (a.what, "PASSED" if ok else "FAILED"))
    return 0 if ok else 1


def report(a, mode, out, res):
    """Prints what one run showed; True when it passed."""
    try:
        with open(os.path.join(out, "summary.json")) as f:
            summary = json.load(f)
    except (OSError, ValueError):
        print("%s: the cloud wrote no summary (exit %s)" % (a.what, res.get("cloud_exit")))
        return False
    ok = summary["ok"] and res.get("agent_alive_at_end", False)
    print()
    print("%s: %s network, cloud exit %s, agent %s at the end; output in %s"
          % (a.what, mode, res["cloud_exit"],
             "running" if res.get("agent_alive_at_end") else "NOT running", out))
    for s in summary.get("soak", {}).get("samples", []):
        print("  after cycle %5d (%6.1f s): %3s descriptors, VmRSS %s KiB"
              % (s["cycle"], s["at_s"], s["fds"], s["rss_kb"]))
    for m in summary["milestones"]:
        if m["status"] != "reached":
            print("  %s: %s %s" % (m["label"], m["status"], m["detail"]))
    for v in summary["violations"][:20]:
        print("  VIOLATION %s: %s" % (v.get("link"), v.get("what")))
    if a.what == "leakcheck":
        passed, lines = leak_verdict(res["valgrind_log"])
        print("valgrind (%s):" % res["valgrind_log"])
        for line in lines:
            print("  " + line)
        ok = ok and passed
    return ok


if __name__ == "__main__":
    sys.exit(main())
