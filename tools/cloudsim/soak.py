"""Soak: the cloud drops the logic and the relay link over and over while
video flows, and watches the agent's descriptors and memory.

One cycle: both links have lived at least a little over a second (a link
that lived less is reopened only after a pause), the cloud closes both; the
agent logs in again on both, the relay server asks for video and gets a key
frame on the new link, and a status query is answered. After the warm-up
cycles and at the end the agent's open descriptors (/proc/PID/fd) and
resident memory (VmRSS) are read: the descriptors must be the same, the
memory within a small tolerance.
"""
import asyncio

from .faults import FaultFailed, FaultScenario

# A link that lived shorter than this is reopened only after a pause.
MIN_LINK_AGE_S = 1.05


class SoakScenario(FaultScenario):
    def __init__(self, cloud, opts, rec):
        opts.faults = []
        super().__init__(cloud, opts, rec)
        rec.expect("soak_cycles", "%d reconnect cycles with video" % opts.cycles)
        rec.expect("soak_fds", "descriptors unchanged after the warm-up")
        rec.expect("soak_rss", "memory flat after the warm-up")
        self.samples = []

    async def run(self):
        o, rec = self.o, self.rec
        if not await self.wait_milestone("directory", o.start_timeout, fatal=True):
            return
        for name, timeout in (("login", 10), ("relay_login", 15), ("camera_state", 10)):
            if not await self.wait_milestone(name, timeout, fatal=True):
                return
        await self.wait_milestone("heartbeat", 5)
        await self.forwarding_on()
        if o.alarm_fifo and o.soak_alarm:
            await self.alarm()
        warmup = min(o.warmup_cycles, o.cycles)
        every = max(1, o.progress_every)
        for i in range(1, o.cycles + 1):
            try:
                await self.cycle()
            except FaultFailed as e:
                rec.miss("soak_cycles", "cycle %d: %s" % (i, e))
                return
            if i == warmup or i == o.cycles or i % every == 0:
                await self.settle()
                self.sample(i)
        rec.reach("soak_cycles", "%d cycles in %.0f s" % (o.cycles, rec.now()))
        self.judge(warmup)

    async def alarm(self):
        reports = len(self.rec.alarm_reports)
        if await self.write_fifo(b"motion\n"):
            await self.until(lambda: len(self.rec.alarm_reports) > reports, 15)

    async def cycle(self):
        cloud, rec = self.cloud, self.rec
        await self.need(lambda: self.logic_up() and self.relay_up(), 15, "links not up")
        logic, relay = cloud.logic, cloud.relay
        wait = MIN_LINK_AGE_S - min(logic.age(rec.now()), relay.age(rec.now()))
        if wait > 0:
            await asyncio.sleep(wait)
        cloud.drop(cloud.logic)
        cloud.drop(cloud.relay)
        await self.need(lambda: cloud.logic is not logic and self.logic_up(), 15,
                        "no device login after the drop")
        await self.need(lambda: cloud.relay is not relay and self.relay_up(), 15,
                        "no relay login after the drop")
        await self.video_on_current_link(15)
        start = len(cloud.relay_in)
        self.relay_send(17)
        await self.need(lambda: self.reply_after(cloud.relay_in, start, 17), 10,
                        "no answer to a status query")

    async def settle(self):
        """Waits until the relay link has stayed the same for a moment: the
        assignment that follows each device login may replace it once more."""
        cloud = self.cloud
        for _ in range(20):
            count = len(cloud.relay_links)
            await asyncio.sleep(0.3)
            if len(cloud.relay_links) == count and self.relay_up() and self.logic_up():
                return

    def sample(self, i):
        cloud = self.cloud
        s = {"cycle": i, "at_s": round(self.rec.now(), 1), "fds": cloud.agent_fds(),
             "rss_kb": cloud.agent_rss_kb(), "logic_connections": len(cloud.logic_links),
             "relay_connections": len(cloud.relay_links)}
        self.samples.append(s)
        self.rec.extra["soak"] = {"samples": self.samples, "cycles": self.o.cycles,
                                  "rss_tolerance_kb": self.o.rss_tolerance_kb}
        self.rec.say("cycle %d/%d: %s descriptors, VmRSS %s KiB, %d logic and %d relay "
                     "connections" % (i, self.o.cycles, s["fds"], s["rss_kb"],
                                      s["logic_connections"], s["relay_connections"]))

    def judge(self, warmup):
        rec = self.rec
        first = next(s for s in self.samples if s["cycle"] == warmup)
        last = self.samples[-1]
        if first["fds"] is None or first["rss_kb"] is None:
            rec.miss("soak_fds", "cannot read the agent's /proc entries")
            rec.miss("soak_rss", "cannot read the agent's /proc entries")
            return
        if last["fds"] == first["fds"]:
            rec.reach("soak_fds", "%d after cycle %d and after cycle %d"
                      % (first["fds"], warmup, last["cycle"]))
        else:
            rec.miss("soak_fds", "%d after cycle %d, %d after cycle %d"
                     % (first["fds"], warmup, last["fds"], last["cycle"]))
        grown = last["rss_kb"] - first["rss_kb"]
        text = "VmRSS %d KiB after cycle %d, %d KiB after cycle %d" % (
            first["rss_kb"], warmup, last["rss_kb"], last["cycle"])
        if grown <= self.o.rss_tolerance_kb:
            rec.reach("soak_rss", text)
        else:
            rec.miss("soak_rss", "%s: grew %d KiB, tolerance %d" % (text, grown,
                                                                     self.o.rss_tolerance_kb))
