"""The uplink matrix's arithmetic: the camera's rhythm per level, a cell's
figures from the relay server's frame log, and the goals judged on them;
its runner without namespaces: what a cell asks of the uplink run, and the
cells run a few at a time and collected each into its own place."""
import contextlib
import io
import json
import os
import tempfile
import time
import types
import unittest
from unittest import mock

from cloudsim import uplink, uplink_matrix
from measure import uplink_figures


def frame(handoff, delay, key=False):
    return {"at": handoff + delay, "handoff": handoff, "delay": delay, "key": key, "seq": 0,
            "bytes": 0}


class Rhythm(unittest.TestCase):
    def test_each_level_carries_its_bit_rate_with_large_key_frames(self):
        for level, (kbit, fps, interval) in uplink.LEVELS.items():
            r = uplink.Rhythm(level)
            self.assertLess(abs(r.payload_kbit() - kbit), 0.02 * kbit, r.describe())
            self.assertTrue(8 <= r.key_bytes / float(r.frame_bytes) <= 10, r.describe())
            env = r.env()
            self.assertEqual((env["NETLIB_SIM_FPS"], env["NETLIB_SIM_KEY_INTERVAL"]),
                             (str(fps), str(interval)))

    def test_level_4_is_the_field_camera(self):
        r = uplink.Rhythm(4)
        self.assertEqual((r.fps, r.frame_bytes, r.key_bytes, r.key_every_s), (10, 3000, 25000, 10))
        # 25,029 bytes at 128 kbit/s
        self.assertAlmostEqual(r.key_send_s(128), 1.564, places=3)


class Cells(unittest.TestCase):
    def test_fifty_cells_each_over_two_key_frame_intervals(self):
        cells = uplink_matrix.cells()
        self.assertEqual(len(cells), 50)
        self.assertEqual(len({c.name() for c in cells}), 50)
        for c in cells:
            measured, tail = c.seconds()
            self.assertGreaterEqual(measured, 2 * c.rhythm.key_every_s, c.name())
            self.assertGreaterEqual(tail, c.floor_s(), c.name())
            self.assertEqual(uplink_matrix.Cell.parse(c.name()).folder(), c.folder())

    def test_a_larger_key_frame_keeps_the_bit_rate_and_reaches_the_cell_job(self):
        # The cell runs in a process of its own, told its cell by name.
        cell = uplink_matrix.Cell.parse(uplink_matrix.Cell(4, 1.2, 1000, 10.0).name())
        r = cell.rhythm
        self.assertEqual((cell.key_ratio, r.frame_bytes, r.key_bytes), (10.0, 2950, 29500))
        self.assertLess(abs(r.payload_kbit() - 256), 0.02 * 256, r.describe())
        self.assertNotEqual(cell.folder(), uplink_matrix.Cell(4, 1.2, 1000).folder())

    def test_a_shallow_bottleneck_holds_two_full_packets_at_least(self):
        c = uplink_matrix.Cell(5, 0.25, 60)  # 20 kbit/s: 60 ms would be 150 bytes
        self.assertEqual(uplink.bottleneck_bytes(c.kbit, 0.06), 2 * uplink.FULL_PACKET)
        self.assertAlmostEqual(c.holds_ms(), 1211.2, places=1)
        self.assertEqual(uplink_matrix.Cell(1, 2.0, 500).holds_ms(), 500)


