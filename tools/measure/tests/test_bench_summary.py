"""How tools/bench judges and summarises what it measured: each goal's row
of the table, whether all were met, the per-thread breakdown, and the
medians read from Google Benchmark's report."""
import copy
import unittest

from measure import agent_figures


def load(x=0.2):
    return [x, x, x]


def good_results():
    """Results of a run that meets every goal, each figure near its goal."""
    return {
        "idle": {"wall_s": 20.0, "percent": 0.4, "cpu_s": 0.08, "load": load(),
                 "wakes": {"wall_s": 20.0, "agent_wakeups": 30, "sdk_wakeups": 500, "load": load(),
                           "threads_vol_invol": {"ca-logic/11": (10, 0), "ca-relay0/12": (18, 2)}}},
        "forward": {"wall_s": 41.0, "percent": 1.5, "cpu_s": 0.6, "load": load(), "offered": 1025,
                    "relay": {"frames": 1025, "latency_us": {"n": 1025, "p50": 180, "p99": 990,
                                                             "max": 3000, "over_1ms": 5}},
                    "wakes": {"wall_s": 41.0, "agent_wakeups": 2000, "sdk_wakeups": 1100,
                              "frames": 1025, "load": load(),
                              "threads_vol_invol": {"ca-relay0/12": (1900, 100)}}},
        "throughput": {"relay": {"window_s": 10.0}, "mb_s": 900.0, "frames_s": 9000.0,
                       "dropped_share": 0.01, "offered": 91000, "load": load(1.9),
                       "vm_hwm_kb": 4000},
        "memory": {"vm_hwm_kb": 6 * 1024, "snapshot_bytes": 512000, "load": load()},
        "syscalls": {"window_s": 10.0, "calls": 1000, "frames": 250, "sdk_own_calls": 125,
                     "load": load(),
                     "by_thread_call": {"ca-relay0/12 sendto": 250, "ca-relay0/12 poll": 500,
                                        "netlib-stream/20 write": 250}},
        "micro_ns": {"BM_ParseLoginAnswer": 850.0, "BM_QueueVideoFrame20KB": 8600.0},
        "micro_bytes": {"BM_ParseLoginAnswer": 220},
        "micro_load": load(),
    }


def met_column(text):
    """{row number: Met cell} of the table's numbered rows."""
    out = {}
    for line in text.splitlines():
        if line[:1].isdigit():
            cells = [c for c in line.split("  ") if c.strip()]
            out[int(line.split()[0])] = cells[3].strip() if len(cells) > 4 else ""
    return out


class GoalTable(unittest.TestCase):
    def test_every_goal_met(self):
        text, met_all = agent_figures.table(good_results())
        self.assertTrue(met_all)
        met = met_column(text)
        self.assertEqual([met[n] for n in range(1, 9)], ["yes"] * 8)
        self.assertIn("p50 180 us, p99 990 us, max 3.00 ms; 5 over 1 ms", text)
        self.assertIn("850 ns per call (median of 3)", text)
        self.assertIn("(220 B)", text)
        self.assertIn("not run", text)  # BM_CommandStepPtz is missing
        self.assertNotIn("Other work kept the machine busy", text)

    def test_each_missed_goal_fails_its_own_row(self):
        misses = {
            1: lambda r: r["idle"].update(percent=0.6),
            3: lambda r: r["forward"]["relay"]["latency_us"].update(p99=1001),
            4: lambda r: r["throughput"].update(mb_s=499.0),
            5: lambda r: r["memory"].update(vm_hwm_kb=8 * 1024 + 1),
            6: lambda r: r["idle"]["wakes"].update(agent_wakeups=41),
            # No frame at all in the window: a rate per frame cannot be met.
            7: lambda r: r["forward"]["wakes"].update(frames=0),
            8: lambda r: r["syscalls"].update(calls=1001),
        }
        for row, miss in misses.items():
            with self.subTest(row=row):
                results = good_results()
                miss(results)
                text, met_all = agent_figures.table(results)
                self.assertFalse(met_all)
                met = met_column(text)
                self.assertEqual([n for n in range(1, 9) if met[n] != "yes"], [row], text)

    def test_a_busy_machine_is_said(self):
        results = good_results()
        results["forward"]["load"] = load(1.5)
        results["forward"]["waited_for_cpu_s"] = 0.25
        text, _ = agent_figures.table(results)
        self.assertIn("load up to 1.50", text)
        self.assertIn("waited 250 ms", text)

    def test_breakdown_adds_threads_of_one_name_and_calls_over_threads(self):
        window = {"threads_vol_invol": {"ca-relay0/12": (3, 1), "ca-relay0/13": (2, 0),
                                        "ca-logic/11": (1, 1)}}
        self.assertEqual(agent_figures.wakes_by_thread(window), {"ca-relay0": 6, "ca-logic": 2})
        self.assertEqual(agent_figures.voluntary(window), 6)
        calls = agent_figures.calls_by_name(good_results()["syscalls"])
        self.assertEqual(calls, {"sendto": 250, "poll": 500, "write": 250})
        self.assertEqual(agent_figures.shares(calls, 250), "poll 2.00, write 1.00, sendto 1.00")
        self.assertEqual(agent_figures.shares({"poll": 0}, 250), "")
        self.assertEqual(agent_figures.shares(calls, 0), "-")


class Medians(unittest.TestCase):
    REPORT = {"benchmarks": [
        {"name": "BM_A_mean", "run_name": "BM_A", "aggregate_name": "mean",
         "real_time": 9.0, "time_unit": "us"},
        {"name": "BM_A_median", "run_name": "BM_A", "aggregate_name": "median",
         "real_time": 8.5, "time_unit": "us", "bytes": 220.0},
        {"name": "BM_B/iterations:100/manual_time_median", "aggregate_name": "median",
         "run_name": "BM_B/iterations:100/manual_time", "real_time": 430.0, "time_unit": "ns"},
    ]}

    def test_medians_in_ns_by_benchmark(self):
        times, sizes = agent_figures.medians(self.REPORT)
        self.assertEqual(times, {"BM_A": 8500.0, "BM_B": 430.0})
        self.assertEqual(sizes, {"BM_A": 220})

    def test_a_failed_benchmark_is_an_error(self):
        report = copy.deepcopy(self.REPORT)
        report["benchmarks"][1].update(error_occurred=True, error_message="connect failed")
        with self.assertRaisesRegex(agent_figures.BenchError, "connect failed"):
            agent_figures.medians(report)


if __name__ == "__main__":
    unittest.main()
