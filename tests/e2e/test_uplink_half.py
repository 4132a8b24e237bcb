"""End to end: a camera at level 4's rhythm (a key frame every 10 s) on an
uplink of half its bitrate. Frames must be dropped; after a drop the agent
asks the camera for a key frame instead of waiting up to 10 s for the next
one, so the picture at the relay server never stands still for more than
3 s, and the frames after each key frame still get their turn."""
import unittest

import e2e_support as e2e
import uplink_support as us

RUN = {}
KBIT = us.LEVEL4.kbit // 2


class HalfRate(unittest.TestCase):
    def test_no_freeze_over_3_s_with_key_frames_asked_for(self):
        f = us.window(RUN)
        self.assertLess(f["delivered_pct"], 90.0, "nothing was dropped: was the uplink shaped? %s"
                        % f)
        self.assertLessEqual(f["freeze_s"], 3.0, f)
        self.assertGreater(f["key_requests"], 0, f)
        # The status block counts them too (the SDK journal's count is of
        # the measured time only).
        asked = us.key_frames_asked(RUN)
        self.assertIsNotNone(asked, "the status block does not say")
        self.assertGreaterEqual(asked, f["key_requests"])
        self.assertLessEqual(f["age_p95"], us.LEVEL4.key_send_s(KBIT) + 1.0, f)
        t0, t1, _ = RUN["bounds"][0]
        arrived = [x for x in RUN["frames"] if t0 <= x["at"] < t1]
        keys = len([x for x in arrived if x["key"]])
        # Not key frames only: the frames after each key frame get their
        # turn (one of the window's key frames may arrive alone at its end).
        self.assertGreaterEqual(len(arrived) - keys, keys - 1, "%d key frames of %d"
                                % (keys, len(arrived)))
        self.assertEqual(us.relay_connections(RUN), 1)
        self.assertEqual(us.violations(RUN), [])


if __name__ == "__main__":
    RUN.update(us.run("uplink-half", "%d:22,%d:3" % (KBIT, KBIT), rhythm=us.LEVEL4,
                      before_stop=us.ask_status))
    e2e.main(lambda: us.show(RUN))
