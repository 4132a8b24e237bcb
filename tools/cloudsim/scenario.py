"""The default scenario: the cloud's side of one camera's day, at a pace a
person can follow, with every step checked.

Each step sends something and waits, with a deadline, for its evidence:
the agent's reply on the wire and, where the agent acts on the camera, the
matching line in the simulated SDK's journal.
"""
import asyncio
import json
import os
import shlex
import sys

from . import catalogue as cat
from . import wire
from .catalogue import LOGIC, RELAY
from .recorder import REACHED

MILESTONES = [
    ("directory", "directory answered"),
    ("login", "device logged in"),
    ("heartbeat", "logic heartbeat"),
    ("relay_login", "relay link up"),
    ("camera_state", "camera state reported"),
    ("cmd_forward", "forwarding on (command 2)"),
    ("forwarding", "forwarding"),
    ("frames", "video frames flowing"),
    ("cmd_status", "status report (command 17)"),
    ("cmd_ptz", "camera moved (command 9)"),
    ("cmd_quality_2", "video quality 2 (command 16)"),
    ("cmd_quality_4", "video quality 4 (command 16)"),
    ("cmd_time", "clock set (command 18)"),
    ("cmd_ack_10", "acknowledged (command 10)"),
    ("cmd_ack_12", "acknowledged (command 12)"),
    ("logic_refusal", "request refused (logic 16)"),
    ("upload", "snapshot uploaded"),
    ("alarm_report", "alarm reported (logic 14)"),
    ("discovery", "discovery answered"),
    ("discovery_newline", "discovery ignores a probe with a line end"),
    ("cmd_stop", "forwarding off (command 3)"),
]

# The relay link dropped by the cloud: the agent reconnects by itself and
# forwarding resumes, with a key frame, without a new request.
RECONNECT_MILESTONES = MILESTONES[:8] + [
    ("relay_reconnect", "relay link up again after a drop"),
    ("camera_state_again", "camera state reported again"),
    ("forwarding_resumed", "forwarding resumed"),
    ("cmd_stop", "forwarding off (command 3)"),
]

JOURNAL_NEEDED = ("cmd_forward", "cmd_ptz", "cmd_time")

QUALITY_JOURNAL = {
    "2": ["StopStream", "SetConfig 4100 1,1,400,12,100,0,3",
          "StartStream channel=1 stream=1 mode=0 mask=7"],
    "4": ["StopStream", "SetConfig 4100 1,0,256,10,100,0,2",
          "StartStream channel=1 stream=0 mode=0 mask=7"],
}


class Journal:
    """Follows the simulated SDK's journal: one line per SDK call."""

    def __init__(self, path):
        self.path = path
        self.lines = []
        self._pos = 0
        self._partial = b""

    def poll(self):
        if not self.path:
            return
        try:
            with open(self.path, "rb") as f:
                f.seek(self._pos)
                data = f.read()
        except OSError:
            return
        self._pos += len(data)
        data = self._partial + data
        *whole, self._partial = data.split(b"\n")
        self.lines += [x.decode("latin-1") for x in whole]

    def mark(self):
        self.poll()
        return len(self.lines)

    def find(self, start, wanted):
        """Index after the last of the wanted lines, found in order from
        start, or None."""
        i = start
        for w in wanted:
            while i < len(self.lines) and self.lines[i] != w:
                i += 1
            if i == len(self.lines):
                return None
            i += 1
        return i


