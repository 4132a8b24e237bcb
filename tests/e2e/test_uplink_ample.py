"""End to end: a camera at level 4's rhythm on an uplink of twice its
bitrate. Not one frame dropped, none delayed beyond the sending time of the
25,000-byte key frame ahead of it: the thin-uplink measures cost nothing
here."""
import unittest

import e2e_support as e2e
import uplink_support as us
from cloudsim import uplink

RUN = {}
KBIT = 2 * us.LEVEL4.kbit


class AmpleUplink(unittest.TestCase):
    def test_nothing_dropped_nothing_delayed(self):
        t0, t1, _ = RUN["bounds"][0]
        f = uplink.phase_figures(RUN["frames"], t0, t1, fps=us.LEVEL4.fps)
        self.assertGreater(f["frames"], 0.9 * f["expected_frames"], f)
        self.assertEqual(f["sequence_dropped"], 0, f)
        self.assertLess(f["delay_p95"], us.LEVEL4.key_send_s(KBIT) + 0.1, f)
        self.assertEqual(us.violations(RUN), [])
        self.assertFalse([x for x in RUN["console"] if "dropped for the uplink" in x])
        self.assertEqual(e2e.sanitizer_reports(RUN["console"]), [])


if __name__ == "__main__":
    RUN.update(us.run("uplink-ample", "%d:15" % KBIT, rhythm=us.LEVEL4))
    e2e.main(lambda: us.show(RUN))
