"""The relay uplink made thin with Linux traffic control, and what the relay
server then sees of the video.

The cloud runs in the agent's network namespace, so it can shape the
agent's packets towards its own servers on loopback: an htb class of the
given rate with a bfifo bottleneck of half a second's worth of bytes, fed by
a u32 filter on the destination ports (the relay server's, or the logic,
relay and upload servers' for a whole thin uplink). Loopback's MTU is set
to 1500 and the namespace's congestion control to reno, as on a camera.

The scenario "uplink" follows a plan of phases, e.g. "96:40,0:10" (96 kbit/s
for 40 s, then unshaped for 10 s), with forwarding on throughout, and
optionally raises an alarm some seconds in. With --frame-log the relay
server writes one line per video frame and per heartbeat:

    V arrival_us sequence key payload_bytes handoff_us
    H arrival_us
    P start_us kbit          (a phase starts; 0 kbit: unshaped; -1: the plan ends)

Times are CLOCK_MONOTONIC microseconds, the clock of the simulated camera's
handoff stamp (synthetic frames carry it in payload bytes 4-11), so
arrival - handoff is the frame's delay from the camera to the relay server.
"""
import asyncio
import os
import struct
import subprocess
import time

from . import harness
from .scenario import Journal, Scenario

BOTTLENECK_S = 0.5
UNSHAPED_KBIT = 1000000  # a class too wide to matter: 1 Gbit/s


def now_us():
    return int(time.monotonic() * 1e6)


def parse_plan(text):
    plan = []
    for part in text.split(","):
        kbit, seconds = part.split(":")
        plan.append((int(kbit), float(seconds)))
    return plan


class FrameLog:
    def __init__(self, path):
        self.f = open(path, "w")

    def video(self, hdr, payload):
        handoff = struct.unpack_from("<Q", payload, 4)[0] if len(payload) >= 12 else 0
        self.f.write("V %d %d %d %d %d\n" % (now_us(), hdr.sequence, 1 if hdr.key else 0,
                                              len(payload), handoff))

    def heartbeat(self):
        self.f.write("H %d\n" % now_us())

    def phase(self, kbit):
        self.f.write("P %d %d\n" % (now_us(), kbit))
        self.f.flush()

    def close(self):
        self.f.close()