class Scenario:
    def __init__(self, cloud, opts, rec):
        self.cloud = cloud
        self.o = opts
        self.rec = rec
        self.journal = Journal(opts.journal)
        self.abort = False
        self.expect_milestones(opts, rec)

    def expect_milestones(self, opts, rec):
        """Tells the recorder what this run should reach, and what it
        cannot reach for want of a journal, a peer or an alarm FIFO."""
        milestones = RECONNECT_MILESTONES if opts.scenario == "reconnect" else MILESTONES
        for name, label in milestones:
            rec.expect(name, label)
        if opts.scenario == "reconnect":
            return
        if not opts.journal:
            for name in JOURNAL_NEEDED:
                rec.skip(name, "no SDK journal given")
        if not opts.probe_via:
            why = opts.no_probe_reason or "no peer namespace to probe from"
            rec.skip("discovery", why)
            rec.skip("discovery_newline", why)
        if not opts.alarm_fifo:
            rec.skip("upload", "no alarm FIFO given")
            rec.skip("alarm_report", "no alarm FIFO given")

    async def until(self, predicate, timeout):
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        while True:
            self.journal.poll()
            if predicate():
                return True
            if loop.time() >= deadline:
                return False
            await asyncio.sleep(0.05)

    async def wait_milestone(self, name, timeout, fatal=False):
        ok = await self.until(lambda: self.rec.reached(name), timeout)
        if not ok:
            self.rec.say("%s: not reached within %.0f s" % (self.rec.milestones[name]["label"],
                                                           timeout))
            if fatal:
                self.abort = True
        return ok

    def reply_after(self, link_list, start, msg_type):
        for t, msg in link_list[start:]:
            if msg.type == msg_type:
                return msg
        return None

    async def pace(self):
        await asyncio.sleep(self.o.pace)

    def relay_send(self, msg_type, params=None):
        ok = self.cloud.send(self.cloud.relay, msg_type, params)
        self.rec.commands.append({"at_s": round(self.rec.now(), 3), "link": RELAY,
                                  "type": msg_type, "params": dict(params or [])})
        if not ok:
            self.rec.say("cannot send relay command %d: no relay link" % msg_type)
        return ok

    # ------------------------------------------------------------------ run
    async def run(self):
        o = self.o
        # The road of one request, up to the first frame.
        if not await self.wait_milestone("directory", o.start_timeout, fatal=True):
            return
        for name, timeout in (("login", 5), ("heartbeat", 3), ("relay_login", 10),
                              ("camera_state", 5)):
            if not await self.wait_milestone(name, timeout, fatal=name != "heartbeat"):
                if self.abort:
                    return
        await asyncio.sleep(min(o.pace, 0.5))
        if o.hostile_noise:
            await self.noise()
        await self.forwarding_on()
        if o.scenario == "reconnect":
            await self.reconnect()
            await self.forwarding_off()
            return
        steps = [self.status, self.ptz, lambda: self.quality("2"), lambda: self.quality("4"),
                 self.set_time, self.acks, self.logic_refusal, self.alarm, self.discovery]
        for step in steps:
            if self.cloud.relay is None or self.cloud.relay.closed:
                self.rec.say("relay link is down; waiting for it")
                await self.until(lambda: self.cloud.relay and not self.cloud.relay.closed, 5)
            await self.pace()
            await step()
        if o.duration:
            left = o.duration - 2.5 - self.rec.now()
            if left > 0:
                await asyncio.sleep(left)
        await self.forwarding_off()

    async def noise(self):
        """Frames the agent must shrug off: empty, of an unknown kind, not a
        message, of unknown types."""
        for link in (self.cloud.relay, self.cloud.logic):
            if link is None or link.closed:
                continue
            link.writer.write(wire.frame(b""))
            link.writer.write(wire.frame(b"Xjunk"))
            link.writer.write(wire.frame(b"0not a message\0"))
            link.writer.write(wire.text_frame(wire.envelope(99, [("a", "b")])))
            link.writer.write(wire.text_frame(b'{"msgType":,"params":{}}'))
        self.rec.say("noise: sent an empty frame, an unknown kind, a non-message and type 99 "
                     "on the relay and logic links")
        await asyncio.sleep(0.5)

    async def forwarding_on(self):
        mark = self.journal.mark()
        self.cloud.forward_sent_at = self.rec.now()
        self.relay_send(2)
        if self.o.journal:
            if await self.until(lambda: self.journal.find(mark, ["MakeKeyFrame 12"]), 3):
                self.rec.reach("cmd_forward", "SDK: MakeKeyFrame 12")
        await self.wait_milestone("forwarding", 5)
        await self.wait_milestone("frames", 5)

    async def status(self):
        start = len(self.cloud.relay_in)
        self.relay_send(17)
        ok = await self.until(lambda: self.reply_after(self.cloud.relay_in, start, 17), 3)
        if not ok:
            self.rec.say("no status report within 3 s")
            return
        msg = self.reply_after(self.cloud.relay_in, start, 17)
        want = {"EnableQP": "1", "ViedoQP": self.cloud.quality, "PTZ": self.o.expect_ptz,
                "Audio": "0", "SetTime": "1", "Speak": "0"}
        bad = [k for k, v in want.items() if v is not None and msg.get(k).decode("latin-1") != v]
        for k in bad:
            self.rec.violation(RELAY, "status report %s is %r, expected %r"
                               % (k, msg.get(k).decode("latin-1"), want[k]))
        if not bad:
            self.rec.reach("cmd_status", ", ".join("%s %s" % (k.decode("latin-1"), v.decode("latin-1"))
                                                   for k, v in msg.params))

    async def journal_step(self, name, msg_type, params, lines, what):
        mark = self.journal.mark()
        self.relay_send(msg_type, params)
        if not self.o.journal:
            return
        if await self.until(lambda: self.journal.find(mark, lines), 3):
            self.rec.reach(name, "%s -> SDK: %s" % (what, "; ".join(lines)))
        else:
            self.rec.say("%s: no '%s' in the SDK journal within 3 s" % (what, " / ".join(lines)))

    async def ptz(self):
        await self.journal_step("cmd_ptz", 9, [("PTZCommand", "3")],
                                ["PTZ_Ctrl_StandardEx 12292"], "PTZCommand 3")

    async def set_time(self):
        await self.journal_step("cmd_time", 18, [("Time", "2015-06-01 12:30:45")],
                                ["SetConfig 4119 2015.06.01.12.30.45"], "Time 2015-06-01 12:30:45")

    async def quality(self, level):
        cloud = self.cloud
        mark = self.journal.mark()
        start = len(cloud.relay_in)
        segments = len(cloud.segments)
        cloud.quality = level
        cloud.quality_sent_at = self.rec.now()
        self.relay_send(16, [("ViedoQP", level)])
        ack = lambda: self.reply_after(cloud.relay_in, start, 16)
        if not await self.until(ack, cloud.answer_wait(3)):
            self.rec.say("no quality acknowledgement within %.1f s" % cloud.answer_wait(3))
            return
        echoed = ack().get("ViedoQP").decode("latin-1")
        if echoed != level:
            self.rec.violation(RELAY, "quality acknowledgement echoes %r, sent %r" % (echoed, level))
            return
        evidence = ["ack %s" % echoed]
        if self.o.journal:
            lines = QUALITY_JOURNAL[level]
            if not await self.until(lambda: self.journal.find(mark, lines), 3):
                self.rec.say("quality %s: no '%s' in the SDK journal" % (level, " / ".join(lines)))
                return
            evidence.append("SDK: " + "; ".join(lines))
        want = cloud.expected_size(level)
        if not await self.until(lambda: len(cloud.segments) > segments, cloud.answer_wait(5)):
            self.rec.say("quality %s: no frames of the new stream within %.1f s"
                         % (level, cloud.answer_wait(5)))
            return
        seg = cloud.segments[-1]
        evidence.append("frames %dx%d" % (seg.width, seg.height))
        if want and (seg.width, seg.height) != tuple(want):
            return
        # The status report names the level now in force.
        start = len(cloud.relay_in)
        self.relay_send(17)
        if not await self.until(lambda: self.reply_after(cloud.relay_in, start, 17),
                                cloud.answer_wait(3)):
            self.rec.say("quality %s: no status report within %.1f s" % (level, cloud.answer_wait(3)))
            return
        reported = self.reply_after(cloud.relay_in, start, 17).get("ViedoQP").decode("latin-1")
        if reported != level:
            self.rec.violation(RELAY, "status report after quality %s says ViedoQP %r"
                               % (level, reported))
            return
        evidence.append("status ViedoQP %s" % reported)
        self.rec.reach("cmd_quality_" + level, ", ".join(evidence))

    async def acks(self):
        for t in (10, 12):
            start = len(self.cloud.relay_in)
            self.relay_send(t)
            if await self.until(lambda: self.reply_after(self.cloud.relay_in, start, t), 3):
                self.rec.reach("cmd_ack_%d" % t, 'answered type %d "status":"1"' % t)
            else:
                self.rec.say("no acknowledgement of command %d within 3 s" % t)

    async def logic_refusal(self):
        cloud = self.cloud
        start = len(cloud.logic_in)
        params = [("msgId", "7"), ("socketId", "12"), ("msgType", "9"),
                  ("cameraId", self.o.camera_id)]
        cloud.send(cloud.logic, 16, params)
        self.rec.commands.append({"at_s": round(self.rec.now(), 3), "link": LOGIC, "type": 16,
                                  "params": dict(params)})
        if not await self.until(lambda: self.reply_after(cloud.logic_in, start, 16), 3):
            self.rec.say("no answer to the logic type 16 request within 3 s")
            return
        msg = self.reply_after(cloud.logic_in, start, 16)
        want = [("msgId", "7"), ("socketId", "12"), ("msgType", "9"), ("status", "0"),
                ("cameraId", self.o.camera_id), ("errorMsg", "device not support")]
        got = [(k.decode("latin-1"), v.decode("latin-1")) for k, v in msg.params or []]
        if got != want:
            self.rec.violation(LOGIC, "refusal %s, expected %s" % (got, want))
        else:
            self.rec.reach("logic_refusal", '"device not support", request fields echoed')

    async def alarm(self):
        if not self.o.alarm_fifo:
            return
        mark = self.journal.mark()
        if not await self.write_fifo(b"motion\n"):
            return
        self.rec.say("alarm: wrote 'motion' into the camera's alarm FIFO")
        await self.wait_milestone("upload", 8)
        await self.wait_milestone("alarm_report", 5)
        if self.o.journal and not self.journal.find(mark, ["SnapJpeg 1048576"]):
            self.rec.violation("sdk", "no 'SnapJpeg 1048576' in the SDK journal for the alarm")

    async def write_fifo(self, data):
        for _ in range(40):
            try:
                fd = os.open(self.o.alarm_fifo, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:
                await asyncio.sleep(0.05)
                continue
            try:
                os.write(fd, data)
                return True
            finally:
                os.close(fd)
        self.rec.say("alarm: cannot open the FIFO %s for writing" % self.o.alarm_fifo)
        return False

    async def run_probe(self, newline):
        cmd = shlex.split(self.o.probe_via) + [sys.executable, "-m", "cloudsim.probe",
                                               "--target", self.o.probe_target, "--wait", "1.5"]
        if newline:
            cmd.append("--newline")
        env = dict(os.environ)
        pkg_parent = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        env["PYTHONPATH"] = pkg_parent + os.pathsep + env.get("PYTHONPATH", "")
        proc = await asyncio.create_subprocess_exec(*cmd, stdout=asyncio.subprocess.PIPE,
                                                    stderr=asyncio.subprocess.PIPE, env=env)
        try:
            out, err = await asyncio.wait_for(proc.communicate(), 10)
        except asyncio.TimeoutError:
            proc.kill()
            await proc.wait()
            self.rec.say("discovery probe did not finish")
            return None
        try:
            result = json.loads(out.decode())
        except ValueError:
            self.rec.say("discovery probe failed: %s" % err.decode(errors="replace").strip())
            return None
        if "error" in result:
            self.rec.say("discovery probe failed: %s" % result["error"])
            return None
        self.rec.discovery.append(result)
        return result

    async def discovery(self):
        if not self.o.probe_via:
            return
        want = cat.discovery_answer(self.o.expect_devid or "", self.o.expect_camera_ip or "")
        result = await self.run_probe(False)
        if result is not None:
            answers = result["answers"]
            good = True
            if len(answers) != 1:
                self.rec.violation("discovery", "%d answers to one probe, expected 1: %s"
                                   % (len(answers), [a["data"] for a in answers]))
                good = False
            for a in answers:
                data = a["data"].encode("latin-1")
                if self.o.expect_devid and self.o.expect_camera_ip and data != want:
                    self.rec.violation("discovery", "answer %s, expected %s"
                                       % (cat.show(data), cat.show(want)))
                    good = False
                if a["from"][1] != cat.DISCOVERY_PORT:
                    self.rec.violation("discovery", "answer from port %d" % a["from"][1])
                    good = False
                if a["to"] not in (None, "255.255.255.255"):
                    self.rec.violation("discovery", "answer sent to %s, not broadcast" % a["to"])
                    good = False
            if good:
                a = answers[0]
                self.rec.reach("discovery", "%s from %s:%d to %s"
                               % (a["data"], a["from"][0], a["from"][1], a["to"] or "?"))
        await asyncio.sleep(0.2)
        result = await self.run_probe(True)
        if result is not None:
            if result["answers"]:
                self.rec.violation("discovery", "a probe with a trailing line end got %d answer(s)"
                                   % len(result["answers"]))
            else:
                self.rec.reach("discovery_newline", "no answer within 1.5 s")

    async def reconnect(self):
        cloud = self.cloud
        await self.pace()
        old = cloud.relay
        states = len(self.rec.camera_states)
        connections = self.rec.connections[RELAY]
        dropped_at = self.rec.now()
        old.closed = True
        old.writer.close()
        self.rec.say("relay link closed by the cloud")
        up = lambda: (self.rec.connections[RELAY] > connections and cloud.relay is not old
                      and cloud.relay.logged_in)
        if not await self.until(up, 5):
            self.rec.say("relay link not back within 5 s")
            return
        self.rec.reach("relay_reconnect", "relay login again %.1f s after the drop"
                       % (self.rec.now() - dropped_at))
        again = lambda: any(st["active"] == "1" for st in self.rec.camera_states[states:])
        if await self.until(again, 3):
            self.rec.reach("camera_state_again", "camera %s active 1" % self.o.camera_id)
        link = cloud.relay
        if not await self.until(lambda: link.first_video is not None, 5):
            self.rec.say("no video on the new relay link within 5 s")
            return
        hdr = link.first_video
        if not hdr.key:
            self.rec.violation(RELAY, "first frame after the reconnect (sequence %d) is not a "
                               "key frame" % hdr.sequence)
            return
        self.rec.reach("forwarding_resumed", "key frame, sequence %d, without a new request"
                       % hdr.sequence)
        await self.pace()

    async def forwarding_off(self):
        cloud = self.cloud
        before = self.rec.video["frames"]
        cloud.stop_sent_at = self.rec.now()
        self.relay_send(3)
        await asyncio.sleep(1.0)
        # The frames queued before the command may still arrive; then the
        # flow must stop.
        settled = self.rec.video["frames"]
        await asyncio.sleep(0.8)
        after = self.rec.video["frames"]
        if after == settled:
            self.rec.reach("cmd_stop", "%d frame(s) in flight after the command, then none"
                           % (settled - before))
        else:
            self.rec.violation(RELAY, "%d frames arrived 1-1.8 s after forwarding was switched off"
                               % (after - settled))
