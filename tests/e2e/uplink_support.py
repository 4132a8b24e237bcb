"""Shared by the thin-uplink tests: one run of tools/cloudsim's uplink
scenario (see tools/cloudsim/uplink.py) in the test's own namespace."""
import re

import e2e_support as e2e
from cloudsim import uplink

# The simulated camera sends about 210 kbit/s; "thin" is half of it.
THIN_KBIT = 96


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
