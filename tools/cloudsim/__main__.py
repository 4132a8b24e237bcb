"""python3 -m cloudsim: run the local cloud and its scenario, then report.

Exit status: 0 when every milestone was reached (or skipped, with the
reason printed) and nothing the agent sent broke the protocol; 1 otherwise;
2 when the cloud could not start (a port in use, for instance).
"""
import argparse
import asyncio
import os
import shutil
import signal
import subprocess
import sys

from .cloud import Cloud
from .faults import FAULTS, FaultScenario
from .passive import PassiveScenario
from .recorder import Recorder
from .scenario import Scenario
from .soak import SoakScenario
from .uplink import Shaper, UplinkScenario

SCENARIOS = {"day": Scenario, "reconnect": Scenario, "faults": FaultScenario,
             "soak": SoakScenario, "uplink": UplinkScenario, "passive": PassiveScenario}


def size(text):
    w, h = text.lower().split("x")
    return int(w), int(h)


def parse_args(argv):
    p = argparse.ArgumentParser(prog="cloudsim", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    add_scenario_args(p)
    add_link_args(p)
    add_server_args(p)
    add_check_args(p)
    o = p.parse_args(argv)
    o.directory = [x for x in o.directory.split(",") if x]
    o.faults = [x for x in o.faults.split(",") if x]
    unknown = [x for x in o.faults if x not in FAULTS]
    if unknown:
        p.error("unknown fault(s) %s; known: %s" % (", ".join(unknown), ", ".join(sorted(FAULTS))))
    o.quiet_reconnects = o.scenario == "soak"
    return o


def add_scenario_args(p):
    """What runs: the output, the duration and pace, the scenario and its faults or soak."""
    p.add_argument("--out", required=True, help="output folder (created)")
    p.add_argument("--duration", type=float, default=30.0,
                   help="seconds to run after start-up; 0: stop when the scenario is done")
    p.add_argument("--pace", type=float, default=1.5, help="seconds between scenario steps")
    p.add_argument("--scenario", choices=tuple(SCENARIOS), default="day",
                   help="day: every command, the alarm and discovery (default); reconnect: "
                   "forwarding, then the cloud drops the relay link; faults: the faults of "
                   "--faults, each followed by the normal work; soak: --cycles drops of both "
                   "links while video flows, with the agent's descriptors and memory watched; passive: "
                   "answers the logins only, never a command, until stopped")
    p.add_argument("--faults", default="",
                   help="comma-separated faults for --scenario faults, run in order: "
                   + ", ".join(sorted(FAULTS)))
    p.add_argument("--cycles", type=int, default=1000, help="soak: reconnect cycles")
    p.add_argument("--warmup-cycles", type=int, default=10,
                   help="soak: cycles before the first descriptor and memory reading")
    p.add_argument("--progress-every", type=int, default=50,
                   help="soak: cycles between progress lines")
    p.add_argument("--soak-alarm", action="store_true",
                   help="soak: one alarm (snapshot upload and report) before the cycles")
    p.add_argument("--rss-tolerance-kb", type=int, default=256,
                   help="growth of the agent's VmRSS accepted once warmed up (soak, relay-stall)")
    p.add_argument("--stall-seconds", type=float, default=2.0,
                   help="relay-stall: seconds of not reading after the agent's buffers filled")

def add_link_args(p):
    """How the links are shaped and logged: buffers, the uplink cap and its plan, the frame log."""
    p.add_argument("--relay-rcvbuf", type=int, default=0,
                   help="receive buffer of the relay links in bytes (0: the system's tuning)")
    p.add_argument("--uplink-kbit", type=int, default=0,
                   help="any scenario: cap the agent's uplink to the relay server at KBIT kbit/s")
    p.add_argument("--uplink-plan", default="96:60,0:10",
                   help="uplink scenario: phases KBIT:SECONDS, comma-separated (0 kbit: unshaped)")
    p.add_argument("--uplink-bottleneck-ms", type=int, default=500,
                   help="the bottleneck's depth (bfifo) in milliseconds at the shaped rate")
    p.add_argument("--uplink-status-every", type=float, default=0,
                   help="uplink scenario: a status request (relay 17) every so many seconds")
    p.add_argument("--uplink-whole", action="store_true",
                   help="uplink scenario: shape the logic and upload links too, not only the relay")
    p.add_argument("--uplink-alarm-at", type=float, default=None,
                   help="uplink scenario: raise an alarm so many seconds into the plan")
    p.add_argument("--frame-log", help="file for one line per video frame and relay heartbeat "
                   "(arrival and camera handoff times; see uplink.py)")
    p.add_argument("--upload-rcvbuf", type=int, default=0,
                   help="receive buffer of the upload connections in bytes (0: the system's "
                   "tuning)")
    p.add_argument("--relay-at", type=int, default=0,
                   help="port of a relay server outside the cloud (on --host) that channel 0 is "
                   "sent to; 0: the cloud's own relay server")

def add_server_args(p):
    """Where the servers listen and what they hand out."""
    p.add_argument("--agent-pid-file", help="file holding the agent's process id (for /proc)")
    p.add_argument("--no-video-file", action="store_true",
                   help="do not keep the received video (long or fast runs)")
    p.add_argument("--start-timeout", type=float, default=20.0,
                   help="seconds to wait for the agent's first directory request")
    p.add_argument("--host", default="127.0.0.1", help="address of the logic, relay and upload "
                   "servers")
    p.add_argument("--directory", default="127.0.0.1:8080,127.0.0.3:8080",
                   help="comma-separated directory server addresses")
    p.add_argument("--logic-port", type=int, default=0)
    p.add_argument("--relay-port", type=int, default=0)
    p.add_argument("--upload-port", type=int, default=0)
    p.add_argument("--camera-id", default="cam-0001", help="relay id given to channel 0")
    p.add_argument("--user-id", default="u-1001")
    p.add_argument("--node-id", default="node-7")
    p.add_argument("--node-name", default="hall")

def add_check_args(p):
    """What the cloud checks, probes and how it misbehaves on purpose."""
    p.add_argument("--journal", help="the simulated SDK's journal file")
    p.add_argument("--alarm-fifo", help="the simulated SDK's alarm control FIFO")
    p.add_argument("--expect-snapshot", help="file the uploaded snapshot must equal")
    p.add_argument("--expect-devid", help="device id (MAC text) the agent must log in with")
    p.add_argument("--expect-camera-ip", help="camera address the discovery answer must carry")
    p.add_argument("--expect-ptz", default="1", help='"PTZ" value of the status report')
    p.add_argument("--main-size", type=size, default=(1280, 720))
    p.add_argument("--sub-size", type=size, default=(640, 360))
    p.add_argument("--content-length-extra", type=int, default=0,
                   help="Content-Length of an upload minus its body length")
    p.add_argument("--probe-via", help="command prefix that runs the discovery probe where the "
                   "camera's broadcast reaches, e.g. 'ip netns exec PEER'")
    p.add_argument("--probe-target", default="192.0.2.1")
    p.add_argument("--no-probe-reason", help="why discovery is not probed (for the report)")
    p.add_argument("--ready-file", help="written once every server listens")
    p.add_argument("--quiet", action="store_true", help="no milestone lines")
    p.add_argument("--hostile-no-echo", action="store_true",
                   help="never answer heartbeats (the agent should drop the links after 35 s)")
    p.add_argument("--hostile-noise", action="store_true",
                   help="before forwarding starts, send frames the agent must ignore")
    p.add_argument("--hostile-directory-silent", action="store_true",
                   help="accept directory requests but never answer")

def frame_grab(out):
    video = os.path.join(out, "video.h264")
    if not shutil.which("ffmpeg") or not os.path.getsize(video):
        return None
    png = os.path.join(out, "frame.png")
    try:
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "h264",
                        "-i", video, "-frames:v", "1", png],
                       timeout=30, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except (subprocess.SubprocessError, OSError):
        return None
    return "frame.png" if os.path.exists(png) else None


