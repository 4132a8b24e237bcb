#!/usr/bin/env python3
"""The measurements behind tools/bench; run by it inside the agent's network
namespace (tools/netns run), never by hand on the host network.

  tools/measure/agent_figures.py --build DIR --out DIR [--userns]

Runs the Release agent (cloud-agent-local) against the local cloud of the
demo and the end-to-end tests (tools/cloudsim: directory, logic and upload
servers, run here on a thread of their own), with channel 0 sent to the
relay reader in tools/measure/fast_relay.cpp (C++, so that reading the link costs
little and wakes fast). The simulated camera SDK makes synthetic frames that carry its
frame counter and the monotonic time of their handoff to the agent.

Two agent runs:
  A  25 fps of 20 KB frames: idle CPU and wake-ups (forwarding off),
     forwarding CPU, latency and wake-ups (forwarding on), system calls per
     frame (strace attached while forwarding), then peak memory while an
     alarm's snapshot upload is held in flight by a slow upload server;
  B  100 KB frames as fast as the SDK can make them: the throughput ceiling.
Then the micro-benchmarks. Prints one table; writes every figure to
OUT/results.json. Exit status 0 when every goal is met, 1 when one is
missed, 2 when a measurement could not be made.
"""
import argparse
import asyncio
import ctypes
import datetime
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, TOOLS)
from cloudsim import harness  # noqa: E402
from cloudsim import __main__ as cloudsim_main  # noqa: E402
from cloudsim import cloud as cloudsim_cloud  # noqa: E402
from cloudsim import recorder as cloudsim_recorder  # noqa: E402

CLK_TCK = os.sysconf("SC_CLK_TCK")
CAMERA_ID = "cam-0001"
USER, PASSWORD = "admin", "bench-secret"
IDLE_S = 20.0
FORWARD_MIN_FRAMES = 1000
FORWARD_S = 41.0                 # 25 fps: a little over 1,000 frames
THROUGHPUT_S = 10.0
STRACE_S = 10.0                  # forwarding with strace attached
UPLOAD_HOLD_S = 3.0              # how long the upload is kept in flight
SNAPSHOT_BYTES = 512000          # near the largest the upload body can carry

GOALS = {
    "idle_cpu": 0.5,             # % of one core, at most
    "forward_cpu": 2.0,          # % of one core, at most
    "latency_p99_us": 1000,      # at most
    "throughput_mb_s": 500.0,    # at least (MB = 10^6 bytes)
    "peak_rss_mb": 8.0,          # at most (MB = 2^20 bytes)
    "idle_wakeups_s": 2.0,       # agent threads, at most
    "forward_wakeups_frame": 2.0,  # agent threads, at most
    "syscalls_frame": 4.0,       # at most
}


class BenchError(Exception):
    pass


def _die_with_parent(sig):
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, sig)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


