"""A small fleet (20 agents, each in its own namespace) loses its logic
server for 30 s: while it is gone the agents retry sparingly, and when it
returns they come back spread over time, not all in the same second."""
import json
import os
import re
import subprocess
import sys
import unittest

import e2e_support as support
from cloudsim import harness

CAMERAS = 20
OUTAGE_S = 30


class SmallFleetOutage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        mode, why = harness.detect()
        if mode != "netns":
            print("SKIPPED: a fleet needs root with ip netns, one namespace per agent (%s)" % why)
            sys.exit(support.SKIP)
        cls.out = support.out_dir("fleet")
        env = dict(os.environ)
        env["PYTHONPATH"] = support.TOOLS
        cmd = [sys.executable, "-m", "cloudsim.fleet", "--cameras", str(CAMERAS),
               "--agent", os.environ["CLOUD_AGENT_FLEET"], "--netlib", support.paths()[1],
               "--out", cls.out, "--logic-refuse", "--outage", str(OUTAGE_S), "--settle", "2",
               "--recover-limit", "65"]
        cls.proc = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 text=True, timeout=200, check=False)
        print(cls.proc.stdout[-3000:])
        if cls.proc.returncode == 77:
            sys.exit(support.SKIP)
        with open(os.path.join(cls.out, "summary.json")) as f:
            cls.summary = json.load(f)
        cls.row = cls.summary["scenarios"][0]

    def test_the_fleet_came_up_and_left_nothing_behind(self):
        self.assertEqual(self.proc.returncode, 0)
        self.assertEqual(self.summary["usage"]["agents_measured"], CAMERAS)
        tag = re.search(r"in namespaces (cafleet\d+)-a\*", self.proc.stdout).group(1)
        left = subprocess.run(["ip", "netns", "list"], stdout=subprocess.PIPE, text=True).stdout
        self.assertNotIn(tag + "-", left)

    def test_the_outage_draws_few_attempts(self):
        # Refused connects at once, 21 in a row, then 10 s: about 2.5 a
        # second per camera. Backing off: well under one.
        self.assertLess(self.row["attempts_per_s_per_camera"], 0.5, self.row)

    def test_the_return_is_spread_and_complete_within_a_minute(self):
        row = self.row
        self.assertTrue(row["all_back"], row)
        self.assertEqual(row["back"], CAMERAS, row)
        # The longest wait is a minute; the login after it takes a moment.
        self.assertLessEqual(row["back_100pct_s"], 62, row)
        # In step, the whole fleet logs in within the same second; spread
        # over the last wait of the schedule, half of it takes seconds to
        # return, and no second holds more than a few cameras.
        self.assertGreaterEqual(row["back_50pct_s"], 3.0, row)
        self.assertLessEqual(row["max_logins_in_one_s"], 6, row)


if __name__ == "__main__":
    support.main()
