"""tools/fleet's own parts: the cameras' address plan, the scenario flags and
the order the scenarios run in, and the files a run leaves behind."""
import contextlib
import csv
import io
import ipaddress
import json
import os
import re
import signal
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

    def test_agents_are_started_at_least_one_a_second(self):
        # Zero would divide by zero in start_agents, with the namespaces made.
        self.assertEqual(fleet.parse(["--start-rate", "1"]).start_rate, 1)
        for rate in ("0", "-5"):
            with self.assertRaises(SystemExit), contextlib.redirect_stderr(io.StringIO()):
                fleet.parse(["--start-rate", rate])


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


def quiet():
    stack = contextlib.ExitStack()
    stack.enter_context(contextlib.redirect_stdout(io.StringIO()))
    stack.enter_context(contextlib.redirect_stderr(io.StringIO()))
    return stack


class Layout(unittest.TestCase):
    def test_each_agent_has_its_own_namespace_address_and_folder(self):
        out = tempfile.mkdtemp(prefix="fleet-test-")
        o = fleet.parse(["--cameras", "5", "--first-mac", "0x100", "--start-rate", "2", "--out",
                         out, "--agent", "/opt/a/agent", "--netlib", "/opt/lib/libNetLib.so"])
        f, batches, procs, waits = fleet.Fleet(o), [], [], []
        f.say, f.watch = lambda *args: None, waits.append
        with mock.patch.object(fleet, "ip_batch", lambda lines, netns=None:
                               batches.append((netns, lines)) or (0, "")), \
                mock.patch.object(fleet.os, "makedirs"), \
                mock.patch("cloudsim.fleet.open", mock.mock_open(), create=True) as opened:
            f.net_up()
        resolv = {c.args[0] for c in opened.call_args_list}
        self.assertEqual(resolv, {"/etc/netns/%s/resolv.conf" % ns for ns in f.names[1:]})
        own = {ns: lines for ns, lines in batches if ns in f.names[1:]}
        hub = "\n".join(sum((lines for ns, lines in batches if ns == f.hub), []))
        macs = {}
        for line in sum((lines for ns, lines in batches if ns is None), []):
            m = re.match(r"link add eth0 netns (\S+) address (\S+) type veth peer name (\S+) "
                         r"netns %s\Z" % f.hub, line)
            if m:
                macs[m.group(1)] = m.group(2)
                self.assertIn("link set %s master %s up" % (m.group(3), fleet.BRIDGE), hub)
        addrs = {}
        for ns, lines in own.items():
            addrs[ns], = re.findall(r"addr add (\S+)/15 dev eth0", "\n".join(lines))
            for gw in (fleet.HUB_ADDR, fleet.MOVED_ADDR):
                self.assertIn("neigh replace %s lladdr %s dev eth0 nud permanent"
                              % (gw, fleet.BRIDGE_MAC), lines)
            # The hub's fixed neighbour entry must name the MAC this
            # namespace really has, or its answers go nowhere.
            self.assertIn("neigh replace %s lladdr %s dev %s nud permanent"
                          % (addrs[ns], macs[ns], fleet.BRIDGE), hub)
        self.assertIn("address %s type bridge" % fleet.BRIDGE_MAC, hub)
        self.assertEqual(sorted(macs.values()), [fleet.mac_of(i) for i in range(0x100, 0x105)])
        self.assertEqual(len(set(addrs.values())), 5)
        self.assertEqual(len(set(f.names)), 6)
        for ns in f.names:  # findable by a later run, and not pruned while this one lives
            self.assertEqual(re.match(fleet.PREFIX + r"(\d+)-", ns).group(1), str(os.getpid()))

        def proc(name, cmd, cwd=None, env=None, stdout=None):
            procs.append((cmd, cwd, env, stdout))
        with mock.patch.object(fleet.harness, "Proc", proc):
            f.start_agents()
        self.assertEqual(waits, [1.0, 1.0])  # after agents 2 and 4: --start-rate a second
        folders = set()
        for cmd, cwd, env, log in procs:
            self.assertEqual(cmd[:3] + cmd[4:], ["ip", "netns", "exec", "/opt/a/agent"])
            self.assertEqual(env["NETLIB_SIM_CAMERA_IP"], addrs[cmd[3]])
            self.assertTrue(env["LD_LIBRARY_PATH"].startswith("/opt/lib"))
            self.assertEqual([env[k] for k in ("NETLIB_SIM_JOURNAL", "NETLIB_SIM_HANDOFF_LOG")],
                             ["", ""])
            for path in (log, env["NETLIB_SIM_ALARM_FIFO"]):
                self.assertEqual(os.path.dirname(path), cwd)
            self.assertTrue(os.path.isfile(os.path.join(cwd, "config_user.ini")))
            self.assertEqual(os.path.dirname(cwd), os.path.join(out, "agents"))
            folders.add(cwd)
        self.assertEqual((len(folders), len({p[0][3] for p in procs})), (5, 5))


