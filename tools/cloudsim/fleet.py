"""A fleet of real agents against one local cloud (tools/fleet).

Each agent runs in a network namespace of its own, with eth0 (its own MAC
address) on a veth pair whose other end sits on a bridge in the hub
namespace, where the fleet cloud (fleet_cloud.py) listens on 198.18.0.1
(and 198.18.0.2, where the logic server moves to). The agents are the
cloud-agent-fleet build, whose numeric directory endpoint is that hub.
Nothing leaves these namespaces.

Every namespace is named cafleet<PID>-...: a run killed outright leaves
them findable, and the next run removes them (and ends the processes still
inside) before it starts.
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

from . import harness

HUB_ADDR = "198.18.0.1"
MOVED_ADDR = "198.18.0.2"
PREFIX = "cafleet"
BRIDGE = "fbr0"
BRIDGE_MAC = "02:fb:00:00:00:01"
ROOT = os.path.normpath(os.path.join(harness.TOOLS_DIR, ".."))
SCENARIOS = ("directory_gone", "logic_refuse", "logic_drop", "relay_restart", "logic_move")
SERVERS = ("directory", "logic", "relay")


class Stop(Exception):
    """Ctrl-C, SIGTERM or SIGHUP: clean up and leave."""


def _raise_stop(signum, frame):
    raise Stop(signal.Signals(signum).name)


def ip_batch(lines, netns=None):
    cmd = ["ip"] + (["-n", netns] if netns else []) + ["-force", "-batch", "-"]
    r = subprocess.run(cmd, input="\n".join(lines) + "\n", text=True, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, check=False)
    return r.returncode, r.stdout


def fleet_namespaces():
    r = subprocess.run(["ip", "netns", "list"], stdout=subprocess.PIPE, text=True, check=False)
    return [line.split()[0] for line in r.stdout.splitlines() if line.startswith(PREFIX)]


def remove_namespaces(names):
    """Ends every process still inside the namespaces (by its id), then
    removes them."""
    for ns in names:
        r = subprocess.run(["ip", "netns", "pids", ns], stdout=subprocess.PIPE, text=True,
                           check=False)
        for pid in r.stdout.split():
            try:
                os.kill(int(pid), signal.SIGKILL)
            except (ProcessLookupError, ValueError):
                pass
    ip_batch(["netns del %s" % ns for ns in names])
    for ns in names:
        shutil.rmtree("/etc/netns/" + ns, ignore_errors=True)


def prune_leftovers():
    """Namespaces of earlier runs whose tool process is gone."""
    stale = []
    for ns in fleet_namespaces():
        m = re.match(PREFIX + r"(\d+)-", ns)
        if m and not os.path.exists("/proc/" + m.group(1)):
            stale.append(ns)
    if stale:
        print("fleet: removing %d namespaces left by an earlier run" % len(stale), flush=True)
        remove_namespaces(stale)


def mac_of(index):
    return "02:fa:%02x:%02x:%02x:%02x" % ((index >> 24) & 255, (index >> 16) & 255,
                                          (index >> 8) & 255, index & 255)


# The last camera number with an address in the hub's /15: 198.19.255.254.
LAST_CAMERA = (1 << 17) - 256 - 2


def agent_addr(index):
    """The address of camera `index` (its MAC number): 198.18.1.0 onwards in
    the hub's /15, so slices with disjoint MAC ranges have disjoint
    addresses too (numbers 0 to LAST_CAMERA)."""
    n = (198 << 24) + (18 << 16) + 256 + index
    return "%d.%d.%d.%d" % (n >> 24, (n >> 16) & 255, (n >> 8) & 255, n & 255)


class Fleet:
    def __init__(self, o):
        self.o = o
        self.tag = "%s%d" % (PREFIX, os.getpid())
        self.hub = self.tag + "-hub"
        self.names = []
        self.agents = []  # harness.Proc
        self.cloud = None
        self.t0 = None
        self.marks = []   # (time, text) of every scenario step
        self.series = []
        self.series_pos = 0
        self.last_line = 0.0

    # --------------------------------------------------------------- network
    def net_up(self):
        n = self.o.cameras
        self.names = [self.hub] + ["%s-a%d" % (self.tag, i) for i in range(n)]
        rc, out = ip_batch(["netns add %s" % ns for ns in self.names])
        if rc != 0:
            raise RuntimeError("ip netns add: " + out.strip())
        rc, out = ip_batch(["link set lo up",
                            "link add %s address %s type bridge" % (BRIDGE, BRIDGE_MAC),
                            "addr add %s/15 dev %s" % (HUB_ADDR, BRIDGE),
                            "addr add %s/15 dev %s" % (MOVED_ADDR, BRIDGE),
                            "link set %s up" % BRIDGE], netns=self.hub)
        if rc != 0:
            raise RuntimeError("hub: " + out.strip())
        lines = []
        for i in range(n):
            ns = self.names[i + 1]
            lines.append("link add eth0 netns %s address %s type veth peer name fv%d netns %s"
                         % (ns, mac_of(self.o.first_mac + i), i, self.hub))
            # Name look-ups in the agent's namespace go to its own loopback,
            # where nothing answers: no query is routed anywhere.
            os.makedirs("/etc/netns/" + ns, exist_ok=True)
            with open("/etc/netns/%s/resolv.conf" % ns, "w") as f:
                f.write("nameserver 127.0.0.1\n")
        rc, out = ip_batch(lines)
        if rc != 0:
            raise RuntimeError("veth: " + out.strip())
        # Fixed neighbour entries both ways: a fleet that moves to a new
        # address all at once would otherwise flood the bridge with as many
        # ARP broadcasts as it has agents, each copied to every port, and
        # lose most of them; the agents, not ARP, are under test.
        rc, out = ip_batch(["link set fv%d master %s up" % (i, BRIDGE) for i in range(n)] +
                           ["neigh replace %s lladdr %s dev %s nud permanent"
                            % (agent_addr(self.o.first_mac + i), mac_of(self.o.first_mac + i),
                               BRIDGE) for i in range(n)],
                           netns=self.hub)
        if rc != 0:
            raise RuntimeError("bridge ports: " + out.strip())
        for i in range(n):
            rc, out = ip_batch(["link set lo up",
                                "addr add %s/15 dev eth0" % agent_addr(self.o.first_mac + i),
                                "link set eth0 up"] +
                               ["neigh replace %s lladdr %s dev eth0 nud permanent"
                                % (hub, BRIDGE_MAC) for hub in (HUB_ADDR, MOVED_ADDR)],
                               netns=self.names[i + 1])
            if rc != 0:
                raise RuntimeError("agent %d: %s" % (i, out.strip()))

    def net_down(self):
        if self.names:
            remove_namespaces(self.names)
            self.names = []

    # ----------------------------------------------------------- processes
    def start_cloud(self):
        o = self.o
        env = dict(os.environ)
        env["PYTHONPATH"] = harness.TOOLS_DIR
        env["PYTHONUNBUFFERED"] = "1"
        cmd = ["ip", "netns", "exec", self.hub, sys.executable, "-m", "cloudsim.fleet_cloud",
               "--bridge", BRIDGE, "--series", os.path.join(o.out, "cloud-series.jsonl"),
               "--events", os.path.join(o.out, "events.txt"), "--video", str(o.video)]
        if o.directory_gone:
            cmd.append("--directory-refused")
        self.cloud = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      text=True, env=env, start_new_session=True,
                                      preexec_fn=harness._die_with_parent)
        line = self.cloud.stdout.readline()
        while line and line.strip() != "ready":
            print(line.rstrip(), flush=True)
            line = self.cloud.stdout.readline()
        if not line:
            raise RuntimeError("the fleet cloud did not start")

    def check_cloud(self):
        """A cloud that died leaves every later count at zero: the run ends
        instead of printing them."""
        code = self.cloud.poll() if self.cloud is not None else None
        if code is not None:
            raise RuntimeError("the fleet cloud ended (exit %d) in the middle of the run" % code)

    def tell(self, command):
        try:
            self.cloud.stdin.write(command + "\n")
            self.cloud.stdin.flush()
        except OSError:
            pass  # a dead cloud: said by the check below
        answer = self.cloud.stdout.readline().split()
        if not answer:
            self.cloud.wait(5)
            self.check_cloud()
        at = float(answer[-1]) if answer and answer[0] == "ok" else time.monotonic()
        self.marks.append((at, command))
        self.say("cloud: %s" % command)
        return at

    def start_agents(self):
        o = self.o
        agent = os.path.abspath(o.agent)
        for i in range(o.cameras):
            work = os.path.join(o.out, "agents", "a%d" % i)
            os.makedirs(work, exist_ok=True)
            harness.write_config(work)
            env = harness.sim_env(work, o.netlib, camera_ip=agent_addr(o.first_mac + i))
            env.update({"NETLIB_SIM_JOURNAL": "", "NETLIB_SIM_HANDOFF_LOG": "",
                        "NETLIB_SIM_MEDIA": "", "NETLIB_SIM_FRAME_BYTES": "4096",
                        "NETLIB_SIM_FPS": "25"})
            proc = harness.Proc("agent%d" % i, ["ip", "netns", "exec", self.names[i + 1], agent],
                                cwd=work, env=env, stdout=os.path.join(work, "agent.log"))
            self.agents.append(proc)
            if (i + 1) % o.start_rate == 0:
                self.watch(1.0)
        self.say("%d agents started" % o.cameras)

    def stop_all(self):
        for p in self.agents:
            try:
                os.killpg(p.p.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 5
        for p in self.agents:
            if p.wait(max(0.0, deadline - time.monotonic())) is None:
                p.stop(grace=0.1)
            if p.log:
                p.log.close()
        self.agents = []
        if self.cloud is not None:
            try:
                self.cloud.stdin.write("quit\n")
                self.cloud.stdin.flush()
                out, _ = self.cloud.communicate(timeout=10)
                for line in out.splitlines():
                    if line.startswith("totals "):
                        self.totals = json.loads(line[7:])
            except (OSError, ValueError, subprocess.TimeoutExpired):
                try:
                    os.killpg(self.cloud.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass  # a cloud that ended on its own, already reaped
                self.cloud.wait()
            self.cloud = None

    # ----------------------------------------------------------- watching
    def read_series(self):
        path = os.path.join(self.o.out, "cloud-series.jsonl")
        try:
            with open(path) as f:
                f.seek(self.series_pos)
                data = f.read()
        except OSError:
            return
        end = data.rfind("\n")
        if end < 0:
            return
        self.series_pos += len(data[:end + 1].encode())
        for line in data[:end].splitlines():
            self.series.append(json.loads(line))

    def say(self, text):
        print("[%6.1fs] %s" % (time.monotonic() - self.t0, text), flush=True)

    def watch(self, seconds):
        """Waits, printing one progress line a second."""
        end = time.monotonic() + seconds
        while True:
            self.check_cloud()
            self.read_series()
            if self.series and self.series[-1]["t"] > self.last_line:
                s = self.series[-1]
                self.last_line = s["t"]
                video = (" | video: %d cameras, %d frames/s" % (s["forwarding"], s["frames"])
                         if self.o.video else "")
                self.say("up: logic %4d relay %4d | attempts/s dir %4d logic %4d relay %4d | "
                         "logins/s dir %4d logic %4d relay %4d%s"
                         % (s["up"]["logic"], s["up"]["relay"], s["syn"]["directory"],
                            s["syn"]["logic"], s["syn"]["relay"], s["login"]["directory"],
                            s["login"]["logic"], s["login"]["relay"], video))
            left = end - time.monotonic()
            if left <= 0:
                return
            time.sleep(min(0.25, left))

    def up(self, kind):
        return self.series[-1]["up"][kind] if self.series else 0

    def wait_until(self, test, limit):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            self.watch(1.0)
            if test():
                return True
        return False

    def all_up(self):
        n = self.o.cameras
        return self.up("logic") >= n and self.up("relay") >= n

    # ----------------------------------------------------------- scenarios
    def run(self):
        o = self.o
        self.t0 = time.monotonic()
        self.start_cloud()
        self.phases = []
        start = time.monotonic()
        self.start_agents()
        if o.directory_gone:
            self.watch(max(0.0, start + o.outage - time.monotonic()))
            back = self.tell("directory normal")
            self.recover("directory_gone", start, back, "logic")
        elif not self.wait_until(self.all_up, o.start_limit):
            self.say("not every agent came up within %d s" % o.start_limit)
        self.phases.append(("start", start, time.monotonic()))
        self.watch(o.settle)
        for name, down, up, kind in (("logic_refuse", "logic refuse", "logic normal", "logic"),
                                     ("logic_drop", "logic drop", "logic normal", "logic"),
                                     ("relay_restart", "relay refuse", "relay normal", "relay")):
            if getattr(o, name):
                outage = o.relay_outage if name == "relay_restart" else o.outage
                began = self.tell(down)
                self.watch(outage)
                back = self.tell(up)
                self.recover(name, began, back, kind)
                self.watch(o.settle)
        if o.logic_move:
            began = self.tell("logic move")
            self.recover("logic_move", began, began, "logic")
            self.watch(o.settle)

    def recover(self, name, began, back, kind):
        """Waits until the fleet is back (or the limit), and records the
        scenario's times."""
        ok = self.wait_until(self.all_up, self.o.recover_limit)
        self.watch(2.0)
        self.phases.append((name, began, back, kind, ok))
        self.say("%s: fleet %s" % (name, "back" if ok else "NOT all back"))

    # ------------------------------------------------------------ measuring
    def agent_usage(self):
        cpu = 0.0
        rss, pss = [], []
        tick = os.sysconf("SC_CLK_TCK")
        for p in self.agents:
            pid = p.p.pid
            try:
                with open("/proc/%d/stat" % pid) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                cpu += (int(fields[11]) + int(fields[12])) / tick
                with open("/proc/%d/status" % pid) as f:
                    for line in f:
                        if line.startswith("VmRSS:"):
                            rss.append(int(line.split()[1]))
                with open("/proc/%d/smaps_rollup" % pid) as f:
                    for line in f:
                        if line.startswith("Pss:"):
                            pss.append(int(line.split()[1]))
            except (OSError, ValueError, IndexError):
                pass
        return {"agents_measured": len(rss), "cpu_s": round(cpu, 2),
                "rss_kib_mean": round(sum(rss) / len(rss)) if rss else None,
                "rss_kib_max": max(rss) if rss else None,
                "pss_kib_mean": round(sum(pss) / len(pss)) if pss else None}


