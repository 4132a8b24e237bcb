"""tools/fleet's own parts: the cameras' address plan, the scenario flags and
the order the scenarios run in, and the files a run leaves behind."""
import contextlib
import csv
import io
import ipaddress
import json
import os
import subprocess
import sys
import tempfile
import types
import unittest
from unittest import mock

from cloudsim import fleet


class AddressPlan(unittest.TestCase):
    def test_each_camera_has_its_own_mac_and_an_address_in_the_hub_net(self):
        # Two slices of 300 (--first-mac 1 and 301) and the plan's edges.
        net = ipaddress.ip_network(fleet.HUB_ADDR + "/15", strict=False)
        taken = {ipaddress.ip_address(a) for a in (fleet.HUB_ADDR, fleet.MOVED_ADDR)}
        taken |= {net.network_address, net.broadcast_address}
        numbers = [0] + list(range(1, 601)) + [65535, 65536, fleet.LAST_CAMERA]
        macs = [fleet.mac_of(i) for i in numbers]
        addrs = [ipaddress.ip_address(fleet.agent_addr(i)) for i in numbers]
        self.assertEqual((len(set(macs)), len(set(addrs))), (len(numbers), len(numbers)))
        for i, mac, addr in zip(numbers, macs, addrs):
            # Locally administered unicast, the camera's number in the last
            # four bytes.
            self.assertRegex(mac, r"\A02:fa(:[0-9a-f]{2}){4}\Z")
            self.assertEqual(int(mac[6:].replace(":", ""), 16), i)
            self.assertTrue(addr in net and addr not in taken, addr)
        self.assertEqual((fleet.agent_addr(1), fleet.agent_addr(256)), ("198.18.1.1", "198.18.2.0"))

    def test_cameras_beyond_the_plan_are_refused(self):
        last = fleet.LAST_CAMERA
        self.assertEqual(fleet.parse(["--cameras", "10", "--first-mac", str(last - 9)]).cameras, 10)
        for bad in (["--cameras", "10", "--first-mac", str(last - 8)], ["--first-mac", "-1"],
                    ["--cameras", "0"]):
            with self.assertRaises(SystemExit), contextlib.redirect_stderr(io.StringIO()):
                fleet.parse(bad)


def run_on_clock(argv):
    """Fleet.run with the cloud, the agents and the waiting played on a
    clock of its own; the fleet is back 3 s after it is waited for."""
    f, now, told = fleet.Fleet(fleet.parse(argv)), [1000.0], []

    def advance(seconds):
        now[0] += seconds
    f.start_cloud = f.say = lambda *args: None
    f.start_agents, f.watch = lambda: advance(1.0), advance
    f.wait_until = lambda test, limit: advance(3.0) or True
    f.tell = lambda command: told.append(command) or now[0]
    with mock.patch.object(fleet, "time", types.SimpleNamespace(monotonic=lambda: now[0])):
        f.run()
    return told, {p[0]: p[1:] for p in f.phases}


class Scenarios(unittest.TestCase):
    def test_every_scenario_in_order_with_its_own_outage(self):
        # --all is every flag: a name in SCENARIOS that is no flag would never run.
        each = fleet.parse(["--" + name.replace("_", "-") for name in fleet.SCENARIOS])
        self.assertEqual(vars(fleet.parse(["--all"])), dict(vars(each), all=True))
        told, phases = run_on_clock(["--all", "--outage", "30", "--relay-outage", "7"])
        self.assertEqual(told, ["directory normal", "logic refuse", "logic normal", "logic drop",
                                "logic normal", "relay refuse", "relay normal", "logic move"])
        # The directory is gone from the agents' start for the outage.
        self.assertEqual(phases["directory_gone"], (1000.0, 1030.0, "logic", True))
        for name, outage, kind in (("logic_refuse", 30, "logic"), ("logic_drop", 30, "logic"),
                                   ("relay_restart", 7, "relay"), ("logic_move", 0, "logic")):
            began, back, k, ok = phases[name]
            self.assertEqual((back - began, k, ok), (outage, kind, True), name)
        self.assertEqual(run_on_clock(["--logic-drop"])[0], ["logic drop", "logic normal"])
        self.assertEqual(run_on_clock([])[0], [])