class Leftovers(unittest.TestCase):
    def test_only_the_namespaces_of_runs_that_are_gone_are_removed(self):
        live, gone = "%s%d-" % (fleet.PREFIX, os.getpid()), fleet.PREFIX + "99999999-"
        listing = "%shub (id: 0)\n%sa0 (id: 1)\n%shub (id: 2)\n%sa0\nother (id: 4)\n%sx\n" % (
            live, live, gone, gone, fleet.PREFIX)
        asked, killed, dropped, removed = [], [], [], []

        def run(cmd, **kwargs):
            asked.append(cmd)
            text = listing if cmd == ["ip", "netns", "list"] else "4242\n4243\n"
            return types.SimpleNamespace(stdout=text, returncode=0)
        with mock.patch.object(fleet.subprocess, "run", run), \
                mock.patch.object(fleet.os, "kill", lambda pid, sig: killed.append((pid, sig))), \
                mock.patch.object(fleet, "ip_batch", lambda lines: dropped.extend(lines)), \
                mock.patch.object(fleet.shutil, "rmtree", lambda p, **kw: removed.append(p)), \
                quiet():
            fleet.prune_leftovers()
        stale = [gone + "hub", gone + "a0"]
        self.assertEqual(asked[1:], [["ip", "netns", "pids", ns] for ns in stale])
        self.assertEqual(killed, [(4242, signal.SIGKILL), (4243, signal.SIGKILL)] * 2)
        self.assertEqual(dropped, ["netns del " + ns for ns in stale])
        self.assertEqual(removed, ["/etc/netns/" + ns for ns in stale])


def python(code, **kwargs):
    return subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True, start_new_session=True, **kwargs)


class Ending(unittest.TestCase):
    def setUp(self):
        self.out = tempfile.mkdtemp(prefix="fleet-test-")
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            self.addCleanup(signal.signal, sig, signal.getsignal(sig))

    def test_agents_and_cloud_are_stopped_and_the_totals_kept(self):
        f = fleet.Fleet(fleet.parse(["--out", self.out]))
        for i, code in enumerate(("import time; time.sleep(60)", "raise SystemExit(1)")):
            f.agents.append(fleet.harness.Proc("a%d" % i, [sys.executable, "-c", code],
                                               stdout=os.path.join(self.out, "a%d.log" % i)))
        f.agents[1].wait(10)
        procs = [p.p for p in f.agents]
        f.cloud = python("import json, sys; print('totals ' + json.dumps("
                         "{'got': sys.stdin.readline()}))")
        f.stop_all()
        self.assertEqual([p.returncode for p in procs], [-signal.SIGTERM, 1])
        self.assertEqual((f.agents, f.cloud, f.totals), ([], None, {"got": "quit\n"}))

    def test_exit_codes_and_the_network_always_removed(self):
        base = ["--out", self.out, "--agent", sys.executable, "--netlib", sys.executable]

        def main(argv, euid=0, run=None):
            removed = []

            def net_up(f):
                f.names = ["ns-a", "ns-b"]
            with mock.patch.object(fleet.os, "geteuid", lambda: euid), \
                    mock.patch.object(fleet.shutil, "which", lambda name: "/sbin/ip"), \
                    mock.patch.object(fleet, "prune_leftovers", lambda: None), \
                    mock.patch.object(fleet, "remove_namespaces", removed.extend), \
                    mock.patch.multiple(fleet.Fleet, net_up=net_up, run=run), quiet():
                return fleet.main(argv), removed

        def cloud_died(f):
            # As a cloud that ended under the run leaves it: already reaped.
            f.cloud = clouds[0] = python("raise SystemExit(3)")
            f.cloud.wait(10)
            f.check_cloud()

        def stopped(f):
            raise fleet.Stop("SIGTERM")
        self.assertEqual(main(base, euid=1000), (77, []))
        self.assertEqual(main(base + ["--agent", os.path.join(self.out, "none")]), (2, []))
        clouds = [None]
        self.assertEqual(main(base, run=cloud_died), (1, ["ns-a", "ns-b"]))
        for pipe in (clouds[0].stdin, clouds[0].stdout):
            with contextlib.suppress(OSError):  # "quit" is still in its buffer
                pipe.close()
        self.assertEqual(main(base, run=stopped), (130, ["ns-a", "ns-b"]))


if __name__ == "__main__":
    unittest.main()