class Figures(unittest.TestCase):
    def test_percentile_is_the_nearest_rank(self):
        values = list(range(1, 101))
        self.assertEqual(uplink.percentile(values, 50), 51)
        self.assertEqual(uplink.percentile(values, 95), 95)
        self.assertEqual(uplink.percentile([3.0], 95), 3.0)
        self.assertIsNone(uplink.percentile([], 50))

    def test_longest_freeze_counts_the_edges_of_the_window(self):
        self.assertEqual(uplink.longest_freeze([11, 12, 18], 10, 20), 6)
        self.assertEqual(uplink.longest_freeze([11, 12, 14], 10, 20), 6)  # to the end
        self.assertEqual(uplink.longest_freeze([5, 25], 10, 20), 10)  # nothing inside

    def test_cell_counts_the_frames_handed_over_in_the_window(self):
        # Camera frames at 10.0 .. 19.9 s; the one at 19.9 arrives after the
        # window and counts, those before 10 s or after 20 s do not.
        handoffs = [9.9] + [10 + i / 10.0 for i in range(100)] + [20.0]
        frames = [frame(9.9, 0.05)] + [frame(10 + i / 10.0, 0.05) for i in range(50)]
        frames += [frame(16.0 + i / 10.0, 1.0) for i in range(40)] + [frame(20.0, 0.1)]
        f = uplink.cell_figures(frames, handoffs, beats=[12.0, 22.0], key_requests=[9.0, 15.5, 24.0],
                                t0=10.0, t1=20.0, t_end=24.0)
        self.assertEqual((f["sent"], f["delivered"]), (100, 90))
        self.assertAlmostEqual(f["delivered_pct"], 90.0)
        self.assertEqual(f["age_p50"], 0.05)
        self.assertEqual(f["age_p95"], 1.0)
        self.assertAlmostEqual(f["freeze_s"], 2.05)  # 14.95 s to the late frame at 17.0 s
        self.assertEqual(f["key_requests"], 2)
        self.assertEqual(f["heartbeat_gap_max_s"], 10.0)

    def test_goals_per_share_of_the_bit_rate(self):
        good = {"delivered_pct": 99.5, "age_p95": 0.8, "freeze_s": 2.5,
                "heartbeat_gap_max_s": 10.0}

        def met(share, reconnects=0, **change):
            f = dict(good, **change)
            return [m for _, m in uplink.cell_goals(share, 0.52, f, reconnects)]

        self.assertEqual(met(1.5), [True, True])
        self.assertEqual(met(2.0, delivered_pct=98.9), [True, False])
        self.assertEqual(met(1.5, age_p95=0.83), [True, False])
        self.assertEqual(met(0.5, freeze_s=3.1), [True, False])
        self.assertEqual(met(0.5, age_p95=1.6), [True, False])
        self.assertEqual(met(1.0, delivered_pct=10.0, freeze_s=9.0), [True])
        self.assertEqual(met(0.25, reconnects=1), [False])
        self.assertEqual(met(0.25, heartbeat_gap_max_s=12.5), [False])

    def test_bench_rows_name_the_cells_that_missed(self):
        def fig(cell, **change):
            f = {"delivered_pct": 100.0, "delivered": 10, "sent": 10, "freeze_s": 1.0,
                 "age_p50": 0.1, "age_p95": 0.2, "floor_s": cell.floor_s(), "key_requests": 0,
                 "heartbeat_gap_max_s": 10.0, "reconnects": 0}
            f.update(change)
            f["goals"] = uplink.cell_goals(cell.share, f["floor_s"], f, f["reconnects"])
            return f

        a, b, c = (uplink_matrix.Cell(4, s, 60) for s in (1.5, 0.5, 0.25))
        results = [(a, fig(a, delivered_pct=80.0)), (b, fig(b)), (c, fig(c, reconnects=2))]
        rows = uplink_matrix.bench_rows(results)
        self.assertEqual([r[3] for r in rows], [False, True, False])
        self.assertIn("missed in 4:1.5:60", rows[0][1])
        self.assertIn("2 reconnects; missed in 4:0.25:60", rows[2][1])
        self.assertIn("run failed", uplink_matrix.text_table([(a, None)]))
        before, after = dict(results[0][1], cell=a.name()), dict(results[1][1], cell=b.name())
        lines = uplink_matrix.compare_table([before], [dict(before, delivered_pct=99.6), after])
        self.assertIn("| 4 | 1.5x 384 | 60 ms | 80 / 100 |", lines)
        self.assertIn("| 4 | 0.5x 128 | 60 ms | - / 100 |", lines)