class CloudDeath(unittest.TestCase):
    def test_a_cloud_that_died_ends_the_run(self):
        f = fleet.Fleet(fleet.parse([]))
        f.say = lambda *args: None
        f.cloud = subprocess.Popen([sys.executable, "-c", "import sys; sys.exit(3)"],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        f.cloud.wait(10)
        for step in (lambda: f.watch(0.1), lambda: f.tell("logic refuse")):
            with self.assertRaisesRegex(RuntimeError, r"fleet cloud ended \(exit 3\)"):
                step()
        with contextlib.suppress(OSError):  # "logic refuse" is still in its buffer
            f.cloud.stdin.close()
        f.cloud.stdout.close()


def second(t, base):
    """A cloud series line whose every figure is different."""
    def by_server(first):
        return dict(zip(fleet.SERVERS, range(base + first, base + first + 3)))
    return {"t": t, "syn": by_server(1), "accept": by_server(4), "login": by_server(7),
            "up": {"logic": base + 10, "relay": base + 11}, "forwarding": 0, "frames": base + 12}


class Files(unittest.TestCase):
    def setUp(self):
        self.out = tempfile.mkdtemp(prefix="fleet-test-")
        o = types.SimpleNamespace(out=self.out, cameras=2, agent="agent", video=0)
        self.fleet = fleet.Fleet(o)

    def test_series_and_summary_line_up_with_the_cloud_seconds(self):
        f = self.fleet
        f.t0 = 500.0
        f.series = [second(501.0, 0), second(502.04, 20)]
        f.marks = [(503.26, "logic refuse")]
        f.totals = {"syn_dropped": 0}
        usage = dict.fromkeys(("cpu_s", "rss_kib_mean", "rss_kib_max", "pss_kib_mean"), 1)
        with mock.patch.object(fleet, "plot"), contextlib.redirect_stdout(io.StringIO()):
            fleet.write_outputs(f, [{"scenario": "logic_refuse"}], usage, 12.34)
        with open(os.path.join(self.out, "series.csv")) as csv_file:
            rows = list(csv.DictReader(csv_file))
        names = ["%s_%s" % (w, k) for w in ("attempts", "accepts", "logins") for k in fleet.SERVERS]
        names += ["logic_up", "relay_up", "video_frames"]
        for row, (t, base) in zip(rows, (("1.0", 0), ("2.0", 20))):
            self.assertEqual(row.pop("t_s"), t)
            self.assertEqual({k: int(v) for k, v in row.items()},
                             {k: base + i for i, k in enumerate(names, 1)})
        with open(os.path.join(self.out, "summary.json")) as summary_file:
            summary = json.load(summary_file)
        self.assertEqual((summary["marks"], summary["wall_s"], summary["totals"]),
                         ([[3.3, "logic refuse"]], 12.3, {"syn_dropped": 0}))

    def test_series_is_read_whole_lines_at_a_time(self):
        path = os.path.join(self.out, "cloud-series.jsonl")
        with open(path, "w") as f:
            f.write('{"t": 1}\n{"t": ')
        self.fleet.read_series()
        with open(path, "a") as f:
            f.write('2}\n{"t": 3}\n')
        self.fleet.read_series()
        self.fleet.read_series()
        self.assertEqual([s["t"] for s in self.fleet.series], [1, 2, 3])

    def test_an_event_line_cut_short_is_left_out(self):
        path = os.path.join(self.out, "events.txt")
        self.assertEqual(fleet.read_events(path), [])
        with open(path, "w") as f:
            f.write("L 10.500 02:fa:00:00:00:01\nR 11.250 cam-02fa00000001\nL 12.")
        self.assertEqual(fleet.read_events(path), [("L", 10.5, "02:fa:00:00:00:01"),
                                                   ("R", 11.25, "cam-02fa00000001")])


if __name__ == "__main__":
    unittest.main()