def read_events(path):
    """The cloud's login events; a line cut short (a cloud killed while
    writing) is left out."""
    out = []
    try:
        with open(path) as f:
            for line in f:
                try:
                    k, t, who = line.split()
                    out.append((k, float(t), who))
                except ValueError:
                    pass
    except OSError:
        pass
    return out


def count_in(series, a, b, what, kind):
    return sum(s[what][kind] for s in series if a < s["t"] <= b)


def analyse(fleet, events):
    """Per scenario: attempts during the outage, and the return."""
    n = fleet.o.cameras
    series = fleet.series
    rows = []
    for phase in fleet.phases:
        if phase[0] == "start":
            continue
        name, began, back, kind, ok = phase
        down_s = max(back - began, 0.0)
        row = {"scenario": name, "outage_s": round(down_s, 1), "all_back": ok}
        if down_s >= 1:
            tot = sum(count_in(series, began, back, "syn", k) for k in SERVERS)
            row["attempts_per_s_per_camera"] = round(tot / down_s / n, 3)
            row["attempts_by_server"] = {k: count_in(series, began, back, "syn", k)
                                         for k in SERVERS}
            steady = began + 60.0
            if back - steady >= 10:
                tot2 = sum(count_in(series, steady, back, "syn", k) for k in SERVERS)
                row["attempts_per_s_per_camera_after_60s"] = round(tot2 / (back - steady) / n, 3)
            peak = max((sum(s["syn"][k] for k in SERVERS) for s in series
                        if began < s["t"] <= back), default=0)
            row["peak_attempts_per_s"] = peak
        mark = "L" if kind == "logic" else "R"
        first = {}
        for k, t, who in events:
            if k == mark and t >= back and who not in first:
                first[who] = t
        times = sorted(t - back for t in first.values())
        row["back"] = len(times)
        if times:
            row["back_50pct_s"] = round(times[len(times) // 2], 1)
            if len(times) >= n:
                # The first time at least 99 % were back: of 50, all 50.
                row["back_99pct_s"] = round(times[-(-99 * n // 100) - 1], 1)
                row["back_100pct_s"] = round(times[-1], 1)
            per_second = {}
            for t in times:
                per_second[int(t)] = per_second.get(int(t), 0) + 1
            peak = max(per_second.values())
            row["max_logins_in_one_s"] = peak
            row["max_logins_in_one_s_pct"] = round(100.0 * peak / n, 1)
        rows.append(row)
    return rows


def write_outputs(fleet, rows, usage, wall_s):
    o = fleet.o
    t0 = fleet.t0
    with open(os.path.join(o.out, "series.csv"), "w") as f:
        f.write("t_s," + ",".join("%s_%s" % (w, k) for w in ("attempts", "accepts", "logins")
                                  for k in SERVERS) + ",logic_up,relay_up,video_frames\n")
        for s in fleet.series:
            vals = [s[w][k] for w in ("syn", "accept", "login") for k in SERVERS]
            f.write("%.1f,%s,%d,%d,%d\n" % (s["t"] - t0, ",".join(map(str, vals)),
                                            s["up"]["logic"], s["up"]["relay"], s["frames"]))
    summary = {"cameras": o.cameras, "agent": os.path.abspath(o.agent), "video": o.video,
               "wall_s": round(wall_s, 1), "usage": usage, "scenarios": rows,
               "marks": [(round(t - t0, 1), m) for t, m in fleet.marks],
               "totals": getattr(fleet, "totals", None)}
    with open(os.path.join(o.out, "summary.json"), "w") as f:
        json.dump(summary, f, indent=1)
    print_summary(summary)
    plot(o.out)


def plot(out):
    """The PNG, drawn by whichever Python has matplotlib: this one, or the
    system's, where Debian's python3-matplotlib lives."""
    try:
        from . import fleet_plot
        print("fleet: plot in %s" % fleet_plot.plot(out))
        return
    except ImportError:
        pass
    env = dict(os.environ)
    env["PYTHONPATH"] = harness.TOOLS_DIR
    if not os.path.exists("/usr/bin/python3") or subprocess.call(
            ["/usr/bin/python3", "-m", "cloudsim.fleet_plot", out], env=env) != 0:
        print("fleet: no plot (python3-matplotlib is not installed)")


def print_summary(summary):
    u = summary["usage"]
    print("\nFleet of %d agents, %.0f s; agents' CPU %.1f s in total (%.1f %% of one core), "
          "memory per agent: RSS %s KiB mean (max %s), PSS %s KiB mean"
          % (summary["cameras"], summary["wall_s"], u["cpu_s"],
             100.0 * u["cpu_s"] / max(summary["wall_s"], 1), u["rss_kib_mean"], u["rss_kib_max"],
             u["pss_kib_mean"]))
    cols = [("scenario", "%-15s"), ("outage_s", "%7s"), ("attempts_per_s_per_camera", "%9s"),
            ("attempts_per_s_per_camera_after_60s", "%9s"), ("peak_attempts_per_s", "%7s"),
            ("max_logins_in_one_s_pct", "%8s"), ("back_50pct_s", "%6s"), ("back_99pct_s", "%6s"),
            ("back_100pct_s", "%6s"), ("back", "%5s")]
    heads = ["scenario", "outage", "att/s/cam", "..>60s", "peak/s", "max%/s", "50%", "99%", "100%",
             "back"]
    print(" ".join(fmt % h for (_, fmt), h in zip(cols, heads)))
    for row in summary["scenarios"]:
        print(" ".join(fmt % (row.get(k, "-"),) for k, fmt in cols))
    dropped = (summary.get("totals") or {}).get("syn_dropped")
    if dropped:
        print("NOTE: %d SYNs came too fast to be counted: the attempt figures are low" % dropped)
    print("(attempts: SYNs at every server during the outage, per second and camera; max%/s: the "
          "largest share of the fleet logging in within one second after the return; 50/99/100 %: "
          "seconds after the return until that share of the fleet was back)")


def parse(argv):
    p = argparse.ArgumentParser(prog="tools/fleet", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--cameras", type=int, default=100, help="agents (default 100)")
    p.add_argument("--video", type=int, default=0, metavar="K", help="K cameras forward video")
    p.add_argument("--agent", default=os.path.join(ROOT, "build", "dev", "app", "cloud-agent-fleet"))
    p.add_argument("--netlib", default=os.path.join(ROOT, "build", "dev", "sim", "libNetLib.so"))
    p.add_argument("--out", default=os.path.join(ROOT, "out", "fleet"))
    p.add_argument("--first-mac", type=lambda s: int(s, 0), default=1,
                   help="number of the first camera's MAC (02:fa + 4 bytes); slices on other "
                        "machines take disjoint ranges")
    p.add_argument("--directory-gone", action="store_true",
                   help="the directory refuses from the start for --outage s, then returns")
    p.add_argument("--logic-refuse", action="store_true",
                   help="the logic server drops every link and refuses for --outage s")
    p.add_argument("--logic-drop", action="store_true",
                   help="the logic server accepts and drops every connection for --outage s")
    p.add_argument("--relay-restart", action="store_true",
                   help="the relay server drops every link and is gone for --relay-outage s")
    p.add_argument("--logic-move", action="store_true",
                   help="the logic server moves: the directory answers %s from then on" % MOVED_ADDR)
    p.add_argument("--all", action="store_true", help="every scenario, one after the other")
    p.add_argument("--outage", type=float, default=120.0)
    p.add_argument("--relay-outage", type=float, default=10.0)
    p.add_argument("--settle", type=float, default=5.0)
    p.add_argument("--start-rate", type=int, default=50, help="agents started a second")
    p.add_argument("--start-limit", type=float, default=120.0)
    p.add_argument("--recover-limit", type=float, default=150.0)
    o = p.parse_args(argv)
    # Beyond the plan, agents would sit outside the hub's net (or on its
    # own addresses) and never reach the cloud.
    last = o.first_mac + o.cameras - 1
    if o.cameras < 1 or o.first_mac < 0 or last > LAST_CAMERA:
        p.error("cameras %d to %d: numbers run from 0 to %d" % (o.first_mac, last, LAST_CAMERA))
    if o.start_rate < 1:  # agents are started in groups of this many
        p.error("--start-rate must be at least 1")
    if o.all:
        for name in SCENARIOS:
            setattr(o, name, True)
    return o


def main(argv):
    o = parse(argv)
    if os.geteuid() != 0 or not shutil.which("ip"):
        print("SKIPPED: tools/fleet needs root and ip netns (one namespace per agent)")
        return 77
    if not os.path.exists(o.agent) or not os.path.exists(o.netlib):
        print("fleet: build first: %s and %s (cmake --build --preset dev --target "
              "cloud-agent-fleet NetLib)" % (o.agent, o.netlib), file=sys.stderr)
        return 2
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, _raise_stop)
    prune_leftovers()
    if os.path.isdir(o.out):
        shutil.rmtree(o.out)
    os.makedirs(o.out)
    fleet = Fleet(o)
    fleet.t0 = time.monotonic()
    code = 0
    try:
        print("fleet: %d agents (%s) in namespaces %s-a*, cloud in %s at %s; output in %s"
              % (o.cameras, o.agent, fleet.tag, fleet.hub, HUB_ADDR, o.out), flush=True)
        fleet.say("making %d namespaces, a veth pair each, and the hub's bridge" % (o.cameras + 1))
        fleet.net_up()
        fleet.say("network up")
        fleet.run()
        fleet.read_series()
        usage = fleet.agent_usage()
        wall = time.monotonic() - fleet.t0
        fleet.stop_all()
        rows = analyse(fleet, read_events(os.path.join(o.out, "events.txt")))
        write_outputs(fleet, rows, usage, wall)
    except Stop as e:
        print("\nfleet: stopped (%s); cleaning up" % e, flush=True)
        code = 130
    except RuntimeError as e:
        print("fleet: %s" % e, file=sys.stderr)
        code = 1
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        fleet.stop_all()
        fleet.net_down()
        print("fleet: every namespace and process removed", flush=True)
    return code


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
