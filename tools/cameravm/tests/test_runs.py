"""The decisions of the demo and lifecycle runs, taken against a scripted
board and cloud on a fake clock: figures, verdicts and the checks that fail."""
import contextlib
import io
import os
import tempfile
import unittest
from unittest import mock

from cameravm import runs


class Clock:
    def __init__(self, t=100.0):
        self.t = t

    def monotonic(self):
        return self.t

    def sleep(self, s):
        self.t += s


class Camera:
    """The board as the runs see it: its console (the init script, kill -9
    and the supervisor's respawn, reboot) and /proc; each agent started logs
    in at the cloud, which the Cloud below hands out."""

    def __init__(self, clock, stop_s=1, stop_ends=True, respawn_s=3, uid="1000"):
        self.clock, self.stop_s, self.respawn_s, self.uid = clock, stop_s, respawn_s, uid
        self.stop_ends = stop_ends
        self.console = self
        self.powered_on = clock.t
        self.pid, self.next_pid, self.respawn_at = 130, 131, None
        self.logins, self.typed = [], []

    def new_agent(self):
        self.pid, self.next_pid = self.next_pid, self.next_pid + 1
        self.logins.append("[00:01:%02d] device login %d" % (self.pid % 60, self.pid))

    def run(self, cmd, timeout=30):
        self.typed.append(cmd)
        if self.respawn_at is not None and self.clock.t >= self.respawn_at:
            self.respawn_at = None
            self.new_agent()
        if cmd.endswith(" status"):
            if self.pid:
                return 0, "cloud-agent is running (pid %d)\n" % self.pid
            return 3, "cloud-agent is not running\n"
        if cmd.endswith(" stop"):
            self.clock.t += self.stop_s
            self.pid = None if self.stop_ends else self.pid
        elif cmd.endswith(" start") and not self.pid:
            self.new_agent()
        elif cmd.startswith("kill -9 "):
            self.pid = None
            if self.respawn_s is not None:
                self.respawn_at = self.clock.t + self.respawn_s
        elif cmd == "pidof cloud-agent":
            return (0, "%d\n" % self.pid) if self.pid else (1, "")
        return 0, ""

    def mark(self):
        return 0

    def send(self, text):
        self.typed.append(text)

    def login(self, timeout=120, start=0):
        self.clock.t += 20
        if "reboot\r" in self.typed:
            self.new_agent()

    def agent_pid(self):
        return self.pid

    def proc_status(self, pid):
        return {"Uid": "%s\t%s\t%s\t%s" % ((self.uid,) * 4), "VmRSS": "2100 kB", "VmHWM": "2212 kB"}


class Cloud:
    """Lines arrive when the scenario says, else the wait runs out."""

    def __init__(self, clock, camera, at=None):
        self.clock, self.camera, self.at = clock, camera, at or {}

    def wait_line(self, pattern, timeout):
        if "device login" in pattern and self.camera.logins:
            return self.clock.t, self.camera.logins.pop(0)
        t = next((t for key, t in self.at.items() if key in pattern), None)
        if t is None or t > self.clock.t + timeout:
            self.clock.t += timeout
            return None
        self.clock.t = t
        return t, "[00:00:42] " + pattern


class LifecycleStepsTest(unittest.TestCase):
    def steps(self, **camera):
        clock = Clock()
        cam = Camera(clock, **camera)
        results = []
        with mock.patch.object(runs, "time", clock):
            runs.lifecycle_steps(cam, Cloud(clock, cam), lambda what, ok, detail="": results.append(
                (what, ok)), 130)
        return [what for what, ok in results], [what for what, ok in results if not ok]

    def test_each_step_checked_and_only_the_one_that_misbehaved_fails(self):
        names, failed = self.steps()
        self.assertEqual(failed, [])
        self.assertEqual(len(names), 10)
        for camera, expected in (
                (dict(stop_s=6), ["stop ends the agent within 5 s"]),
                # Left running: start finds it, so no new agent either.
                (dict(stop_ends=False), ["stop ends the agent within 5 s", "status after stop",
                                         "start brings a new device login", "status after start"]),
                (dict(respawn_s=12), ["kill -9: running again within 10 s"]),
                (dict(respawn_s=None), ["kill -9: running again within 10 s",
                                        "after kill -9 a new device login"]),
                (dict(uid="0"), ["agent unprivileged after reboot"])):
            with self.subTest(**camera):
                self.assertEqual(self.steps(**camera), (names, expected))


class WatchDemoTest(unittest.TestCase):
    def watch(self, cam, clock, **at):
        ticks = iter([500, 800])
        cam.cpu_ticks = lambda pid: next(ticks)
        with mock.patch.object(runs, "time", clock), contextlib.redirect_stdout(io.StringIO()):
            return runs.watch_demo(cam, Cloud(clock, cam, at))

    def test_figures_timed_from_power_on_as_the_cloud_milestones_pass(self):
        clock = Clock()
        cam = Camera(clock)
        fig = self.watch(cam, clock, **{"first frame": 131.0, "alarm: wrote": 161.0,
                                        "alarm reported": 170.0, "discovery ignores": 175.0})
        self.assertEqual((fig["login_prompt_s"], fig["power_on_to_first_frame_s"]), (20.0, 31.0))
        self.assertEqual((fig["agent_pid"], fig["agent_uid"]), (130, 1000))
        self.assertEqual(fig["forwarding_cpu"], {"seconds": 30.0, "cpu_s": 3.0})
        self.assertEqual(fig["after_upload"]["VmRSS"], "2100 kB")
        self.assertEqual(cam.typed[-1], "kill -USR1 130")

    def test_no_first_frame_or_no_agent(self):
        clock = Clock()
        cam = Camera(clock)
        fig = self.watch(cam, clock)
        self.assertEqual(sorted(fig), ["agent_pid", "agent_uid", "login_prompt_s"])
        self.assertNotIn("kill -USR1 130", cam.typed)
        cam.pid = None
        cam.work = "/tmp/out/camera-vm"
        with self.assertRaisesRegex(RuntimeError, "not running.*/tmp/out/camera-vm/console.log"):
            self.watch(cam, clock)


class FinishDemoTest(unittest.TestCase):
    def test_passes_only_with_an_unprivileged_agent_and_its_own_status_block(self):
        def block(pid):
            return ["Dec  8 03:27:35 camera user.notice cloud-agent[%d]: %s" % (pid, text)
                    for text in ("cloud-agent status", "relay: up", "discovery: 2 answers")]
        fig = {"agent_pid": 130, "agent_uid": 1000, "forwarding_cpu": {"seconds": 30.0, "cpu_s": 3.0}}
        for name, log, fig_, ok in (
                ("tagged", block(130), fig, True),
                ("tagged by logger's pid", block(131), fig, False),
                ("no block", block(130)[1:], fig, False),
                ("as root", block(130), dict(fig, agent_uid=0), False),
                ("no agent", block(130), {}, False)):
            with self.subTest(name), tempfile.TemporaryDirectory() as d:
                cam = Camera(Clock())
                cam.run = lambda cmd, timeout: (0, "\n".join(log) + "\n")
                with contextlib.redirect_stdout(io.StringIO()) as out:
                    self.assertIs(runs.finish_demo(cam, d, fig_), ok)
                with open(os.path.join(d, "agent.log")) as f:
                    self.assertEqual(f.read(), "\n".join(log) + "\n")
                if "tagged" in name:
                    self.assertIn("  " + block(130 if ok else 131)[1], out.getvalue())


if __name__ == "__main__":
    unittest.main()