def _tc(*args):
    r = subprocess.run(["tc"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       timeout=10, check=False)
    if r.returncode != 0:
        raise RuntimeError("tc %s: %s" % (" ".join(args), r.stdout.decode(errors="replace").strip()))


class Shaper:
    """htb on loopback: class 1:10 (the agent's uplink) with a bfifo of half
    a second at its rate; everything else passes through 1:20 unshaped."""

    def __init__(self, ports):
        self.ports = ports
        self.kbit = None

    @staticmethod
    def prepare():
        """Before the agent connects: a camera's MTU and congestion control
        (reno; the host's default may be one no camera runs)."""
        subprocess.run(["ip", "link", "set", "lo", "mtu", "1500"], check=False, timeout=10)
        try:
            with open("/proc/sys/net/ipv4/tcp_congestion_control", "w") as f:
                f.write("reno\n")
        except OSError as e:
            return "congestion control left as it is (%s)" % e
        return None

    def start(self, kbit):
        _tc("qdisc", "replace", "dev", "lo", "root", "handle", "1:", "htb", "default", "20")
        _tc("class", "add", "dev", "lo", "parent", "1:", "classid", "1:20", "htb",
            "rate", "%dkbit" % UNSHAPED_KBIT)
        _tc("class", "add", "dev", "lo", "parent", "1:", "classid", "1:10", "htb",
            *self._rate(kbit))
        _tc("qdisc", "add", "dev", "lo", "parent", "1:10", "handle", "10:", "bfifo",
            "limit", str(self._limit(kbit)))
        for port in self.ports:
            _tc("filter", "add", "dev", "lo", "parent", "1:", "protocol", "ip", "prio", "1",
                "u32", "match", "ip", "dport", str(port), "0xffff", "flowid", "1:10")
        self.kbit = kbit

    @staticmethod
    def _rate(kbit):
        rate = kbit or UNSHAPED_KBIT
        # A burst of one full-sized packet: the class keeps to its rate.
        return ["rate", "%dkbit" % rate, "ceil", "%dkbit" % rate, "burst", "1600", "cburst", "1600"]

    @staticmethod
    def _limit(kbit):
        # Half a second at the rate, at least a few packets.
        return max(int((kbit or UNSHAPED_KBIT) * 1000 / 8 * BOTTLENECK_S), 4 * 1514)

    def change(self, kbit):
        _tc("class", "change", "dev", "lo", "parent", "1:", "classid", "1:10", "htb",
            *self._rate(kbit))
        _tc("qdisc", "change", "dev", "lo", "parent", "1:10", "handle", "10:", "bfifo",
            "limit", str(self._limit(kbit)))
        self.kbit = kbit

    def stop(self):
        subprocess.run(["tc", "qdisc", "del", "dev", "lo", "root"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False, timeout=10)


class UplinkScenario(Scenario):
    """Forwarding on a shaped uplink, phase by phase (see the module text)."""

    def __init__(self, cloud, opts, rec):
        self.cloud = cloud
        self.o = opts
        self.rec = rec
        self.abort = False
        self.journal = Journal(opts.journal)
        self.plan = parse_plan(opts.uplink_plan)
        for name, label in (("directory", "directory answered"), ("login", "device logged in"),
                            ("relay_login", "relay link up"), ("forwarding", "forwarding"),
                            ("frames", "video frames flowing"),
                            ("uplink_plan", "uplink plan played: " + opts.uplink_plan)):
            rec.expect(name, label)
        if opts.uplink_alarm_at is not None:
            rec.expect("upload", "snapshot uploaded")
            rec.expect("alarm_report", "alarm reported (logic 14)")
        self.shaper = None
        why = Shaper.prepare()
        if why:
            rec.say("uplink: " + why)

    def ports(self):
        c = self.cloud
        if self.o.uplink_whole:
            return [c.logic_port, c.relay_port, c.upload_port]
        return [c.relay_port]

    async def run(self):
        o = self.o
        if not await self.wait_milestone("directory", o.start_timeout, fatal=True):
            return
        for name in ("login", "relay_login"):
            if not await self.wait_milestone(name, 10, fatal=True):
                return
        # Shaped from before the first frame, as a camera's uplink would be.
        self.shaper = Shaper(self.ports())
        try:
            self.shaper.start(self.plan[0][0])
            await self.forwarding_on()
            await self.play()
        finally:
            self.shaper.stop()
        await self.forwarding_off()

    async def play(self):
        o, log = self.o, self.cloud.frame_log
        start = time.monotonic()
        alarm = None
        for i, (kbit, seconds) in enumerate(self.plan):
            if i:
                self.shaper.change(kbit)
            if log:
                log.phase(kbit)
            self.rec.say("uplink: %s for %.0f s" % ("%d kbit/s" % kbit if kbit else "unshaped",
                                                     seconds))
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                if (alarm is None and o.uplink_alarm_at is not None
                        and time.monotonic() - start >= o.uplink_alarm_at):
                    alarm = asyncio.ensure_future(self.alarm())
                await asyncio.sleep(min(0.1, max(0.0, end - time.monotonic())))
        if log:
            log.phase(-1)
        if alarm is not None:
            await alarm
        self.rec.reach("uplink_plan", "")

    async def alarm(self):
        if await self.write_fifo(b"motion\n"):
            self.rec.say("alarm: wrote 'motion' into the camera's alarm FIFO")
            await self.wait_milestone("upload", 15)
            await self.wait_milestone("alarm_report", 15)


def percentile(values, p):
    if not values:
        return None
    s = sorted(values)
    k = min(len(s) - 1, max(0, int(round(p / 100.0 * (len(s) - 1)))))
    return s[k]


def read_log(path):
    frames, beats, phases = [], [], []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if not parts:
                continue
            if parts[0] == "V" and len(parts) == 6:
                arrival, seq, key, size, handoff = (int(x) for x in parts[1:])
                frames.append({"at": arrival / 1e6, "seq": seq, "key": key == 1, "bytes": size,
                               "delay": (arrival - handoff) / 1e6 if handoff else None})
            elif parts[0] == "H":
                beats.append(int(parts[1]) / 1e6)
            elif parts[0] == "P":
                phases.append((int(parts[1]) / 1e6, int(parts[2])))
    return frames, beats, phases


def phase_figures(frames, t0, t1, fps=25.0):
    """Delays, key-frame spacing and gaps of the frames that arrived
    between t0 and t1."""
    inside = [f for f in frames if t0 <= f["at"] < t1]
    delays = [f["delay"] for f in inside if f["delay"] is not None]
    keys = [f["at"] for f in inside if f["key"]]
    spans = [b - a for a, b in zip([t0] + keys, keys + [t1])]
    bad_gaps = 0
    for a, b in zip(inside, inside[1:]):
        if b["seq"] > a["seq"] + 1 and not b["key"]:
            bad_gaps += 1
    seconds = max(t1 - t0, 1e-6)
    return {"frames": len(inside), "fps": round(len(inside) / seconds, 1),
            "delay_p50": percentile(delays, 50), "delay_p95": percentile(delays, 95),
            "delay_max": max(delays) if delays else None,
            "key_frames": len(keys), "longest_without_key": round(max(spans), 2) if spans else None,
            "gaps": sum(1 for a, b in zip(inside, inside[1:]) if b["seq"] > a["seq"] + 1),
            "gaps_not_at_key": bad_gaps,
            "sequence_dropped": (inside[-1]["seq"] - inside[0]["seq"] + 1 - len(inside))
            if inside else 0, "expected_frames": int(seconds * fps)}


def recovery_figures(frames, t_recover, t_end, fps=25.0, fresh_s=0.5):
    """After the uplink widens: when the frame rate is full again (a whole
    second from then on with at least 90 % of the frames, each fresh), and
    the oldest frame that arrived after that."""
    after = [f for f in frames if f["at"] >= t_recover]
    full_at = None
    step = 0.1
    t = t_recover
    while t + 1.0 <= t_end:
        window = [f for f in after if t <= f["at"] < t + 1.0]
        if len(window) >= 0.9 * fps and all((f["delay"] or 0) <= fresh_s for f in window):
            full_at = t
            break
        t += step
    late = [f["delay"] for f in after if full_at is not None and f["at"] >= full_at
            and f["delay"] is not None]
    stale = [f["delay"] for f in after if (f["delay"] or 0) > fresh_s]
    return {"full_rate_after_s": round(full_at - t_recover, 2) if full_at is not None else None,
            "oldest_after_full_s": round(max(late), 3) if late else None,
            "stale_after_recovery": len(stale),
            "oldest_after_recovery_s": round(max(stale), 2) if stale else None}


def heartbeat_gaps(beats, t0, t1):
    inside = [b for b in beats if t0 <= b < t1]
    edges = [t0] + inside + [t1]
    return round(max(b - a for a, b in zip(edges, edges[1:])), 2)


# The test video: 25 fps, a 6,000-byte key frame each second and 850-byte
# frames between (about 210 kbit/s with the framing), synthetic so that each
# frame carries its handoff time.
VIDEO_ENV = {"NETLIB_SIM_MEDIA": "", "NETLIB_SIM_FPS": "25", "NETLIB_SIM_FRAME_BYTES": "850",
             "NETLIB_SIM_KEY_FRAME_BYTES": "6000", "NETLIB_SIM_KEY_INTERVAL": "25"}
VIDEO_KBIT = 210


def write_snapshot(path, size):
    """A stand-in JPEG of exactly `size` bytes (start and end markers)."""
    body = bytes((i * 7) & 0xFF for i in range(size - 4)).replace(b"\xff", b"\x00")
    with open(path, "wb") as f:
        f.write(b"\xff\xd8" + body + b"\xff\xd9")


def run(agent, netlib, out, net, plan, whole=False, alarm_at=None, snapshot_bytes=None,
        agent_prefix=()):
    """One run of the uplink scenario; returns harness.run_session's result
    with the frame log read back ("frames", "beats", "phases")."""
    os.makedirs(out, exist_ok=True)
    log = os.path.join(out, "frames.log")
    args = ["--scenario", "uplink", "--uplink-plan", plan, "--frame-log", log, "--no-video-file"]
    env = dict(VIDEO_ENV)
    if whole:
        args.append("--uplink-whole")
    if alarm_at is not None:
        args += ["--uplink-alarm-at", str(alarm_at)]
    if snapshot_bytes:
        snap = os.path.join(out, "snapshot-%d.jpg" % snapshot_bytes)
        write_snapshot(snap, snapshot_bytes)
        env["NETLIB_SIM_SNAPSHOT"] = snap
        args += ["--expect-snapshot", snap]
    seconds = sum(s for _, s in parse_plan(plan))
    res = harness.run_session(agent, netlib, out, net, duration=0, pace=0.3,
                              stream=os.path.join(out, "cloud.log"), extra_cloud_args=args,
                              agent_env=env, agent_prefix=agent_prefix,
                              cloud_limit=seconds + 60)
    res["frames"], res["beats"], res["phases"] = read_log(log) if os.path.exists(log) else ([], [], [])
    return res


def phase_bounds(res):
    """(start, end, kbit) of each phase of the plan."""
    phases = res["phases"]
    end = res["frames"][-1]["at"] if res["frames"] else (phases[-1][0] if phases else 0)
    return [(t, phases[i + 1][0] if i + 1 < len(phases) else end, kbit)
            for i, (t, kbit) in enumerate(phases) if kbit >= 0]
