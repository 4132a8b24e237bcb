"""Runs the agent and the cloud side by side in an isolated network.

Three ways, best first:
  netns   as root with `ip netns`: the agent's namespace (lo, eth0 with MAC
          02:00:00:00:00:01 and 192.0.2.1/24, default route via eth0) and a
          peer namespace at the other end of the veth pair (192.0.2.2/24),
          from where the discovery probe is sent;
  userns  `unshare -rn` without root: one namespace with lo and eth0; the
          discovery probe cannot run (it would need port 48000 beside the
          agent);
  host    no namespace at all: everything on the host's loopback; the
          device id is whatever the host's first "e" interface has, and
          discovery is not probed (its answer would be a broadcast on the
          host's network).
Nothing is ever sent outside loopback and 192.0.2.0/24 inside the
namespaces.
"""
import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import time

DEVICE_MAC = "02:00:00:00:00:01"
AGENT_ADDR = "192.0.2.1"
PEER_ADDR = "192.0.2.2"
TOOLS_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INSIDE_USERNS = "CLOUDSIM_INSIDE_USERNS"


def _run(*cmd):
    return subprocess.run(list(cmd), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=20, check=False)


def _ok(*cmd):
    try:
        return _run(*cmd).returncode == 0
    except (OSError, subprocess.SubprocessError):
        return False


def detect():
    """(mode, reason): which isolation this machine allows."""
    if os.environ.get(INSIDE_USERNS):
        return "userns", "inside unshare -rn"
    if os.geteuid() == 0 and shutil.which("ip"):
        probe = "cloudsim-probe-%d" % os.getpid()
        if _ok("ip", "netns", "add", probe):
            _ok("ip", "netns", "del", probe)
            return "netns", "root with ip netns"
        why = "ip netns add is refused"
    else:
        why = "not root" if os.geteuid() != 0 else "no ip command"
    if shutil.which("unshare") and shutil.which("ip") and _ok("unshare", "-rn", "true"):
        return "userns", why + "; unshare -rn works"
    return "host", why + "; unshare -rn is refused"


class Net:
    """The network one run lives in. Call up() then down() (always)."""

    def __init__(self, mode):
        self.mode = mode
        tag = "%d" % os.getpid()
        self.agent_ns = "cagent-" + tag
        self.peer_ns = "cpeer-" + tag
        self.is_up = False
        self.steps = []

    def _must(self, *cmd):
        r = _run(*cmd)
        if r.returncode != 0:
            raise RuntimeError("%s: %s" % (" ".join(cmd), r.stdout.decode(errors="replace").strip()))

    @staticmethod
    def prune():
        """Removes the namespaces of earlier runs whose process is gone (a
        run killed outright cannot remove its own)."""
        r = _run("ip", "netns", "list")
        for line in r.stdout.decode(errors="replace").splitlines():
            m = re.match(r"(cagent|cpeer)-(\d+)\b", line)
            if m and not os.path.exists("/proc/%s" % m.group(2)):
                _ok("ip", "netns", "del", "%s-%s" % (m.group(1), m.group(2)))
                shutil.rmtree("/etc/netns/%s-%s" % (m.group(1), m.group(2)), ignore_errors=True)

    def up(self):
        if self.mode == "netns":
            self.prune()
            a, p = self.agent_ns, self.peer_ns
            self.is_up = True
            self._must("ip", "netns", "add", a)
            self._must("ip", "netns", "add", p)
            # Name lookups inside the namespace go to loopback only, where
            # nothing answers: "directory.invalid" fails at once and no
            # query is routed anywhere.
            os.makedirs("/etc/netns/" + a, exist_ok=True)
            with open("/etc/netns/%s/resolv.conf" % a, "w") as f:
                f.write("nameserver 127.0.0.1\n")
            self._must("ip", "-n", a, "link", "set", "lo", "up")
            self._must("ip", "-n", p, "link", "set", "lo", "up")
            self._must("ip", "link", "add", "eth0", "netns", a, "address", DEVICE_MAC,
                       "type", "veth", "peer", "name", "peer0", "netns", p)
            self._must("ip", "-n", a, "addr", "add", AGENT_ADDR + "/24", "dev", "eth0")
            self._must("ip", "-n", a, "link", "set", "eth0", "up")
            self._must("ip", "-n", p, "addr", "add", PEER_ADDR + "/24", "dev", "peer0")
            self._must("ip", "-n", p, "link", "set", "peer0", "up")
            # The limited broadcast of the discovery answer leaves via eth0.
            self._must("ip", "-n", a, "route", "add", "default", "dev", "eth0")
        elif self.mode == "userns":
            self.is_up = True
            self._must("ip", "link", "set", "lo", "up")
            self._must("ip", "link", "add", "eth0", "address", DEVICE_MAC, "type", "veth",
                       "peer", "name", "vpeer")
            self._must("ip", "addr", "add", AGENT_ADDR + "/24", "dev", "eth0")
            self._must("ip", "link", "set", "eth0", "up")
            self._must("ip", "link", "set", "vpeer", "up")

    def down(self):
        if not self.is_up:
            return
        self.is_up = False
        if self.mode == "netns":
            for ns in (self.agent_ns, self.peer_ns):
                _ok("ip", "netns", "del", ns)
            shutil.rmtree("/etc/netns/" + self.agent_ns, ignore_errors=True)

    def wrap(self, cmd):
        """The command line that runs cmd inside the agent's network."""
        if self.mode == "netns":
            return ["ip", "netns", "exec", self.agent_ns] + list(cmd)
        return list(cmd)

    @property
    def probe_via(self):
        return "ip netns exec %s" % self.peer_ns if self.mode == "netns" else None

    @property
    def no_probe_reason(self):
        if self.mode == "userns":
            return "one namespace only (not root): no peer to probe from"
        if self.mode == "host":
            return "no network namespace: the answer would be a broadcast on the host's network"
        return None

    @property
    def device_mac(self):
        return DEVICE_MAC if self.mode in ("netns", "userns") else None


