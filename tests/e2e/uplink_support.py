"""Shared by the thin-uplink tests: one run of tools/cloudsim's uplink
scenario (see tools/cloudsim/uplink.py) in the test's own namespace."""
import os
import re
import signal
import time

import e2e_support as e2e
from cloudsim import uplink

# With a key frame each second the simulated camera sends about 210 kbit/s;
# "thin" is half of it.
THIN_KBIT = 96
# A camera at its default level: 10 fps, a 25,000-byte key frame every 10 s,
# 3,000-byte frames between (258 kbit/s).
LEVEL4 = uplink.Rhythm(4)


def run(name, plan, **kw):
    agent, netlib = e2e.paths()
    out = e2e.out_dir(name)
    net = e2e.isolated_network()
    try:
        res = uplink.run(agent, netlib, out, net, plan, **kw)
    finally:
        net.down()
    res["summary"] = e2e.load_summary(out)
    res["console"] = e2e.read_lines(res["agent_log"])
    res["bounds"] = uplink.phase_bounds(res)
    return res


def window(res):
    """Figures of the plan's first phase (uplink.cell_figures): the frames
    the camera handed over in it, wherever they arrived before the end."""
    t0, t1, _ = res["bounds"][0]
    handoffs = uplink.read_handoffs(os.path.join(res["workdir"], "handoff.log"))
    return uplink.cell_figures(res["frames"], handoffs, res["beats"], res["key_requests"],
                               t0, t1, res["bounds"][-1][1])


def ask_status(result):
    """Before the agent is stopped: a status block (SIGUSR1) on its console."""
    seen = len(e2e.read_lines(result["agent_log"]))
    os.kill(result["agent_pid"], signal.SIGUSR1)
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline:
        if any(x.startswith("channel 0:") for x in e2e.read_lines(result["agent_log"])[seen:]):
            return
        time.sleep(0.1)


def key_frames_asked(res):
    """What the last status block says of the key frames asked for, or None."""
    for line in reversed(res["console"]):
        m = re.search(r"(\d+) key frames asked", line)
        if m:
            return int(m.group(1))
    return None


def relay_connections(res):
    return res["summary"]["connections"].get("relay", 0)


def violations(res):
    """What the cloud found wrong, except heartbeat spacing within 8 to 12 s:
    on a thin path a heartbeat may arrive up to a second late (it waits
    behind the video the path holds), and the next on time."""
    out = []
    for v in res["summary"]["violations"]:
        m = re.match(r"heartbeats ([\d.]+) s apart", v["what"])
        if m and 8.0 <= float(m.group(1)) <= 12.0:
            continue
        out.append("%s: %s" % (v["link"], v["what"]))
    return out


def show(res):
    e2e.show_files(res["out"] + "/cloud.log", res["agent_log"])
