"""The relay uplink made thin with Linux traffic control, and what the relay
server then sees of the video.

The cloud runs in the agent's network namespace, so it can shape the
agent's packets towards its own servers on loopback: an htb class of the
given rate with a bfifo bottleneck of half a second's worth of bytes (or
--uplink-bottleneck-ms; at least two full-sized packets), fed by
a u32 filter on the destination ports (the relay server's, or the logic,
relay and upload servers' for a whole thin uplink). Loopback's MTU is set
to 1500 and the namespace's congestion control to reno, as on a camera.

The scenario "uplink" follows a plan of phases, e.g. "96:40,0:10" (96 kbit/s
for 40 s, then unshaped for 10 s), with forwarding on throughout, and
optionally raises an alarm some seconds in, or asks for the camera's status
(relay command 17) every so often. With --frame-log the relay
server writes one line per video frame and per heartbeat:

    V arrival_us sequence key payload_bytes handoff_us
    H arrival_us
    P start_us kbit          (a phase starts; 0 kbit: unshaped; -1: the plan ends)
    K seen_us                (the agent asked the camera for a key frame, as the
                              SDK journal showed within 0.1 s; from the plan's start)

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
FULL_PACKET = 1514  # bytes on the wire at MTU 1500
RECOVER_S = 3.0     # after the shaping is removed, before forwarding is switched off


def bottleneck_bytes(kbit, seconds):
    """A bfifo of so many seconds at the rate; at least two full-sized
    packets, or a packet could never pass (60 ms at 80 kbit/s is 600 bytes)."""
    return max(int(kbit * 1000 / 8 * seconds), 2 * FULL_PACKET)


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

    def key_request(self):
        self.f.write("K %d\n" % now_us())

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
    a second (or bottleneck_s) at its rate; everything else passes through
    1:20 unshaped."""

    def __init__(self, ports, bottleneck_s=BOTTLENECK_S):
        self.ports = ports
        self.bottleneck_s = bottleneck_s
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

    def _limit(self, kbit):
        return bottleneck_bytes(kbit or UNSHAPED_KBIT, self.bottleneck_s)

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
        self.shaper = Shaper(self.ports(), self.o.uplink_bottleneck_ms / 1000.0)
        try:
            self.shaper.start(self.plan[0][0])
            await self.forwarding_on()
            await self.play()
        finally:
            self.shaper.stop()
        # Removing the shaping drops what its queue held, which TCP sends
        # again after its retransmission time-out: let the path recover
        # before the check that video stops with forwarding.
        await asyncio.sleep(RECOVER_S)
        await self.forwarding_off()

    async def play(self):
        o, log = self.o, self.cloud.frame_log
        start = time.monotonic()
        alarm = None
        self.seen = self.journal.mark()
        next_status = start
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
                if o.uplink_status_every and time.monotonic() >= next_status:
                    self.relay_send(17)  # the answer takes a control slot while it waits
                    next_status += o.uplink_status_every
                await asyncio.sleep(min(0.1, max(0.0, end - time.monotonic())))
                self.note_key_requests(log)
        if log:
            log.phase(-1)
        if alarm is not None:
            await alarm
        self.rec.reach("uplink_plan", "")

    def note_key_requests(self, log):
        """A K line for each key frame the agent asked the camera for since
        the last look at the SDK journal."""
        self.journal.poll()
        new = self.journal.lines[self.seen:]
        self.seen = len(self.journal.lines)
        for line in new:
            if log and line.startswith("MakeKeyFrame"):
                log.key_request()

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
    """(frames, beats, phases, key_requests) of a frame log."""
    frames, beats, phases, keys = [], [], [], []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if not parts:
                continue
            if parts[0] == "V" and len(parts) == 6:
                arrival, seq, key, size, handoff = (int(x) for x in parts[1:])
                frames.append({"at": arrival / 1e6, "seq": seq, "key": key == 1, "bytes": size,
                               "handoff": handoff / 1e6 if handoff else None,
                               "delay": (arrival - handoff) / 1e6 if handoff else None})
            elif parts[0] == "H":
                beats.append(int(parts[1]) / 1e6)
            elif parts[0] == "K":
                keys.append(int(parts[1]) / 1e6)
            elif parts[0] == "P":
                phases.append((int(parts[1]) / 1e6, int(parts[2])))
    return frames, beats, phases, keys


def read_handoffs(path):
    """Handoff times (seconds) of every frame the simulated camera handed
    out: its handoff log, "seq monotonic_us length" a line."""
    out = []
    try:
        with open(path) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 3:
                    out.append(int(parts[1]) / 1e6)
    except OSError:
        pass
    return out


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

# The camera's quality levels: bit rate (kbit/s), frames a second, a key
# frame every so many frames.
LEVELS = {1: (800, 20, 50), 2: (400, 12, 100), 3: (240, 12, 100), 4: (256, 10, 100),
          5: (80, 8, 100)}
# A camera's key frame is 8 to 10 times the frames between; at level 4
# this gives 3,000-byte frames and a 25,000-byte key frame.
KEY_RATIO = 25.0 / 3
VIDEO_PACKET_BYTES = 29  # framing and media header in front of each payload