def reexec_in_userns(argv):
    """Runs this same command again inside `unshare -rn`; returns its exit
    status."""
    env = dict(os.environ)
    env[INSIDE_USERNS] = "1"
    return subprocess.call(["unshare", "-rn"] + argv, env=env)


def _die_with_parent():
    # Runs in the child before exec: if this harness is killed outright
    # (a test runner's time-out), its children end too.
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


class Proc:
    """A child in its own process group, stopped with the whole group."""

    def __init__(self, name, cmd, cwd=None, env=None, stdout=None):
        self.name = name
        self.cmd = cmd
        self.log = None
        self.grace = 3.0  # seconds between SIGTERM and SIGKILL in stop()
        out = stdout
        if isinstance(stdout, str):
            self.log = open(stdout, "wb")
            out = self.log
        self.p = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=out,
                                  stderr=subprocess.STDOUT if out is not None else None,
                                  stdin=subprocess.DEVNULL, start_new_session=True,
                                  preexec_fn=_die_with_parent)

    def alive(self):
        return self.p.poll() is None

    def wait(self, timeout):
        try:
            return self.p.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, grace=3.0):
        if self.p.poll() is None:
            for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5.0)):
                try:
                    os.killpg(self.p.pid, sig)
                except ProcessLookupError:
                    break
                if self.wait(wait) is not None:
                    break
        else:
            # The leader is gone; children it left in the group go too.
            try:
                os.killpg(self.p.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        if self.log:
            self.log.close()
        return self.p.returncode


CONFIG_INI = """[user0]
username = "{user}
password = "{password}
"""
# The camera's INI reader takes a value from three characters after the "="
# to the end of the line, so a closing quote would become part of it: the
# lines carry the opening quote only.


class CaptureError(RuntimeError):
    pass


class Capture:
    """tcpdump inside the agent's network, writing a pcap file: every
    interface of the namespace (loopback, where the cloud's servers are, and
    eth0, where discovery travels), or loopback alone on the host network.
    start() returns once tcpdump is capturing."""

    def __init__(self, net, path):
        self.net = net
        self.path = path
        self.log_path = path + ".log"
        self.proc = None

    @staticmethod
    def missing():
        """Why no capture can be made here, or None."""
        return None if shutil.which("tcpdump") else "tcpdump is not installed"

    def start(self, timeout=10.0):
        iface = "lo" if self.net.mode == "host" else "any"
        # -Z root: tcpdump would otherwise give up root for its own user
        # before it opens the output file, which then may not be writable.
        # Under unshare -rn it can change to no user at all and refuses to
        # start, so there is no capture there. -U: each packet is written as
        # soon as tcpdump has it (the kernel hands packets over in blocks,
        # at the latest once a second; see settle).
        cmd = ["tcpdump", "-i", iface, "-n", "-s", "0", "-U", "-Z", "root", "-w", self.path]
        self.proc = Proc("tcpdump", self.net.wrap(cmd), stdout=self.log_path)
        deadline = time.monotonic() + timeout
        while "listening on" not in self.log():
            if not self.proc.alive() or time.monotonic() > deadline:
                self.stop()
                raise CaptureError("tcpdump did not start: %s" % self.log().strip())
            time.sleep(0.05)

    def log(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def settle(self, quiet=1.5, longest=3.0):
        """Waits until tcpdump has written what the kernel held for it: the
        kernel hands packets over in blocks, a block at the latest a second
        after its first packet, and a stop loses the block being filled.
        So wait until the file has not grown for `quiet` seconds, or, while
        the agent's reconnects keep it growing, for `longest` seconds: then
        only those last moments can be missing."""
        deadline = time.monotonic() + longest
        size, since = -1, time.monotonic()
        while time.monotonic() < deadline:
            try:
                now = os.path.getsize(self.path)
            except OSError:
                now = -1
            if now != size:
                size, since = now, time.monotonic()
            elif time.monotonic() - since >= quiet:
                return
            time.sleep(0.05)

    def stop(self):
        """Stops the capture; returns tcpdump's closing lines (packets
        captured, dropped)."""
        if self.proc is not None:
            self.settle()
            self.proc.stop(grace=5.0)
            self.proc = None
        return [x for x in self.log().splitlines() if "packets" in x]


def sim_env(workdir, netlib, user="admin", password="cam-secret", camera_ip=AGENT_ADDR):
    env = dict(os.environ)
    env.update({
        "NETLIB_SIM_USER": user,
        "NETLIB_SIM_PASSWORD": password,
        "NETLIB_SIM_CAMERA_IP": camera_ip,
        "NETLIB_SIM_ALARM_FIFO": os.path.join(workdir, "alarm.fifo"),
        "NETLIB_SIM_JOURNAL": os.path.join(workdir, "sdk-journal.txt"),
        "NETLIB_SIM_HANDOFF_LOG": os.path.join(workdir, "handoff.log"),
        "LD_LIBRARY_PATH": os.path.dirname(os.path.abspath(netlib)) +
        (os.pathsep + env["LD_LIBRARY_PATH"] if env.get("LD_LIBRARY_PATH") else ""),
    })
    return env


def write_config(workdir, user="admin", password="cam-secret"):
    with open(os.path.join(workdir, "config_user.ini"), "w") as f:
        f.write(CONFIG_INI.format(user=user, password=password))


def snapshot_path(netlib):
    """The snapshot the simulated camera hands out by default, if found."""
    here = os.path.dirname(os.path.abspath(__file__))
    path = os.path.join(here, "..", "..", "sim", "media", "snapshot.jpg")
    return os.path.normpath(path) if os.path.exists(path) else None


def fresh_workdir(out, with_config):
    """The agent's working folder under out, without the files of an
    earlier run; with the camera's configuration file when asked."""
    os.makedirs(out, exist_ok=True)
    work = os.path.join(out, "agent")
    os.makedirs(work, exist_ok=True)
    for name in ("sdk-journal.txt", "handoff.log", "agent.log", "config_user.ini"):
        try:
            os.unlink(os.path.join(work, name))
        except FileNotFoundError:
            pass
    if with_config:
        write_config(work)
    return work


def cloud_command(out, duration, pace, env, net, netlib, pid_file):
    """The local cloud's command line for a run against this agent."""
    cmd = [sys.executable, "-m", "cloudsim", "--out", out, "--duration", str(duration),
           "--pace", str(pace), "--journal", env["NETLIB_SIM_JOURNAL"],
           "--alarm-fifo", env["NETLIB_SIM_ALARM_FIFO"],
           "--ready-file", os.path.join(out, ".ready")]
    if net.device_mac:
        cmd += ["--expect-devid", net.device_mac]
    cmd += ["--expect-camera-ip", env["NETLIB_SIM_CAMERA_IP"]]
    snap = snapshot_path(netlib)
    if snap:
        cmd += ["--expect-snapshot", snap]
    if net.probe_via:
        cmd += ["--probe-via", net.probe_via, "--probe-target", AGENT_ADDR]
    else:
        cmd += ["--no-probe-reason", net.no_probe_reason]
    # The cloud may look at the agent's descriptors and memory.
    return cmd + ["--agent-pid-file", pid_file]


def start_cloud(net, cmd, stream):
    """Starts the local cloud; its ready file (the value of --ready-file in
    cmd) is removed first, so that wait_cloud_ready sees this run's."""
    ready = cmd[cmd.index("--ready-file") + 1]
    if os.path.exists(ready):
        os.unlink(ready)
    cenv = dict(os.environ)
    cenv["PYTHONPATH"] = TOOLS_DIR + (os.pathsep + cenv["PYTHONPATH"]
                                      if cenv.get("PYTHONPATH") else "")
    cenv["PYTHONUNBUFFERED"] = "1"
    cloud_proc = Proc("cloudsim", net.wrap(cmd), env=cenv, stdout=stream)
    cloud_proc.ready_file = ready
    return cloud_proc


def wait_cloud_ready(cloud_proc):
    """Waits until the cloud listens; raises when it ends or takes 15 s."""
    deadline = time.monotonic() + 15
    while not os.path.exists(cloud_proc.ready_file):
        if not cloud_proc.alive() or time.monotonic() > deadline:
            raise RuntimeError("the cloud simulator did not start (exit %s)"
                               % cloud_proc.p.poll())
        time.sleep(0.05)


def write_pid_file(pid_file, agent_proc):
    """Writes the agent's pid where the cloud looks for it, and returns it.
    `ip netns exec` and unshare run the command in place: the pid is the
    agent's own."""
    with open(pid_file + ".tmp", "w") as f:
        f.write("%d\n" % agent_proc.p.pid)
    os.rename(pid_file + ".tmp", pid_file)
    return agent_proc.p.pid


def run_session(agent, netlib, out, net, duration=30.0, pace=1.5, stream=None,
                with_config=True, cloud=True, agent_seconds=None, extra_cloud_args=(),
                agent_env=None, agent_prefix=(), agent_grace=3.0, cloud_limit=None,
                pcap=None, before_stop=None, agent_stdout=None):
    """One run: the cloud first (until it listens), then the agent; waits for
    the cloud to finish (or agent_seconds without a cloud), stops both.
    agent_env adds to the agent's environment (the simulated SDK's settings),
    agent_prefix runs the agent under another program (valgrind), which gets
    agent_grace seconds after SIGTERM to end by itself; cloud_limit caps the
    wait for the cloud (default: duration + 120 s); agent_stdout, a file
    descriptor, takes the agent's console instead of agent.log.
    Returns a dict of what happened and where the files are."""
    work = fresh_workdir(out, with_config)
    env = sim_env(work, netlib)
    env.update(agent_env or {})
    pid_file = os.path.join(out, "agent.pid")
    if os.path.exists(pid_file):
        os.unlink(pid_file)
    result = {"out": out, "workdir": work, "mode": net.mode,
              "agent_log": os.path.join(work, "agent.log"),
              "journal": env["NETLIB_SIM_JOURNAL"], "cloud_exit": None, "agent_exit": None}
    procs = []
    capture = None
    try:
        if pcap:
            capture = Capture(net, pcap)
            capture.start()
            result["pcap"] = pcap
        if cloud:
            cmd = cloud_command(out, duration, pace, env, net, netlib, pid_file)
            cmd += list(extra_cloud_args)
            cloud_proc = start_cloud(net, cmd, stream)
            procs.append(cloud_proc)
            wait_cloud_ready(cloud_proc)
        agent_proc = Proc("agent", net.wrap(list(agent_prefix) + [os.path.abspath(agent)]),
                          cwd=work, env=env,
                          stdout=result["agent_log"] if agent_stdout is None else agent_stdout)
        agent_proc.grace = agent_grace
        procs.append(agent_proc)
        result["agent_pid"] = write_pid_file(pid_file, agent_proc)
        if cloud:
            limit = cloud_limit if cloud_limit is not None else (duration or 0) + 120
            result["cloud_exit"] = cloud_proc.wait(limit)
        else:
            time.sleep(agent_seconds or 3)
        if before_stop is not None:
            before_stop(result)
        result["agent_alive_at_end"] = agent_proc.alive()
    finally:
        for p in reversed(procs):
            code = p.stop(grace=p.grace)
            if p.name == "agent":
                result["agent_exit"] = code
            elif result["cloud_exit"] is None:
                result["cloud_exit"] = code
        if capture is not None:
            result["capture_stats"] = capture.stop()
    return result
