"""End to end: the whole uplink (logic, relay and upload links together)
at half the bitrate of a camera at level 4's rhythm and busy with its video
when an alarm comes: the 40,000-byte snapshot is uploaded and the alarm
reported within the upload's 10 s window."""
import re
import unittest

import e2e_support as e2e
import uplink_support as us

RUN = {}


class AlarmOnAThinUplink(unittest.TestCase):
    def test_snapshot_uploaded_and_reported_within_10_s(self):
        s = RUN["summary"]
        written = None
        for line in e2e.read_lines(RUN["out"] + "/cloud.log"):
            m = re.match(r"\[\s*([\d.]+)s\] alarm: wrote 'motion'", line)
            if m:
                written = float(m.group(1))
        self.assertIsNotNone(written, "the alarm was never raised")
        self.assertEqual(len(s["uploads"]), 1, s["uploads"])
        self.assertEqual(s["uploads"][0]["file_bytes"], 40000)
        self.assertLessEqual(s["uploads"][0]["at_s"] - written, 10.0)
        self.assertEqual(len(s["alarm_reports"]), 1)
        self.assertLessEqual(s["alarm_reports"][0]["at_s"] - written, 10.0)
        self.assertEqual(us.violations(RUN), [])


if __name__ == "__main__":
    RUN.update(us.run("uplink-alarm", "%d:20" % (us.LEVEL4.kbit // 2), whole=True, alarm_at=4,
                      snapshot_bytes=40000, rhythm=us.LEVEL4))
    e2e.main(lambda: us.show(RUN))
