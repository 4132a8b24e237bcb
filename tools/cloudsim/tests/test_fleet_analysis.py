"""How tools/fleet turns the cloud's per-second counts and login events
into the figures of a scenario, and its BPF filter for connection attempts."""
import struct
import types
import unittest

from cloudsim import fleet, fleet_cloud


def second(t, logic_syn=0, dir_syn=0):
    zero = dict.fromkeys(fleet.SERVERS, 0)
    syn = dict(zero, logic=logic_syn, directory=dir_syn)
    return {"t": t, "syn": syn, "accept": dict(zero), "login": dict(zero),
            "up": {"logic": 0, "relay": 0}, "frames": 0}


class Analysis(unittest.TestCase):
    def fleet_of(self, cameras, series, phases):
        f = types.SimpleNamespace(o=types.SimpleNamespace(cameras=cameras), series=series,
                                  phases=phases)
        return f

    def test_outage_rates_and_the_return(self):
        # 4 cameras, an outage from t=100 to t=200: 2 logic and 2 directory
        # attempts a second for 100 s; then logins 0.5, 0.7, 3.2 and 30.1 s
        # after the return, and one from before it that must not count.
        series = [second(100 + i, logic_syn=2, dir_syn=2) for i in range(1, 101)]
        series += [second(200 + i) for i in range(1, 40)]
        phases = [("start", 0, 10), ("logic_refuse", 100.0, 200.0, "logic", True)]
        events = [("L", 99.0, "a"), ("L", 200.5, "a"), ("L", 200.7, "b"), ("L", 203.2, "c"),
                  ("L", 230.1, "d"), ("L", 231.0, "d"), ("R", 200.6, "cam-a")]
        row, = fleet.analyse(self.fleet_of(4, series, phases), events)
        self.assertEqual(row["attempts_per_s_per_camera"], 1.0)
        self.assertEqual(row["attempts_by_server"], {"directory": 200, "logic": 200, "relay": 0})
        self.assertEqual(row["attempts_per_s_per_camera_after_60s"], 1.0)
        self.assertEqual(row["back"], 4)
        self.assertEqual(row["max_logins_in_one_s"], 2)      # a and b in the first second
        self.assertEqual(row["max_logins_in_one_s_pct"], 50.0)
        self.assertEqual(row["back_100pct_s"], 30.1)         # d's first login only
        self.assertEqual(row["back_50pct_s"], 3.2)

    def test_a_fleet_not_all_back_has_no_99_percent_figure(self):
        phases = [("relay_restart", 10.0, 20.0, "relay", False)]
        row, = fleet.analyse(self.fleet_of(3, [second(15)], phases), [("R", 21.0, "x")])
        self.assertEqual(row["back"], 1)
        self.assertNotIn("back_99pct_s", row)

    def test_99_percent_back_means_at_least_that_share(self):
        # Camera i logs in 0.1 * i s after the return; of 50, 49 are 98 %.
        events = [("L", 100.0 + 0.1 * i, "c%d" % i) for i in range(1, 51)]
        phases = [("logic_move", 100.0, 100.0, "logic", True)]
        row, = fleet.analyse(self.fleet_of(50, [], phases), events)
        self.assertEqual(row["back_99pct_s"], 5.0)


class SynFilter(unittest.TestCase):
    """Runs the classic BPF program on hand-made frames."""

    @staticmethod
    def accepts(frame):
        prog = fleet_cloud.syn_filter()
        a = x = 0
        pc = 0
        while True:
            code, jt, jf, k = prog[pc]
            pc += 1
            if code == 0x28:
                a = struct.unpack_from("!H", frame, k)[0]
            elif code == 0x30:
                a = frame[k]
            elif code == 0x50:
                a = frame[x + k]
            elif code == 0xb1:
                x = 4 * (frame[k] & 0xF)
            elif code == 0x54:
                a &= k
            elif code == 0x15:
                pc += jt if a == k else jf
            elif code == 0x45:
                pc += jt if a & k else jf
            elif code == 0x06:
                return k != 0

    @staticmethod
    def frame(flags, proto=6, ethertype=0x0800, frag=0):
        eth = b"\0" * 12 + struct.pack("!H", ethertype)
        ip = bytes([0x45, 0]) + b"\0\x28" + b"\0\0" + struct.pack("!H", frag) + bytes([64, proto]) \
            + b"\0\0" + bytes([198, 18, 1, 1, 198, 18, 0, 1])
        tcp = struct.pack("!HHIIBBH", 40000, 9000, 1, 0, 0x50, flags, 1024) + b"\0" * 4
        return eth + ip + tcp

    def test_only_a_connection_attempt_passes(self):
        self.assertTrue(self.accepts(self.frame(0x02)))             # SYN
        self.assertFalse(self.accepts(self.frame(0x12)))            # SYN+ACK
        self.assertFalse(self.accepts(self.frame(0x10)))            # ACK
        self.assertFalse(self.accepts(self.frame(0x04)))            # RST
        self.assertFalse(self.accepts(self.frame(0x02, proto=17)))  # not TCP
        self.assertFalse(self.accepts(self.frame(0x02, ethertype=0x86DD)))
        self.assertFalse(self.accepts(self.frame(0x02, frag=0x0010)))  # a later fragment


if __name__ == "__main__":
    unittest.main()
