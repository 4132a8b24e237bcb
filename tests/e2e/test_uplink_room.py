"""End to end: a camera at level 4's rhythm behind a shallow bottleneck
(60 ms of queue) with a fifth more than its bitrate, the least room a
link is held to. The link has room for every frame; the 25,000-byte key
frame takes about two thirds of a second to leave, so nothing may be
dropped, and a frame is at most that key frame's sending time plus 0.3 s
old when it arrives."""
import unittest

import e2e_support as e2e
import uplink_support as us

RUN = {}
KBIT = int(1.2 * us.LEVEL4.kbit)


class RoomBehindAShallowBottleneck(unittest.TestCase):
    def test_nothing_dropped(self):
        f = us.window(RUN)
        self.assertGreater(f["sent"], 200, f)
        self.assertGreaterEqual(f["delivered_pct"], 99.0, f)
        # From the first frame on: the key frame that starts forwarding
        # leaves as slowly as any other.
        gaps = [(a["seq"], b["seq"]) for a, b in zip(RUN["frames"], RUN["frames"][1:])
                if b["seq"] > a["seq"] + 1]
        self.assertEqual(gaps, [], "sequence gaps")
        self.assertFalse([x for x in RUN["console"] if "dropped for the uplink" in x])
        self.assertLessEqual(f["age_p95"], us.LEVEL4.key_send_s(KBIT) + 0.3, f)
        self.assertEqual(us.violations(RUN), [])


if __name__ == "__main__":
    RUN.update(us.run("uplink-room", "%d:22,%d:3" % (KBIT, KBIT), rhythm=us.LEVEL4,
                      bottleneck_ms=60))
    e2e.main(lambda: us.show(RUN))