class Runner(unittest.TestCase):
    def run_cell(self, phases):
        cell = uplink_matrix.Cell(4, 1.5, 60)
        out = tempfile.mkdtemp(prefix="uplink-cell-")
        measured, tail = cell.seconds()

        def run(agent, netlib, o, net, plan, rhythm, bottleneck_ms):
            self.assertEqual(uplink.parse_plan(plan), [(cell.kbit, measured), (cell.kbit, tail)])
            self.assertEqual((rhythm, bottleneck_ms), (cell.rhythm, 60))
            with open(os.path.join(o, "summary.json"), "w") as f:
                json.dump({"connections": {"relay": 2}}, f)
            with open(os.path.join(o, "handoff.log"), "w") as f:  # one a second, 10 to 29 s
                f.writelines("%d %d 3000\n" % (i, (10 + i) * 1000000) for i in range(20))
            return {"workdir": o, "agent_alive_at_end": True, "beats": [10.0, 19.0],
                    "frames": [frame(10.0 + i, 0.25) for i in range(18)],
                    "key_requests": [12.0, 26.0, 40.0], "phases": phases}

        with mock.patch.object(uplink, "run", run):
            fig = uplink_matrix.run_cell("agent", "netlib", out, None, cell)
        with open(os.path.join(out, "figures.json")) as f:
            self.assertEqual(json.load(f), json.loads(json.dumps(fig)))
        return fig

    def test_a_cell_is_measured_over_its_first_phase(self):
        fig = self.run_cell([(10.0, 384), (25.0, 384)])
        # Handed over from 10 to 25 s: 15 frames, all delivered; key frames
        # asked for count until the last frame (27.25 s), in the tail too.
        self.assertEqual((fig["sent"], fig["delivered"], fig["key_requests"]), (15, 15, 2))
        self.assertEqual((fig["reconnects"], fig["error"]), (1, None))
        self.assertEqual(fig["goals"][0][1], False)  # the reconnect misses the link goal
        fig = self.run_cell([])  # no phase played: an error, no figures
        self.assertTrue("cloud.log" in fig["error"] and "goals" not in fig)

    def test_cells_run_jobs_at_a_time_and_each_keeps_its_figures(self):
        a = types.SimpleNamespace(levels=[4], shares=[0.5, 1.5], depths=[60, 500], jobs=3,
                                  key_ratio=uplink.KEY_RATIO,
                                  out=tempfile.mkdtemp(prefix="uplink-matrix-"))
        running, most = set(), [0]

        def start_cell(a, cell):
            out = os.path.join(a.out, cell.folder())
            os.makedirs(out)
            if cell.depth_ms == 60:  # the 500 ms cells leave no figures
                with open(os.path.join(out, "figures.json"), "w") as f:
                    json.dump({"cell": cell.name(), "error": "failed"}, f)
            running.add(cell)
            most[0] = max(most[0], len(running))
            # The earlier a cell starts, the later it ends.
            polls = [None] * (4 - len(os.listdir(a.out)))
            proc = types.SimpleNamespace(
                poll=lambda: polls.pop() if polls else running.discard(cell) or 0)
            return proc, out, io.StringIO()

        clock = types.SimpleNamespace(sleep=lambda s: None, monotonic=time.monotonic)
        with mock.patch.object(uplink_figures, "start_cell", start_cell), \
                mock.patch.object(uplink_figures, "time", clock), \
                contextlib.redirect_stdout(io.StringIO()):
            code = uplink_figures.run_matrix(a)
        self.assertEqual((code, most[0]), (2, 3))
        with open(os.path.join(a.out, "matrix.json")) as f:
            self.assertEqual([x and x["cell"] for x in json.load(f)],
                             ["4:0.5:60", None, "4:1.5:60", None])

    def test_no_jobs_at_a_time_is_refused(self):
        with self.assertRaises(SystemExit), contextlib.redirect_stderr(io.StringIO()), \
                mock.patch.object(uplink_figures.harness, "detect", side_effect=AssertionError):
            uplink_figures.main(["--matrix", "--jobs", "0", "--agent", "a", "--netlib", "n"])


if __name__ == "__main__":
    unittest.main()