class Rhythm:
    """A level's rhythm for the simulated camera: its frame rate and
    key-frame interval, synthetic frames sized (to 50 bytes) so that the
    payloads carry the level's bit rate."""

    def __init__(self, level, key_ratio=KEY_RATIO):
        self.level = level
        self.kbit, self.fps, self.interval = LEVELS[level]
        exact = self.kbit * 1000.0 * self.interval / (8 * self.fps * (self.interval - 1 + key_ratio))
        self.frame_bytes = int(round(exact / 50.0)) * 50
        self.key_bytes = int(round(self.frame_bytes * key_ratio))
        self.key_every_s = self.interval / float(self.fps)

    def payload_kbit(self):
        per_interval = (self.interval - 1) * self.frame_bytes + self.key_bytes
        return per_interval * 8.0 * self.fps / self.interval / 1000.0

    def key_send_s(self, kbit):
        """One key frame's sending time at kbit/s: the physical floor of a
        frame's age behind it."""
        return (self.key_bytes + VIDEO_PACKET_BYTES) * 8.0 / (kbit * 1000.0)

    def env(self):
        return {"NETLIB_SIM_MEDIA": "", "NETLIB_SIM_FPS": str(self.fps),
                "NETLIB_SIM_FRAME_BYTES": str(self.frame_bytes),
                "NETLIB_SIM_KEY_FRAME_BYTES": str(self.key_bytes),
                "NETLIB_SIM_KEY_INTERVAL": str(self.interval)}

    def describe(self):
        return ("level %d: %d fps, a %d-byte key frame every %d frames, %d-byte frames between "
                "(%.0f kbit/s)" % (self.level, self.fps, self.key_bytes, self.interval,
                                   self.frame_bytes, self.payload_kbit()))


def write_snapshot(path, size):
    """A stand-in JPEG of exactly `size` bytes (start and end markers)."""
    body = bytes((i * 7) & 0xFF for i in range(size - 4)).replace(b"\xff", b"\x00")
    with open(path, "wb") as f:
        f.write(b"\xff\xd8" + body + b"\xff\xd9")


def run(agent, netlib, out, net, plan, whole=False, alarm_at=None, snapshot_bytes=None,
        agent_prefix=(), rhythm=None, bottleneck_ms=None, status_every=None, **session):
    """One run of the uplink scenario; returns harness.run_session's result
    with the frame log read back ("frames", "beats", "phases",
    "key_requests"). The camera sends at the rhythm given (a Rhythm), else
    VIDEO_ENV's. `session` goes to harness.run_session as it is
    (agent_stdout, before_stop)."""
    os.makedirs(out, exist_ok=True)
    log = os.path.join(out, "frames.log")
    args = ["--scenario", "uplink", "--uplink-plan", plan, "--frame-log", log, "--no-video-file"]
    env = rhythm.env() if rhythm else dict(VIDEO_ENV)
    if bottleneck_ms is not None:
        args += ["--uplink-bottleneck-ms", str(bottleneck_ms)]
    if status_every:
        args += ["--uplink-status-every", str(status_every)]
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
                              cloud_limit=seconds + 60, **session)
    res["frames"], res["beats"], res["phases"], res["key_requests"] = (
        read_log(log) if os.path.exists(log) else ([], [], [], []))
    return res


def longest_freeze(arrivals, t0, t1):
    """The longest time between t0 and t1 without a new frame at the relay
    server."""
    edges = [t0] + sorted(a for a in arrivals if t0 <= a <= t1) + [t1]
    return max(b - a for a, b in zip(edges, edges[1:]))


def cell_figures(frames, handoffs, beats, key_requests, t0, t1, t_end):
    """What the relay server saw of the frames the camera handed over
    between t0 and t1 (they may arrive until t_end): the share delivered,
    their age at arrival (p50, p95), the longest freeze between t0 and t1;
    the key frames asked for and the largest heartbeat gap from t0 to t_end."""
    sent = [h for h in handoffs if t0 <= h < t1]
    got = [f for f in frames if f["handoff"] is not None and t0 <= f["handoff"] < t1]
    ages = [f["delay"] for f in got]
    return {"sent": len(sent), "delivered": len(got),
            "delivered_pct": 100.0 * len(got) / len(sent) if sent else None,
            "freeze_s": longest_freeze([f["at"] for f in frames], t0, t1),
            "age_p50": percentile(ages, 50), "age_p95": percentile(ages, 95),
            "key_requests": len([k for k in key_requests if t0 <= k <= t_end]),
            "heartbeat_gap_max_s": heartbeat_gaps(beats, t0, t_end)}


# What each rule asks of a cell, by the uplink's share of the stream's
# bit rate: room (1.2x and more), half rate, and the link kept everywhere.
ROOM_SHARE = 1.2
HALF_SHARE = 0.5


def cell_goals(share, floor_s, f, reconnects):
    """[(goal, met)] of one cell's figures."""
    out = [("heartbeats <= 12 s apart, no reconnect",
            f["heartbeat_gap_max_s"] <= 12.0 and reconnects == 0)]
    p95 = f["age_p95"]
    if share >= ROOM_SHARE:
        out.append((">= 99 % delivered, p95 <= floor + 0.3 s",
                    (f["delivered_pct"] or 0) >= 99.0 and p95 is not None
                    and p95 <= floor_s + 0.3))
    elif share == HALF_SHARE:
        out.append(("freeze <= 3 s, p95 <= floor + 1 s",
                    f["freeze_s"] <= 3.0 and p95 is not None and p95 <= floor_s + 1.0))
    return out


def phase_bounds(res):
    """(start, end, kbit) of each phase of the plan."""
    phases = res["phases"]
    end = res["frames"][-1]["at"] if res["frames"] else (phases[-1][0] if phases else 0)
    return [(t, phases[i + 1][0] if i + 1 < len(phases) else end, kbit)
            for i, (t, kbit) in enumerate(phases) if kbit >= 0]
