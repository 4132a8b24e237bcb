"""End to end: the relay uplink at half the video's bitrate, then ample
again. The relay server must see live video (bounded delay, decodable,
a key frame at least every 2 s), the heartbeat rhythm throughout, and after
the recovery full rate within 2 s with no backlog flushed. The console
says how many frames were dropped, at most once in 10 s. tools/bench
measures a whole minute of thin uplink; 30 s show the bound here. The one
uplink test with a key frame every second (the other tests run at the
camera's own rhythm)."""
import re
import unittest

import e2e_support as e2e
import uplink_support as us
from cloudsim import uplink

RUN = {}


class ThinUplink(unittest.TestCase):
    def test_live_video_on_a_thin_uplink(self):
        t0, t1, kbit = RUN["bounds"][0]
        self.assertEqual(kbit, us.THIN_KBIT)
        f = uplink.phase_figures(RUN["frames"], t0 + 2.0, t1)  # the first seconds fill the path
        self.assertLessEqual(f["delay_p95"], 1.0, f)
        self.assertLessEqual(f["delay_max"], 2.0, f)
        self.assertGreater(f["gaps"], 0, "nothing was dropped: was the uplink shaped? %s" % f)
        self.assertEqual(f["gaps_not_at_key"], 0, f)
        self.assertLessEqual(f["longest_without_key"], 2.0, f)
        self.assertLessEqual(uplink.heartbeat_gaps(RUN["beats"], t0, t1), 12.0)
        self.assertEqual(us.violations(RUN), [])

    def test_recovery_drops_the_backlog(self):
        t0, t1, kbit = RUN["bounds"][1]
        self.assertEqual(kbit, 0)
        r = uplink.recovery_figures(RUN["frames"], t0, t1)
        self.assertIsNotNone(r["full_rate_after_s"], r)
        self.assertLessEqual(r["full_rate_after_s"], 2.0, r)
        self.assertLessEqual(r["oldest_after_full_s"], 0.5, r)

    def test_console_says_drops_at_most_every_10_s(self):
        lines = [(i, x) for i, x in enumerate(RUN["console"])
                 if re.match(r"channel 0: \d+ video frames dropped for the uplink", x)]
        self.assertTrue(lines, "no line about the drops")
        seconds = sum(s for _, s in uplink.parse_plan(PLAN))
        self.assertLessEqual(len(lines), seconds // 10 + 1)
        self.assertFalse([x for x in RUN["console"] if "GetWriteBuffer is null" in x])
        self.assertTrue(RUN["agent_alive_at_end"])
        self.assertEqual(e2e.sanitizer_reports(RUN["console"]), [])


PLAN = "%d:30,0:6" % us.THIN_KBIT

if __name__ == "__main__":
    RUN.update(us.run("uplink-thin", PLAN))
    e2e.main(lambda: us.show(RUN))