async def main_async(o, rec):
    cloud = Cloud(o, rec)
    try:
        await cloud.start()
    except OSError as e:
        print("cloudsim: cannot listen: %s" % e, file=sys.stderr)
        return 2
    rec.say("cloud ready: directory %s, logic %s:%d, relay %s:%d, upload %s"
            % (" ".join(o.directory), o.host, cloud.logic_port, o.host, cloud.relay_port,
               cloud.upload_url))
    rec.extra["endpoints"] = {"directory": o.directory, "logic": cloud.logic_port,
                              "relay": cloud.relay_port, "upload": cloud.upload_url}
    if o.ready_file:
        with open(o.ready_file, "w") as f:
            f.write("ready\n")
    shaper = None
    if o.uplink_kbit and o.scenario != "uplink":
        shaper = Shaper([cloud.relay_port], o.uplink_bottleneck_ms / 1000.0)
        why = Shaper.prepare()
        shaper.start(o.uplink_kbit)
        rec.say("uplink to the relay server capped at %d kbit/s%s"
                % (o.uplink_kbit, "; " + why if why else ""))
    scenario = SCENARIOS[o.scenario](cloud, o, rec)
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    task = asyncio.ensure_future(scenario.run())
    stopper = asyncio.ensure_future(stop.wait())
    await asyncio.wait([task, stopper], return_when=asyncio.FIRST_COMPLETED)
    if task.done() and not stop.is_set() and o.duration and not scenario.abort:
        left = o.duration - rec.now()
        if left > 0:
            try:
                await asyncio.wait_for(stop.wait(), left)
            except asyncio.TimeoutError:
                pass
    if stop.is_set():
        rec.say("stopped by a signal")
    for t in (task, stopper):
        t.cancel()
    if task.done() and not task.cancelled() and task.exception():
        raise task.exception()
    await cloud.stop()
    if shaper is not None:
        shaper.stop()
    return 0


def main(argv=None):
    o = parse_args(argv)
    os.makedirs(o.out, exist_ok=True)
    rec = Recorder(o.out, quiet=o.quiet)
    code = asyncio.run(main_async(o, rec))
    if code:
        return code
    rec.finish()
    grab = None if o.no_video_file else frame_grab(o.out)
    rec.extra["files"] = {"video": "video.h264", "frame_grab": grab,
                          "uploads": [u["saved_as"] for u in rec.uploads],
                          "summary": ["summary.json", "summary.txt"]}
    summary, text = rec.write()
    if not o.quiet:
        print()
        print(text)
    return 0 if summary["ok"] else 1


if __name__ == "__main__":
    sys.exit(main())
