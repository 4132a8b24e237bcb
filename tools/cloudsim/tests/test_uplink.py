"""The uplink shaping: the tc command lines the Shaper runs (recorded, not
run), and the figures the uplink runs are judged by."""
import unittest
from unittest import mock

from cloudsim import uplink


def shaped(action, *args):
    """The tc argument lists a Shaper action runs, in order."""
    calls = []
    with mock.patch.object(uplink, "_tc", side_effect=lambda *a: calls.append(list(a))):
        action(*args)
    return calls


def option(cmd, name):
    return cmd[cmd.index(name) + 1]


def kbit(text):
    assert text.endswith("kbit"), text
    return int(text[:-4])


class ShaperCommands(unittest.TestCase):
    def test_start_builds_one_consistent_htb_tree(self):
        cmds = shaped(uplink.Shaper([7001, 7002, 7003]).start, 96)
        # Only htb and a byte fifo: no emulated delay or loss anywhere.
        for cmd in cmds:
            self.assertNotIn("netem", cmd)
            self.assertEqual(option(cmd, "dev"), "lo")
        root, default, uplink_class, fifo = cmds[:4]
        self.assertEqual(root[:2], ["qdisc", "replace"])
        self.assertEqual((option(root, "handle"), root[root.index("handle") + 2]), ("1:", "htb"))
        # Unmatched traffic goes to the default class, which is not shaped.
        self.assertEqual(option(default, "classid"), "1:" + option(root, "default"))
        self.assertGreaterEqual(kbit(option(default, "rate")), uplink.UNSHAPED_KBIT)
        # The agent's class keeps to its rate: its ceiling is the rate, so it
        # cannot borrow from the root, and its burst is one packet.
        self.assertEqual(kbit(option(uplink_class, "rate")), 96)
        self.assertEqual(option(uplink_class, "ceil"), option(uplink_class, "rate"))
        self.assertLessEqual(int(option(uplink_class, "burst")), 1600)
        # The bottleneck hangs under that class.
        self.assertEqual(option(fifo, "parent"), option(uplink_class, "classid"))
        self.assertIn("bfifo", fifo)
        # Each port is steered into the agent's class.
        filters = cmds[4:]
        self.assertEqual([option(f, "dport") for f in filters], ["7001", "7002", "7003"])
        for f in filters:
            self.assertEqual(option(f, "flowid"), option(uplink_class, "classid"))
            self.assertEqual(f[f.index("dport") + 2], "0xffff")

    def test_bottleneck_holds_half_a_second_but_two_packets_at_least(self):
        for rate, limit in ((20, 2 * 1514), (96, 6000), (200, 12500), (2000, 125000)):
            fifo = shaped(uplink.Shaper([1]).start, rate)[3]
            self.assertEqual(int(option(fifo, "limit")), limit, rate)

    def test_change_reshapes_the_same_class_and_fifo(self):
        shaper = uplink.Shaper([7001])
        start = shaped(shaper.start, 96)
        for rate in (500, 0):
            cls, fifo = shaped(shaper.change, rate)
            self.assertEqual(cls[:2], ["class", "change"])
            self.assertEqual(option(cls, "classid"), option(start[2], "classid"))
            self.assertEqual((option(fifo, "parent"), option(fifo, "handle")),
                             (option(start[3], "parent"), option(start[3], "handle")))
            self.assertEqual(shaper.kbit, rate)
        # 0 kbit: the phase is unshaped, so the class is as wide as the default.
        self.assertEqual(kbit(option(cls, "rate")), uplink.UNSHAPED_KBIT)
        self.assertEqual(option(cls, "ceil"), option(cls, "rate"))

    def test_stop_removes_the_root_qdisc(self):
        with mock.patch.object(uplink.subprocess, "run") as run:
            uplink.Shaper([7001]).stop()
        self.assertEqual(run.call_args[0][0], ["tc", "qdisc", "del", "dev", "lo", "root"])

    def test_a_failing_tc_says_which_command(self):
        failed = mock.Mock(returncode=2, stdout=b"RTNETLINK answers: Operation not permitted\n")
        with mock.patch.object(uplink.subprocess, "run", return_value=failed):
            with self.assertRaisesRegex(RuntimeError, "tc qdisc add .*not permitted"):
                uplink._tc("qdisc", "add", "dev", "lo")


def frame(at, seq, key=False, delay=0.1):
    return {"at": at, "seq": seq, "key": key, "bytes": 850, "delay": delay}


class UplinkFigures(unittest.TestCase):
    def test_plan_and_percentile(self):
        self.assertEqual(uplink.parse_plan("96:40,0:10"), [(96, 40.0), (0, 10.0)])
        self.assertIsNone(uplink.percentile([], 50))
        values = list(range(100, 0, -1))  # unsorted on purpose
        self.assertEqual(uplink.percentile(values, 0), 1)
        self.assertEqual(uplink.percentile(values, 100), 100)
        self.assertIn(uplink.percentile(values, 50), (50, 51))
        self.assertEqual(uplink.percentile(values, 95), 95)
        self.assertEqual(uplink.percentile([7], 99), 7)

    def test_phase_counts_gaps_drops_and_key_spacing(self):
        frames = [frame(10.0, 1, key=True), frame(10.04, 2), frame(10.08, 3),
                  # 4 and 5 dropped, and the stream goes on without a key frame
                  frame(10.2, 6, delay=0.9),
                  # 7 to 9 dropped up to the next key frame
                  frame(11.0, 10, key=True), frame(11.04, 11)]
        got = uplink.phase_figures(frames + [frame(20.0, 99)], 10.0, 12.0)
        self.assertEqual(got["frames"], 6)
        self.assertEqual((got["gaps"], got["gaps_not_at_key"]), (2, 1))
        self.assertEqual(got["sequence_dropped"], 5)
        self.assertEqual(got["key_frames"], 2)
        self.assertEqual(got["longest_without_key"], 1.0)
        self.assertEqual(got["delay_max"], 0.9)
        self.assertEqual(got["expected_frames"], 50)

    def test_heartbeat_gap_counts_the_phase_edges(self):
        self.assertEqual(uplink.heartbeat_gaps([12.0, 22.0], 10.0, 40.0), 18.0)
        self.assertEqual(uplink.heartbeat_gaps([], 10.0, 40.0), 30.0)


if __name__ == "__main__":
    unittest.main()