# ------------------------------------------------------------------ /proc
def cpu_seconds(pid):
    """utime + stime of the whole process, in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        rest = f.read().rsplit(")", 1)[1].split()
    return (int(rest[11]) + int(rest[12])) / CLK_TCK


def task_ids(pid):
    """The thread ids of the process now, or none when it is gone."""
    try:
        return os.listdir("/proc/%d/task" % pid)
    except OSError:
        return []


def thread_cpu(pid):
    """{thread name/tid: seconds} for every thread of the process."""
    out = {}
    for tid in task_ids(pid):
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                text = f.read()
        except OSError:
            continue
        name = text[text.index("(") + 1:text.rindex(")")]
        rest = text.rsplit(")", 1)[1].split()
        out["%s/%s" % (name, tid)] = (int(rest[11]) + int(rest[12])) / CLK_TCK
    return out


def run_delay_s(pid):
    """Time the process's threads spent runnable but waiting for a CPU, in
    seconds (second field of /proc/<pid>/task/*/schedstat)."""
    total = 0
    for tid in task_ids(pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[1])
        except (OSError, IndexError, ValueError):
            pass
    return total / 1e9


def is_sdk_thread(name):
    """The simulated SDK names its own threads netlib-*; every other thread
    of the process is the agent's."""
    return name.startswith("netlib-")


def thread_switches(pid):
    """{(tid, start time): [name, voluntary, involuntary context switches]}
    for every thread of the process; the start time tells a reused tid from
    the thread that had it before."""
    out = {}
    for tid in task_ids(pid):
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                stat = f.read()
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                status = dict(line.split(":", 1) for line in f if ":" in line)
            name = stat[stat.index("(") + 1:stat.rindex(")")]
            start = int(stat.rsplit(")", 1)[1].split()[19])
            out[(int(tid), start)] = [name, int(status["voluntary_ctxt_switches"]),
                                      int(status["nonvoluntary_ctxt_switches"])]
        except (OSError, KeyError, ValueError, IndexError):
            continue
    return out


def status_kb(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return None


def loadavg():
    return [round(x, 2) for x in os.getloadavg()]


class CpuWindow:
    """CPU time of one process over a stretch of wall time."""

    def __init__(self, pid):
        self.pid = pid
        self.cpu0 = cpu_seconds(pid)
        self.threads0 = thread_cpu(pid)
        self.delay0 = run_delay_s(pid)
        self.t0 = time.monotonic()

    def finish(self):
        cpu = cpu_seconds(self.pid) - self.cpu0
        wall = time.monotonic() - self.t0
        threads1 = thread_cpu(self.pid)
        per_thread = {k: round(v - self.threads0.get(k, 0.0), 3) for k, v in threads1.items()
                      if v - self.threads0.get(k, 0.0) > 0}
        return {"cpu_s": round(cpu, 3), "wall_s": round(wall, 3),
                "percent": 100.0 * cpu / wall if wall > 0 else 0.0,
                "threads_cpu_s": per_thread, "load": loadavg(),
                "waited_for_cpu_s": round(run_delay_s(self.pid) - self.delay0, 4)}


class WakeWindow:
    """Wake-ups of the agent's threads over a stretch of wall time: the
    voluntary and involuntary context switches of /proc/<pid>/task/*/status.
    A thread that starts inside the window counts from zero; one that ends
    inside it counts up to the last sample that saw it, so sample() runs
    every half second while the window is open (see hold)."""

    def __init__(self, pid):
        self.pid = pid
        self.first = thread_switches(pid)
        self.last = dict(self.first)
        self.t0 = time.monotonic()

    def sample(self):
        self.last.update(thread_switches(self.pid))

    def finish(self):
        now = thread_switches(self.pid)
        self.last.update(now)
        wall = time.monotonic() - self.t0
        agent, sdk, threads = 0, 0, {}
        for key, (name, vol, invol) in sorted(self.last.items()):
            _, vol0, invol0 = self.first.get(key, (name, 0, 0))
            woke = (vol - vol0) + (invol - invol0)
            if is_sdk_thread(name):
                sdk += woke
                continue
            agent += woke
            note = "" if key in self.first else " (started in the window)"
            note += "" if key in now else " (ended in the window)"
            threads["%s/%d%s" % (name, key[0], note)] = [vol - vol0, invol - invol0]
        return {"wall_s": round(wall, 3), "agent_wakeups": agent, "sdk_wakeups": sdk,
                "threads_vol_invol": threads, "load": loadavg()}


def hold(seconds, wakes):
    """Sleeps for `seconds`, sampling the wake-up window twice a second."""
    end = time.monotonic() + seconds
    while True:
        left = end - time.monotonic()
        if left <= 0:
            return
        time.sleep(min(0.5, left))
        wakes.sample()


# ----------------------------------------------------------- system calls
STRACE_LINE = re.compile(r"^(\d+)\s+(\d+\.\d+)\s+(.*)$")
CALL_NAME = re.compile(r"^([a-z_0-9]+)\(")
RESUMED = re.compile(r"^<\.\.\. ([a-z_0-9]+) resumed>")
FAILED = re.compile(r"= -1 (E[A-Z]+)")
# A descriptor in an `strace -y` line: its kind and inode, e.g. pipe:[555].
DESCRIPTOR = re.compile(r"<((?:pipe|socket):\[\d+\])>")


def thread_names(pid):
    """{tid: name} of the process's threads now."""
    return {key[0]: value[0] for key, value in thread_switches(pid).items()}


def all_traced_by(pid, tracer):
    """Whether every thread of the process is traced by `tracer`."""
    try:
        tids = os.listdir("/proc/%d/task" % pid)
        for tid in tids:
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                if not any(line.split() == ["TracerPid:", str(tracer)] for line in f):
                    return False
    except OSError:
        return False
    return bool(tids)


def read_strace(trace, names, t0, t1):
    """The calls of an `strace -f -ttt -y` log entered between t0 and t1, as
    (tid, name, rest of the line); every call line of the agent's threads,
    in the window or not, as (name, rest); and {index in calls: error name}
    of the calls that failed."""
    calls = []        # (tid, name, rest of the line)
    agent_lines = []  # every call line of the agent's threads, in the window or not
    pending = {}      # tid: index in calls of an unfinished call
    failed = {}       # index in calls: error name
    with open(trace, errors="replace") as f:
        for line in f:
            m = STRACE_LINE.match(line)
            if not m:
                continue
            tid, when, rest = int(m.group(1)), float(m.group(2)), m.group(3)
            resumed = RESUMED.match(rest)
            if resumed:
                index = pending.pop(tid, None)
                err = FAILED.search(rest)
                if index is not None and err:
                    failed[index] = err.group(1)
                continue
            call = CALL_NAME.match(rest)
            if call and not is_sdk_thread(names.get(tid, "?")):
                agent_lines.append((call.group(1), rest))
            if not call or not t0 <= when <= t1:
                continue
            if rest.endswith("<unfinished ...>"):
                pending[tid] = len(calls)
            else:
                err = FAILED.search(rest)
                if err:
                    failed[len(calls)] = err.group(1)
            calls.append((tid, call.group(1), rest))
    return calls, agent_lines, failed


def count_syscalls(trace, names, t0, t1):
    """System calls in an `strace -f -ttt -y` log entered between the wall
    times t0 and t1, by thread and call.

    Counted: every call of the agent's threads (tids missing from `names`,
    threads that came and went unseen, count as the agent's), and on the
    SDK's netlib-* threads only what the agent's stream callback does there:
    a call on a pipe or socket that an agent thread also uses (the relay
    connection's wake pipe, or its socket when a frame is sent straight from
    the callback) and a futex on a word that an agent thread uses too (a
    lock the two share). The SDK's own calls (its clock, sleeps and files)
    are left out and only totalled."""
    calls, agent_lines, failed = read_strace(trace, names, t0, t1)

    def agents(tid):
        return not is_sdk_thread(names.get(tid, "?"))

    descriptors, words = set(), set()
    for name, rest in agent_lines:
        descriptors.update(DESCRIPTOR.findall(rest))
        if name == "futex":
            words.add(rest.split("(", 1)[1].split(",", 1)[0])
    by_call, sdk_own = {}, 0
    for i, (tid, name, rest) in enumerate(calls):
        if not agents(tid):
            first = rest.split("(", 1)[1].split(",", 1)[0]
            ours = ((name != "futex" and set(DESCRIPTOR.findall(first)) & descriptors) or
                    (name == "futex" and first in words))
            if not ours:
                sdk_own += 1
                continue
        key = "%s/%d %s%s" % (names.get(tid, "?"), tid, name,
                              " " + failed[i] if i in failed else "")
        by_call[key] = by_call.get(key, 0) + 1
    return {"calls": sum(by_call.values()), "by_thread_call": by_call, "sdk_own_calls": sdk_own}


def trace_syscalls(s, seconds):
    """Counts the agent's system calls while it forwards, over `seconds`,
    with strace attached to every thread; the frames are those the relay
    reader got in the same window (strace slows the agent)."""
    pid = s.agent.pid
    trace = os.path.join(s.work, "strace.txt")
    names = thread_names(pid)
    tracer = Child(["strace", "-f", "-qq", "-ttt", "-y", "-e", "trace=all", "-o", trace,
                    "-p", str(pid)], stdout=os.path.join(s.work, "strace.log"))
    try:
        deadline = time.monotonic() + 10
        while not all_traced_by(pid, tracer.pid):
            if not tracer.alive() or time.monotonic() > deadline:
                raise BenchError("strace did not attach to the agent (see %s)"
                                 % os.path.join(s.work, "strace.log"))
            time.sleep(0.05)
        time.sleep(0.5)
        t0 = time.time()
        s.relay.must("mark", "mark")
        time.sleep(seconds)
        rep = s.relay.must("report", "report")
        t1 = time.time()
        names.update(thread_names(pid))
    finally:
        tracer.stop()
    s.check_alive()
    counted = count_syscalls(trace, names, t0, t1)
    counted.update({"frames": rep["frames"], "window_s": round(t1 - t0, 3), "relay": rep,
                    "load": loadavg()})
    return counted


# ------------------------------------------------------------- the cloud
class Cloud:
    """The local cloud of the demo and the end-to-end tests (tools/cloudsim)
    on an asyncio loop of its own thread: directory on 127.0.0.1:8080, logic
    and upload servers, channel 0 assigned to the bench's relay reader. Its
    upload server takes requests through a small receive buffer, so a held
    upload really stays in flight. What it saw is read here with its lock
    not needed: the lists only grow, and each item is complete when added."""

    def __init__(self, relay_port, out):
        o = cloudsim_main.parse_args([
            "--out", os.path.join(out, "cloud"), "--directory", "127.0.0.1:8080",
            "--relay-at", str(relay_port), "--camera-id", CAMERA_ID, "--node-name", "bench",
            "--upload-rcvbuf", "4096", "--no-video-file", "--quiet", "--duration", "0"])
        os.makedirs(o.out, exist_ok=True)
        self.rec = cloudsim_recorder.Recorder(o.out, quiet=True)
        self.sim = cloudsim_cloud.Cloud(o, self.rec)
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        try:
            self._call(self.sim.start(), 10)
        except BaseException:
            self._end_loop()
            raise

    def _call(self, coroutine, timeout):
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(timeout)

    def _end_loop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(5)
        self.loop.close()

    async def _stop(self):
        await self.sim.stop()
        # Connections still being served end with the cloud.
        tasks = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
        for t in tasks:
            t.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)

    def close(self):
        try:
            self._call(self._stop(), 10)
        finally:
            self._end_loop()

    @staticmethod
    def wait(predicate, timeout):
        deadline = time.monotonic() + timeout
        while not predicate():
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.02)
        return True

    def camera_active(self):
        states = self.rec.camera_states
        return bool(states) and states[-1]["active"] == "1"

    def hold_uploads(self, hold):
        self.sim.hold_uploads = hold

    def upload_started(self):
        seen = self.sim.uploads_seen
        return bool(seen) and "head_at" in seen[-1]

    def upload_answered(self):
        seen = self.sim.uploads_seen
        return bool(seen) and seen[-1]["answered"]

    def upload(self):
        return self.rec.uploads[-1] if self.rec.uploads else {}

    def alarm_reports(self):
        return len(self.rec.alarm_reports)

    def violations(self):
        return list(self.rec.violations)


