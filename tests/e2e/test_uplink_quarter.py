"""End to end: a camera at level 1's rhythm (800 kbit/s, 20 fps, a
36,250-byte key frame every 2.5 s) on an uplink of a quarter of that,
behind a half-second bottleneck, while the relay server asks for status
twice a second. Most video must go, the relay link must not: one connection
throughout, and the relay server hears a heartbeat at least every 12 s."""
import unittest

import e2e_support as e2e
import uplink_support as us
from cloudsim import uplink

RUN = {}
LEVEL1 = uplink.Rhythm(1)
KBIT = LEVEL1.kbit // 4
# The relay server asks for the camera's status meanwhile: its answers
# compete with the heartbeat for the control slots.
STATUS_EVERY_S = 0.5


class QuarterOfLevel1(unittest.TestCase):
    def test_the_relay_link_is_kept(self):
        f = us.window(RUN)
        self.assertLess(f["delivered_pct"], 50.0, "was the uplink shaped? %s" % f)
        self.assertEqual(us.relay_connections(RUN), 1, RUN["summary"]["connections"])
        t0, _, _ = RUN["bounds"][0]
        self.assertLessEqual(uplink.heartbeat_gaps(RUN["beats"], t0, RUN["bounds"][-1][1]), 12.0)
        self.assertTrue(RUN["agent_alive_at_end"])
        self.assertEqual(us.violations(RUN), [])


if __name__ == "__main__":
    RUN.update(us.run("uplink-quarter", "%d:22,%d:3" % (KBIT, KBIT), rhythm=LEVEL1,
                      status_every=STATUS_EVERY_S))
    e2e.main(lambda: us.show(RUN))