# ------------------------------------------------------------ processes
class Child:
    """A child process in its own process group, ended with the group; it
    ends too if this driver dies."""

    def __init__(self, cmd, cwd=None, env=None, stdout=None, stdin=None):
        self.log = open(stdout, "wb") if isinstance(stdout, str) else None
        self.p = subprocess.Popen(cmd, cwd=cwd, env=env,
                                  stdout=self.log if self.log else stdout,
                                  stderr=subprocess.STDOUT if self.log else None,
                                  stdin=stdin if stdin is not None else subprocess.DEVNULL,
                                  start_new_session=True,
                                  preexec_fn=lambda: _die_with_parent(signal.SIGKILL))
        self.pid = self.p.pid

    def alive(self):
        return self.p.poll() is None

    def stop(self):
        if self.p.poll() is None:
            for sig, wait in ((signal.SIGTERM, 3.0), (signal.SIGKILL, 5.0)):
                try:
                    os.killpg(self.p.pid, sig)
                except ProcessLookupError:
                    break
                try:
                    self.p.wait(wait)
                    break
                except subprocess.TimeoutExpired:
                    pass
        else:
            try:
                os.killpg(self.p.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        for f in (self.p.stdin, self.p.stdout):
            if f is not None:
                try:
                    f.close()
                except OSError:
                    pass
        if self.log:
            self.log.close()


class RelayReader(Child):
    def __init__(self, exe, workdir):
        port_file = os.path.join(workdir, "relay.port")
        if os.path.exists(port_file):
            os.unlink(port_file)
        super().__init__([exe, port_file], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        deadline = time.monotonic() + 10
        while not os.path.exists(port_file):
            if not self.alive() or time.monotonic() > deadline:
                raise BenchError("the relay reader did not start")
            time.sleep(0.02)
        with open(port_file) as f:
            self.port = int(f.read())

    def ask(self, line):
        self.p.stdin.write((line + "\n").encode())
        self.p.stdin.flush()
        answer = self.p.stdout.readline()
        if not answer:
            raise BenchError("the relay reader ended")
        return json.loads(answer)

    def must(self, line, what):
        answer = self.ask(line)
        if not answer.get("ok"):
            raise BenchError("%s: %s" % (what, answer.get("error", answer)))
        return answer


def agent_env(netlib, workdir, fps, frame_bytes, snapshot=None):
    env = dict(os.environ)
    env.update({
        "NETLIB_SIM_USER": USER,
        "NETLIB_SIM_PASSWORD": PASSWORD,
        "NETLIB_SIM_CAMERA_IP": harness.AGENT_ADDR,
        # Synthetic frames on both streams: they carry the handoff time.
        "NETLIB_SIM_MEDIA": "",
        "NETLIB_SIM_MAIN_MEDIA": "",
        "NETLIB_SIM_SUB_MEDIA": "",
        "NETLIB_SIM_FPS": str(fps),
        "NETLIB_SIM_FRAME_BYTES": str(frame_bytes),
        "NETLIB_SIM_ALARM_FIFO": os.path.join(workdir, "alarm.fifo"),
        "LD_LIBRARY_PATH": os.path.dirname(os.path.abspath(netlib)) +
        (os.pathsep + env["LD_LIBRARY_PATH"] if env.get("LD_LIBRARY_PATH") else ""),
    })
    for k in ("NETLIB_SIM_JOURNAL", "NETLIB_SIM_HANDOFF_LOG", "NETLIB_SIM_ALARM_INTERVAL_MS",
              "NETLIB_SIM_SNAP_FAIL", "NETLIB_SIM_PTZ"):
        env.pop(k, None)
    if snapshot:
        env["NETLIB_SIM_SNAPSHOT"] = snapshot
    return env


class Session:
    """One agent run against a fresh cloud and relay reader."""

    def __init__(self, a, name, fps, frame_bytes, snapshot=None):
        self.name = name
        self.work = os.path.join(a.out, name)
        os.makedirs(self.work, exist_ok=True)
        for f in ("agent.log", "config_user.ini"):
            try:
                os.unlink(os.path.join(self.work, f))
            except FileNotFoundError:
                pass
        harness.write_config(self.work, USER, PASSWORD)
        self.children = []
        self.cloud = None
        try:
            self.relay = RelayReader(a.relay, self.work)
            self.children.append(self.relay)
            self.cloud = Cloud(self.relay.port, self.work)
            self.agent = Child([a.agent], cwd=self.work,
                               env=agent_env(a.netlib, self.work, fps, frame_bytes, snapshot),
                               stdout=os.path.join(self.work, "agent.log"))
            self.children.append(self.agent)
            self.relay.must("login 20", "agent run %s" % name)
            if not self.cloud.wait(self.cloud.camera_active, 10):
                raise BenchError("agent run %s: the camera was not reported active" % name)
        except BaseException:
            self.close()
            raise

    def check_alive(self):
        if not self.agent.alive():
            raise BenchError("the agent ended (see %s)" % os.path.join(self.work, "agent.log"))

    def forwarding_on(self):
        self.relay.must("send 2", "forwarding on")
        self.relay.must("mark", "mark")
        self.relay.must("frames 1 10", "no video within 10 s of forwarding on")

    def close(self):
        for c in reversed(self.children):
            c.stop()
        self.children = []
        if self.cloud:
            # What the cloud found wrong in the agent's bytes, for the record.
            with open(os.path.join(self.work, "cloud-violations.json"), "w") as f:
                json.dump(self.cloud.violations(), f, indent=1)
            self.cloud.close()
            self.cloud = None


def say(text):
    print("bench: " + text, flush=True)


# ------------------------------------------------------------ the runs
def run_a(a, results):
    snapshot = os.path.join(a.out, "snapshot-large.jpg")
    with open(snapshot, "wb") as f:
        f.write(b"\xff\xd8" + bytes(i & 0xFF for i in range(SNAPSHOT_BYTES - 4)) + b"\xff\xd9")
    say("run A: 25 fps of 20 KB frames (agent pid follows)")
    s = Session(a, "run-a", 25, 20480, snapshot)
    try:
        say("agent pid %d logged in, relay link up" % s.agent.pid)
        time.sleep(2.0)
        results["idle"] = measure_idle(s)
        results["forward"] = measure_forwarding(s)
        say("system calls per frame: strace -f attached while forwarding, %.0f s" % STRACE_S)
        results["syscalls"] = trace_syscalls(s, STRACE_S)
        results["memory"] = measure_upload_memory(s)
        s.relay.ask("send 3")
    finally:
        s.close()


def measure_idle(s):
    say("idle CPU and wake-ups: forwarding off, stream running, %.0f s" % IDLE_S)
    w = CpuWindow(s.agent.pid)
    wakes = WakeWindow(s.agent.pid)
    hold(IDLE_S, wakes)
    idle = w.finish()
    idle["wakes"] = wakes.finish()
    s.check_alive()
    return idle


def measure_forwarding(s):
    say("forwarding CPU, latency and wake-ups: 25 fps x 20 KB, %.0f s" % FORWARD_S)
    s.forwarding_on()
    time.sleep(1.0)
    s.relay.must("mark", "mark")
    w = CpuWindow(s.agent.pid)
    wakes = WakeWindow(s.agent.pid)
    hold(FORWARD_S, wakes)
    fwd = w.finish()
    fwd["wakes"] = wakes.finish()
    rep = s.relay.must("report", "report")
    # The frames of the window itself, before any wait for more.
    fwd["wakes"]["frames"] = rep["frames"]
    if rep["latency_us"]["n"] < FORWARD_MIN_FRAMES:
        s.relay.must("frames %d 20" % FORWARD_MIN_FRAMES, "fewer than %d frames" % FORWARD_MIN_FRAMES)
        rep = s.relay.must("report", "report")
    s.relay.must("dump " + os.path.join(s.work, "forwarding-frames.txt"), "dump")
    s.check_alive()
    fwd["relay"] = rep
    fwd["offered"] = rep["last_counter"] - rep["first_counter"] + 1 if rep["frames"] else 0
    return fwd


def measure_upload_memory(s):
    say("memory: alarm upload of a %d-byte snapshot held in flight for %.0f s while forwarding"
        % (SNAPSHOT_BYTES, UPLOAD_HOLD_S))
    s.cloud.hold_uploads(True)
    fifo = os.path.join(s.work, "alarm.fifo")
    fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
    try:
        os.write(fd, b"motion\n")
    finally:
        os.close(fd)
    if not s.cloud.wait(s.cloud.upload_started, 10):
        raise BenchError("the alarm upload did not start")
    rss_max = 0
    end = time.monotonic() + UPLOAD_HOLD_S
    while time.monotonic() < end:
        rss_max = max(rss_max, status_kb(s.agent.pid, "VmRSS") or 0)
        time.sleep(0.1)
    # The kernel's counters are approximate (per-CPU batches): keep the
    # largest reading of any of them.
    in_flight_hwm = max(status_kb(s.agent.pid, "VmHWM"), rss_max)
    frames_during = s.relay.must("report", "report")["frames"]
    s.cloud.hold_uploads(False)
    if not s.cloud.wait(s.cloud.upload_answered, 15):
        raise BenchError("the alarm upload did not finish")
    reported = s.cloud.wait(lambda: s.cloud.alarm_reports() > 0, 5)
    s.check_alive()
    return {
        "vm_hwm_kb": max(status_kb(s.agent.pid, "VmHWM"), in_flight_hwm),
        "vm_hwm_in_flight_kb": in_flight_hwm,
        "vm_rss_max_in_flight_kb": rss_max, "vm_rss_end_kb": status_kb(s.agent.pid, "VmRSS"),
        "upload": s.cloud.upload(), "alarm_reported": reported,
        "forwarding_frames_total": frames_during, "snapshot_bytes": SNAPSHOT_BYTES,
        "load": loadavg()}


def run_b(a, results):
    say("run B: 100 KB frames as fast as the simulated SDK makes them, %.0f s" % THROUGHPUT_S)
    s = Session(a, "run-b", 0, 102400)
    try:
        s.forwarding_on()
        time.sleep(1.0)
        s.relay.must("mark", "mark")
        w = CpuWindow(s.agent.pid)
        time.sleep(THROUGHPUT_S)
        rep = s.relay.must("report", "report")
        cpu = w.finish()
        s.relay.must("dump " + os.path.join(s.work, "throughput-frames.txt"), "dump")
        s.check_alive()
        offered = rep["last_counter"] - rep["first_counter"] + 1 if rep["frames"] else 0
        results["throughput"] = {
            "relay": rep, "cpu": cpu, "offered": offered,
            "mb_s": rep["bytes"] / rep["window_s"] / 1e6,
            "frames_s": rep["frames"] / rep["window_s"],
            "dropped_share": 1.0 - rep["frames"] / offered if offered else None,
            "vm_hwm_kb": status_kb(s.agent.pid, "VmHWM"), "load": cpu["load"]}
        s.relay.ask("send 3")
    finally:
        s.close()


def run_micro(a, results):
    say("micro-benchmarks")
    found = {}
    sizes = {}
    # relay_bench fixes its own iteration counts.
    for exe, flt, extra in (("parse_bench", "BM_ParseLoginAnswer", ["--benchmark_min_time=0.3"]),
                            ("relay_bench", "BM_QueueVideoFrame20KB|BM_CommandStepPtz", [])):
        path = os.path.join(a.build, "bench", exe)
        r = subprocess.run([path, "--benchmark_filter=" + flt, "--benchmark_repetitions=3",
                            "--benchmark_report_aggregates_only=true",
                            "--benchmark_format=json"] + extra,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        if r.returncode != 0:
            raise BenchError("%s failed: %s" % (exe, r.stderr.decode(errors="replace")[-400:]))
        times, bytes_ = medians(json.loads(r.stdout))
        found.update(times)
        sizes.update(bytes_)
    results["micro_ns"] = found
    results["micro_bytes"] = sizes
    results["micro_load"] = loadavg()


def medians(report):
    """({benchmark: median real time in ns}, {benchmark: its "bytes"
    counter}) of a Google Benchmark JSON report made with repetitions and
    aggregates only; a benchmark that failed raises BenchError."""
    times, sizes = {}, {}
    for b in report["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        if b.get("error_occurred"):
            raise BenchError("%s: %s" % (b["name"], b.get("error_message")))
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
        name = b["run_name"].split("/")[0]
        times[name] = b["real_time"] * scale
        if "bytes" in b:
            sizes[name] = int(b["bytes"])
    return times, sizes


# ------------------------------------------------------------- the table
def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    mem_kb = 0
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                mem_kb = int(line.split()[1])
    return {"nproc": os.cpu_count(), "cpu": model, "mem_gib": round(mem_kb / 1048576, 1),
            "kernel": os.uname().release}


def fmt_us(us):
    return "%.0f us" % us if us < 1000 else "%.2f ms" % (us / 1000.0)


def fmt_ns(ns):
    return "%.0f ns" % ns if ns < 1000 else "%.2f us" % (ns / 1000.0)


def wakes_by_thread(window):
    """{thread name: wake-ups} of a WakeWindow result (threads of one name
    added up)."""
    out = {}
    for key, (vol, invol) in window["threads_vol_invol"].items():
        name = key.rsplit("/", 1)[0]
        out[name] = out.get(name, 0) + vol + invol
    return out


def voluntary(window):
    """The voluntary part of a WakeWindow result's agent wake-ups."""
    return sum(vol for vol, _ in window["threads_vol_invol"].values())


def calls_by_name(counted):
    """{call: count} of count_syscalls's result, over all threads."""
    out = {}
    for key, n in counted["by_thread_call"].items():
        call = key.split(" ", 1)[1]
        out[call] = out.get(call, 0) + n
    return out


def shares(counts, per):
    """'name 1.00, other 0.50' for the nonzero counts, largest first, each
    divided by `per`."""
    items = sorted(((n, k) for k, n in counts.items() if n), reverse=True)
    return ", ".join("%s %.2f" % (k, n / per) for n, k in items) if per else "-"


def breakdown(results):
    """Lines that give every agent thread's share of rows 6 to 8."""
    lines = ["Agent threads (name/tid), wake-ups as voluntary+involuntary context switches:"]
    for label, window in (("idle", results["idle"]["wakes"]),
                          ("forwarding", results["forward"]["wakes"])):
        lines.append("  %s: %s; the SDK's threads: %d" % (
            label, ", ".join("%s %d+%d" % (k, v, i) for k, (v, i) in
                             sorted(window["threads_vol_invol"].items())), window["sdk_wakeups"]))
    sc = results["syscalls"]
    lines.append("  system calls per frame: %s; the SDK's own calls, left out: %.2f per frame" % (
        shares(sc["by_thread_call"], sc["frames"]),
        sc["sdk_own_calls"] / sc["frames"] if sc["frames"] else 0))
    return lines


def table(results):
    """The results as a text table, one row a goal, and whether every goal
    was met."""
    rows = []

    def row(what, result, goal, met, load):
        rows.append((what, result, goal, {True: "yes", False: "NO", None: ""}[met],
                     "%.2f" % load[0] if load else ""))

    cpu_memory_rows(results, row)
    wakeup_call_rows(results, row)
    met_all = all(r[3] != "NO" for r in rows)
    lines = aligned(rows)
    # Not the throughput run's load: that run keeps both CPUs busy itself.
    fwd = results["forward"]
    busy = max(results["idle"]["load"][0], fwd["load"][0], results["memory"]["load"][0])
    if busy >= 1.0:
        lines.append("")
        lines.append("Other work kept the machine busy (1-minute load up to %.2f on %d CPUs): in row 3's "
                     "window the agent's threads waited %.0f ms in all for a CPU (schedstat), and each "
                     "wait lands in the latency of a frame; rerun when the machine is quieter."
                     % (busy, os.cpu_count(), 1000 * fwd.get("waited_for_cpu_s", 0)))
    lines.append("")
    lines.extend(breakdown(results))
    return "\n".join(lines), met_all


def aligned(rows):
    """Table lines: the head, a rule, then the rows, in aligned columns."""
    head = ("Measurement", "Result", "Goal", "Met", "Load")
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(5)]
    lines = []
    for r in [head] + rows:
        lines.append("  ".join(str(c).ljust(widths[i]) for i, c in enumerate(r)).rstrip())
        if r is head:
            lines.append("  ".join("-" * w for w in widths))
    return lines


def cpu_memory_rows(results, row):
    """Rows 1 to 5: CPU idle and forwarding, latency, throughput, peak RSS."""
    idle = results["idle"]
    row("1 Idle CPU (logged in, link up, forwarding off, %.0f s)" % idle["wall_s"],
        "%.2f%% of one core (%.2f s CPU)" % (idle["percent"], idle["cpu_s"]),
        "<= %.1f%%" % GOALS["idle_cpu"], idle["percent"] <= GOALS["idle_cpu"], idle["load"])
    fwd = results["forward"]
    rep = fwd["relay"]
    row("2 Forwarding CPU, 25 fps x 20 KB (%.0f s)" % fwd["wall_s"],
        "%.2f%% of one core (%.2f s CPU)" % (fwd["percent"], fwd["cpu_s"]),
        "<= %.0f%%" % GOALS["forward_cpu"], fwd["percent"] <= GOALS["forward_cpu"], fwd["load"])
    lat = rep["latency_us"]
    lost = fwd["offered"] - rep["frames"]
    row("3 Forwarding latency, handoff to last byte (%d frames%s)"
        % (lat["n"], ", %d lost" % lost if lost else ""),
        "p50 %s, p99 %s, max %s; %d over 1 ms"
        % (fmt_us(lat["p50"]), fmt_us(lat["p99"]), fmt_us(lat["max"]), lat.get("over_1ms", 0)),
        "p99 <= 1 ms", lat["p99"] <= GOALS["latency_p99_us"], fwd["load"])
    th = results["throughput"]
    row("4 Throughput ceiling, 100 KB frames, unpaced (%.0f s)" % th["relay"]["window_s"],
        "%.0f MB/s (%.0f frames/s); %.2f%% of frames dropped (%.2f M/s offered)"
        % (th["mb_s"], th["frames_s"], 100.0 * (th["dropped_share"] or 0),
           th["offered"] / th["relay"]["window_s"] / 1e6),
        ">= %.0f MB/s" % GOALS["throughput_mb_s"], th["mb_s"] >= GOALS["throughput_mb_s"], th["load"])
    mem = results["memory"]
    hwm_mb = mem["vm_hwm_kb"] / 1024.0
    row("5 Peak RSS, forwarding + %d KB alarm upload in flight" % (mem["snapshot_bytes"] // 1000),
        "%.1f MB VmHWM (%.1f MB at 100 KB frames, run 4)" % (hwm_mb, th["vm_hwm_kb"] / 1024.0),
        "<= %.0f MB" % GOALS["peak_rss_mb"], hwm_mb <= GOALS["peak_rss_mb"], mem["load"])


def wakeup_call_rows(results, row):
    """Rows 6 to 9: wake-ups idle and per frame, system calls per frame,
    and the micro-benchmarks."""
    iw = results["idle"]["wakes"]
    rate = iw["agent_wakeups"] / iw["wall_s"]
    row("6 Idle wake-ups, agent threads (/proc ctxt switches, %.0f s)" % iw["wall_s"],
        "%.2f a second (%d, %d voluntary): %s" % (rate, iw["agent_wakeups"], voluntary(iw),
                                                  shares(wakes_by_thread(iw), iw["wall_s"])),
        "<= %.0f/s" % GOALS["idle_wakeups_s"], rate <= GOALS["idle_wakeups_s"], iw["load"])
    fw = results["forward"]["wakes"]
    per = fw["agent_wakeups"] / fw["frames"] if fw["frames"] else float("inf")
    row("7 Forwarding wake-ups per frame, agent threads (%.0f s)" % fw["wall_s"],
        "%.2f (%d in %d frames, %d voluntary): %s" % (per, fw["agent_wakeups"], fw["frames"], voluntary(fw),
                                                     shares(wakes_by_thread(fw), fw["frames"])),
        "<= %.0f" % GOALS["forward_wakeups_frame"], per <= GOALS["forward_wakeups_frame"], fw["load"])
    sc = results["syscalls"]
    per = sc["calls"] / sc["frames"] if sc["frames"] else float("inf")
    row("8 System calls per frame, strace -f, SDK's own left out (%.0f s)" % sc["window_s"],
        "%.2f (%d in %d frames): %s" % (per, sc["calls"], sc["frames"],
                                       shares(calls_by_name(sc), sc["frames"])),
        "<= %.0f" % GOALS["syscalls_frame"], per <= GOALS["syscalls_frame"], sc["load"])
    micro = results["micro_ns"]
    text_bytes = results.get("micro_bytes", {}).get("BM_ParseLoginAnswer")
    for name, label in (("BM_ParseLoginAnswer", "9 ParseMessage, logic login answer%s"
                         % (" (%d B)" % text_bytes if text_bytes else "")),
                        ("BM_QueueVideoFrame20KB", "  QueueVideoFrame, 20 KB frame"),
                        ("BM_CommandStepPtz", "  CommandStep, queued PTZ command")):
        row(label, fmt_ns(micro[name]) + " per call (median of 3)" if name in micro else "not run",
            "", None, results["micro_load"] if name == "BM_ParseLoginAnswer" else None)


def print_report(a, results, text):
    """The report on the console: the machine, the table, how to read it."""
    m = results["machine"]
    print()
    print("cloud-agent performance, Release build, %s" % results["started"].replace("T", " "))
    print("machine: %d CPUs, %s, %.1f GiB memory, Linux %s; load average at start %s"
          % (m["nproc"], m["cpu"], m["mem_gib"], m["kernel"],
             " ".join("%.2f" % x for x in results["load_at_start"])))
    print()
    print(text)
    print()
    print("CPU is the agent process's utime+stime (/proc/<pid>/stat) over the stated wall time; "
          "Load is the 1-minute load average at the end of each measurement. MB/s counts 10^6 "
          "bytes read by the relay server; RSS MB are 2^20 bytes.")
    print("Wake-ups are the voluntary plus involuntary context switches (/proc/<pid>/task/*/status) "
          "of the agent's threads, every thread not named netlib-* (the simulated SDK's), per second "
          "idle or per frame the relay server got in the window. System calls: strace -f -ttt -y "
          "over %.0f s of forwarding, divided by the frames the relay server got in that window; "
          "every call of the agent's threads counts, and on the SDK's netlib-* threads only those "
          "of the agent's stream callback: a call on a pipe or socket an agent thread also uses (the "
          "relay connection's wake pipe, or its socket for a frame sent straight from the callback) "
          "and a futex on a word an agent thread also uses (a lock)."
          % STRACE_S)
    print("Details (per-thread CPU, latency minimum, counts): %s; measured in %.0f s."
          % (os.path.join(a.out, "results.json"), results["seconds"]))


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", required=True, help="the Release build folder")
    p.add_argument("--relay", required=True, help="the fast_relay executable (tools/measure/fast_relay.cpp)")
    p.add_argument("--out", required=True, help="folder for logs and results.json")
    p.add_argument("--userns", action="store_true",
                   help="inside unshare -rn: make lo and eth0 here first")
    a = p.parse_args(argv)
    a.build = os.path.abspath(a.build)
    a.out = os.path.abspath(a.out)
    a.agent = os.path.join(a.build, "app", "cloud-agent-local")
    a.netlib = os.path.join(a.build, "sim", "libNetLib.so")
    os.makedirs(a.out, exist_ok=True)

    # A signal, or the end of whoever started us, ends the run through the
    # finally clauses, which stop everything started here.
    _die_with_parent(signal.SIGTERM)

    def interrupt(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, interrupt)

    net = harness.Net("userns") if a.userns else None
    started = time.monotonic()
    results = {"machine": machine(), "started": datetime.datetime.now().isoformat(timespec="seconds"),
               "load_at_start": loadavg()}
    try:
        if net:
            net.up()
        run_a(a, results)
        run_b(a, results)
        run_micro(a, results)
    except KeyboardInterrupt:
        say("interrupted; everything started was stopped")
        return 130
    except (BenchError, OSError, subprocess.SubprocessError, ValueError) as e:
        say("measurement failed: %s; everything started was stopped" % e)
        with open(os.path.join(a.out, "results.json"), "w") as f:
            json.dump(results, f, indent=1)
        return 2
    finally:
        if net:
            net.down()
    results["seconds"] = round(time.monotonic() - started, 1)
    with open(os.path.join(a.out, "results.json"), "w") as f:
        json.dump(results, f, indent=1)

    text, met_all = table(results)
    print_report(a, results, text)
    return 0 if met_all else 1


if __name__ == "__main__":
    sys.exit(main())
