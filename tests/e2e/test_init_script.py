"""The firmware's init script (contrib/buildroot/package/cloud-agent/
S90cloud-agent) on this machine, in a busybox lab: a root folder of its own
in a mount and pid namespace, with Debian's static busybox (host
architecture, fetched with apt-get download into the cache) as /bin/sh, su,
logger, syslogd and every other tool. A small shell script stands in for
the agent. Seconds, no emulator. Needs root; skipped (77) otherwise."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from cloudsim import harness  # noqa: E402

SRC = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(SRC, "contrib", "buildroot", "package", "cloud-agent", "S90cloud-agent")
INIT = "/etc/init.d/S90cloud-agent"
BUSYBOX = None

# The stand-in agent. Each start is logged; then it does what /tmp/mode
# says: "crash" exits at once, "brief" after 0.3 s, otherwise it prints a
# numbered line every 0.05 s (padded to /tmp/pad bytes) and counts its lines
# in /tmp/ticks. /tmp/healthy-once makes one run look a minute long to the
# supervisor (the lab's /proc/uptime is a file then).
STAND_IN = r"""#!/bin/sh
read -r up _ </proc/uptime
echo "$$ $up" >>/tmp/starts
mode=tick
read -r mode 2>/dev/null </tmp/mode
if [ -e /tmp/healthy-once ]; then
	rm -f /tmp/healthy-once
	echo "$((${up%%.*} + 100)).00 0.00" >/proc/uptime
	exit 4
fi
case "$mode" in
	crash) echo "stand-in: crashing"; exit 3;;
	brief) sleep 0.3; exit 3;;
esac
pad=""
read -r pad 2>/dev/null </tmp/pad
fill=$(printf "%${pad:-0}s" "")
i=0
while :; do
	i=$((i + 1))
	echo "tick $i $fill"
	echo "$i" >/tmp/ticks
	sleep 0.05
done
"""

PASSWD = "root:x:0:0:root:/root:/bin/sh\ncloud-agent:x:1000:1000::/:/bin/false\n"
GROUP = "root:x:0:\ncloud-agent:x:1000:\n"


def fetch_busybox():
    """Debian's static busybox for this machine, unpacked in the cache."""
    cache = os.environ.get("CLOUD_AGENT_TOOLCHAIN_CACHE") or os.path.expanduser("~/.cache/cloud-agent")
    r = subprocess.run([os.path.join(SRC, "tools", "fetch-deb"), os.path.join(cache, "host-debs"),
                        "busybox-static"], stdout=subprocess.PIPE)
    path = os.path.join(r.stdout.decode().strip(), "bin", "busybox")
    return path if r.returncode == 0 and os.path.exists(path) else None


class Lab:
    """A busybox root in a mount and pid namespace of its own. Its pid 1 is
    a shell that reaps orphans (as init does); each step enters with
    nsenter. Leaving kills everything in it."""

    def __init__(self, defaults="", left_out=(), readonly_run=False, fake_uptime=False,
                 files=None, host_libs=False, prefix=()):
        self.root = tempfile.mkdtemp(prefix="initscript-")
        r = self.root
        os.chmod(r, 0o755)
        for d in ("bin", "sbin", "usr/bin", "usr/sbin", "etc/init.d", "etc/default", "var/run",
                  "var/log", "dev", "proc", "tmp", "opt/lib"):
            os.makedirs(os.path.join(r, d), exist_ok=True)
        shutil.copy(BUSYBOX, os.path.join(r, "bin/busybox"))
        applets = subprocess.run([BUSYBOX, "--list-full"], stdout=subprocess.PIPE,
                                 check=True).stdout.decode().split()
        for a in applets:
            if a != "bin/busybox" and os.path.basename(a) not in left_out:
                os.symlink("/bin/busybox", os.path.join(r, a))
        files = dict(files or {})
        files.setdefault("etc/passwd", PASSWD)
        files.setdefault("etc/group", GROUP)
        files.setdefault("etc/default/cloud-agent", defaults)
        files.setdefault("usr/bin/cloud-agent", STAND_IN)
        files["dev/console"] = ""
        files["tmp/uptime"] = "1000.00 0.00\n"
        for name, text in files.items():
            self.write(name, text)
        os.chmod(os.path.join(r, "usr/bin/cloud-agent"), 0o755)
        os.chmod(os.path.join(r, "tmp"), 0o1777)
        os.chmod(os.path.join(r, "tmp/uptime"), 0o666)
        shutil.copy(SCRIPT, os.path.join(r, INIT[1:]))
        os.chmod(os.path.join(r, INIT[1:]), 0o755)
        for dev in ("null", "urandom"):
            open(os.path.join(r, "dev", dev), "w").close()
        mounts = ["mount -t proc proc %s/proc" % r]
        mounts += ["mount --bind /dev/%s %s/dev/%s" % (d, r, d) for d in ("null", "urandom")]
        mounts.append("mount -t tmpfs -o mode=0755%s tmpfs %s/var/run"
                      % (",ro" if readonly_run else "", r))
        if fake_uptime:
            mounts.append("mount --bind %s/tmp/uptime %s/proc/uptime" % (r, r))
        if host_libs:
            mounts += self.host_libs()
        reaper = "echo ready >/tmp/ready; while :; do sleep 3600 & wait; done"
        setup = " && ".join(mounts) + " && exec chroot %s /bin/sh -c '%s'" % (r, reaper)
        self.proc = subprocess.Popen(list(prefix) + [
            "unshare", "--mount", "--pid", "--fork", "--kill-child", "--propagation", "private",
            "/bin/sh", "-c", setup])
        deadline = time.monotonic() + 10
        while not os.path.exists(os.path.join(r, "tmp/ready")):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the lab did not start")
            time.sleep(0.02)
        # (ip netns exec runs unshare in place.)
        with open("/proc/%d/task/%d/children" % (self.proc.pid, self.proc.pid)) as f:
            self.init = int(f.read().split()[0])

    def host_libs(self):
        """Mounts (read-only) of this machine's library folders, for a
        dynamically linked agent."""
        mounts = []
        for d in ("/lib", "/lib64", "/usr/lib", "/usr/lib64"):
            here = os.path.join(self.root, d[1:])
            if os.path.islink(d):
                os.symlink(os.readlink(d), here)
            elif os.path.isdir(d):
                os.makedirs(here, exist_ok=True)
                mounts.append("mount --bind %s %s && mount -o remount,bind,ro %s" % (d, here, here))
        return mounts

    def write(self, name, text):
        with open(os.path.join(self.root, name), "w") as f:
            f.write(text)

    def read(self, name):
        try:
            with open(os.path.join(self.root, name)) as f:
                return f.read()
        except OSError:
            return ""

    def sh(self, cmd, timeout=30):
        """(exit status, output) of a command run in the lab by its /bin/sh."""
        r = subprocess.run(["nsenter", "-t", str(self.init), "-m", "-p", "-n", "-r", "-w",
                            "/bin/sh", "-c", cmd], env={"PATH": "/sbin:/usr/sbin:/bin:/usr/bin"},
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
        return r.returncode, r.stdout.decode(errors="replace")

    def init_script(self, verb):
        # From a folder of the caller's: the supervisor must not keep it.
        return self.sh("cd /tmp && %s %s" % (INIT, verb))

    def processes(self):
        """[(pid, ppid, comm, cmdline)] of the lab's processes, as the lab
        sees them."""
        code, out = self.sh("for p in /proc/[0-9]*; do read -r s <$p/stat && "
                            "echo \"$s|$(tr '\\0' ' ' <$p/cmdline)\"; done 2>/dev/null")
        procs = []
        for line in out.splitlines():
            m = re.match(r"(\d+) \((.*)\) (\S) (\d+) .*\|(.*)$", line)
            if m and m.group(3) != "Z":
                procs.append((int(m.group(1)), int(m.group(4)), m.group(2), m.group(5)))
        return procs

    def agents(self):
        return [p for p in self.processes() if p[2] == "cloud-agent"]

    def supervisors(self):
        """The supervisors, without their own forks (the logger's keeper)."""
        ours = [p for p in self.processes() if "supervise" in p[3] and "S90" in p[3]]
        return [p for p in ours if p[1] not in [q[0] for q in ours]]

    def status_of(self, pid):
        code, out = self.sh("cat /proc/%d/status" % pid)
        return dict(ln.split(":", 1) for ln in out.splitlines() if ":" in ln)

    def wait_for(self, cond, timeout, step=0.05):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            v = cond()
            if v:
                return v
            time.sleep(step)
        return cond()

    def starts(self):
        return [ln.split() for ln in self.read("tmp/starts").splitlines()]

    def close(self):
        self.proc.kill()
        self.proc.wait()
        shutil.rmtree(self.root, ignore_errors=True)


class InitScriptTest(unittest.TestCase):
    def lab(self, **kw):
        lab = Lab(**kw)
        self.addCleanup(lab.close)
        return lab

    @staticmethod
    def agent_pid(lab):
        return int(lab.sh("cat /var/run/cloud-agent.pid")[1])

    def assertNothingLeft(self, lab):
        self.assertEqual(lab.agents(), [], "agents left")
        self.assertEqual(lab.supervisors(), [], "supervisors left")

    def test_start_status_stop_as_the_user_with_the_agents_own_pid(self):
        lab = self.lab(defaults="CLOUD_AGENT_LIBRARY_PATH=/opt/lib\n")
        code, out = lab.init_script("start")
        self.assertEqual((code, out.strip()), (0, "Starting cloud-agent: OK"))
        code, out = lab.init_script("status")
        pid = int(re.search(r"running \(pid (\d+)\)", out).group(1))
        self.assertEqual(code, 0)
        sup = lab.supervisors()
        self.assertEqual(len(sup), 1)
        # su and sh -c exec: the agent is the supervisor's own child.
        self.assertEqual([p[:3] for p in lab.agents()], [(pid, sup[0][0], "cloud-agent")])
        self.assertEqual(lab.status_of(pid)["Uid"].split(), ["1000"] * 4)
        # The library path reaches the agent alone; the supervisor keeps no
        # folder of its caller.
        code, env = lab.sh("tr '\\0' '\\n' </proc/%d/environ" % pid)
        self.assertIn("LD_LIBRARY_PATH=/opt/lib", env.splitlines())
        code, env = lab.sh("tr '\\0' '\\n' </proc/%d/environ" % sup[0][0])
        self.assertNotIn("LD_LIBRARY_PATH", env)
        self.assertEqual(lab.sh("readlink /proc/%d/cwd" % sup[0][0])[1].strip(), "/")

        code, out = lab.init_script("start")
        self.assertEqual((code, out.strip()), (0, "Starting cloud-agent: already running"))
        self.assertEqual(len(lab.supervisors()), 1)

        code, out = lab.init_script("restart")
        self.assertEqual(code, 0, out)
        code, out = lab.init_script("status")
        self.assertNotEqual(int(re.search(r"pid (\d+)", out).group(1)), pid)
        self.assertEqual(len(lab.supervisors()), 1)

        code, out = lab.init_script("stop")
        self.assertEqual((code, out.strip()), (0, "Stopping cloud-agent: OK"))
        self.assertNothingLeft(lab)
        self.assertEqual(lab.init_script("status"), (3, "cloud-agent is not running\n"))
        self.assertEqual(lab.init_script("stop"), (0, "Stopping cloud-agent: not running\n"))

    def test_stop_during_a_respawn_leaves_nothing(self):
        # Stopped while the supervisor waits out the respawn delay: at once,
        # and no agent comes back afterwards.
        lab = self.lab(defaults="CLOUD_AGENT_RESPAWN_DELAY=2\n")
        lab.write("tmp/mode", "brief\n")
        self.assertEqual(lab.init_script("start")[0], 0)
        self.assertTrue(lab.wait_for(lambda: "starting it again in 2 s" in lab.read("dev/console"), 5))
        t = time.monotonic()
        self.assertEqual(lab.init_script("stop"), (0, "Stopping cloud-agent: OK\n"))
        self.assertLess(time.monotonic() - t, 1.5)
        self.assertNothingLeft(lab)
        time.sleep(2.5)
        self.assertEqual(len(lab.starts()), 1)
        self.assertNothingLeft(lab)
        # Stopped at any moment of a quick crash loop (no delay), the agent
        # being started included: nothing remains, and start finds nothing.
        lab.write("etc/default/cloud-agent", "CLOUD_AGENT_RESPAWN_DELAY=0\n")
        for i in range(6):
            lab.sh("rm -f /tmp/starts; %s start >/dev/null" % INIT)
            lab.wait_for(lambda: len(lab.starts()) >= 1 + i % 3, 3, 0.01)
            time.sleep(0.05 * i)
            code, out = lab.init_script("stop")
            self.assertEqual(code, 0, out)
            self.assertNothingLeft(lab)
        time.sleep(1)
        self.assertNothingLeft(lab)

    def test_stop_ends_a_wedged_supervisor_and_all_it_started(self):
        # The supervisor stopped (SIGSTOP) while it waits out a respawn
        # delay: stop kills it, and what it started (the wait) with it.
        lab = self.lab(defaults="CLOUD_AGENT_RESPAWN_DELAY=30\n")
        lab.write("tmp/mode", "brief\n")
        self.assertEqual(lab.init_script("start")[0], 0)
        self.assertTrue(lab.wait_for(lambda: "again in" in lab.read("dev/console"), 5))
        (spid, _, _, _), = lab.supervisors()
        lab.sh("kill -STOP %d" % spid)
        t = time.monotonic()
        self.assertEqual(lab.init_script("stop"), (0, "Stopping cloud-agent: OK\n"))
        self.assertLess(time.monotonic() - t, 12)
        self.assertNothingLeft(lab)
        self.assertEqual([p for p in lab.processes() if re.match(r"sleep (2\d|30) ", p[3])], [])

    def test_a_crash_loop_backs_off_and_a_healthy_run_resets_it(self):
        lab = self.lab(defaults="CLOUD_AGENT_RESPAWN_DELAY=1\n", fake_uptime=True)
        lab.write("tmp/mode", "crash\n")
        seen = []

        def starts(n):
            got = len(lab.starts())
            seen.extend([time.monotonic()] * (got - len(seen)))
            return got >= n
        # In the background: start waits for an agent that stays up.
        lab.sh("%s start >/dev/null 2>&1 &" % INIT)
        self.assertTrue(lab.wait_for(lambda: starts(3), 8, 0.02))
        # The 4th run lasts a minute by /proc/uptime: the next delay is 1 s
        # again, then it doubles anew.
        lab.write("tmp/healthy-once", "")
        os.chown(os.path.join(lab.root, "tmp/healthy-once"), 1000, 1000)
        self.assertTrue(lab.wait_for(lambda: starts(5), 8, 0.02))
        gaps = [b - a for a, b in zip(seen, seen[1:])]
        self.assertTrue(0.9 <= gaps[0] < 1.7 and 1.9 <= gaps[1] < 2.7 and 2.9 <= gaps[2] < 4.7
                        and 0.9 <= gaps[3] < 1.7, gaps)
        self.assertTrue(lab.wait_for(lambda: len(self.said(lab)) >= 5, 2))
        said = self.said(lab)
        self.assertEqual(said[:2] + said[3:], [("3", "1"), ("3", "2"), ("4", "1"), ("3", "2")])
        self.assertIn(said[2], [("3", "3"), ("3", "4")])
        self.assertEqual(lab.init_script("stop")[0], 0)

    @staticmethod
    def said(lab):
        """(exit status, delay) of each respawn the console announced."""
        return re.findall(r"ended \(exit status (\d+)\); starting it again in (\d+) s",
                          lab.read("dev/console"))

    def ticks(self, lab):
        """The stand-in's line count. It rewrites the file each tick, so a
        read may fall between the truncation and the write: read again."""
        for _ in range(100):
            got = lab.read("tmp/ticks").strip()
            if got:
                return int(got)
            time.sleep(0.01)
        self.fail("the stand-in counts no lines")

    def test_logger_killed_and_syslogd_stopped_cost_lines_never_the_agent(self):
        lab = self.lab(defaults="CLOUD_AGENT_OUTPUT=syslog\n")
        lab.sh("syslogd -O /var/log/messages")
        self.assertEqual(lab.init_script("start")[0], 0)
        pid = self.agent_pid(lab)
        tag = "cloud-agent[%d]: tick " % pid

        def logged():
            return [int(ln.split(tag)[1].split()[0])
                    for ln in lab.read("var/log/messages").splitlines() if tag in ln]

        def loggers():
            return [p[0] for p in lab.processes() if p[2] == "logger" and "[%d]" % pid in p[3]]
        self.assertTrue(lab.wait_for(lambda: len(logged()) >= 5, 5))
        first = loggers()
        self.assertEqual(len(first), 1)
        lab.sh("kill -9 %d" % first[0])
        killed_at = self.ticks(lab)
        # Started again within about a second; the lines written meanwhile
        # waited in the pipe (at most the one logger held is lost).
        self.assertTrue(lab.wait_for(lambda: loggers() and loggers() != first, 3))
        self.assertTrue(lab.wait_for(lambda: max(logged()) > killed_at + 20, 5))
        got = logged()
        self.assertLessEqual(len(set(range(got[0], got[-1] + 1)) - set(got)), 1, got)

        # syslogd gone, the agent writing 40 kB a second (a full pipe in
        # under 2 s): it keeps running and writing, its lines are lost.
        lab.write("tmp/pad", "2000\n")
        lab.sh("killall syslogd")
        before = self.ticks(lab)
        time.sleep(3)
        self.assertGreater(self.ticks(lab) - before, 30)
        self.assertEqual(self.agent_pid(lab), pid)
        # Back, syslogd gets the lines again.
        lab.sh("syslogd -O /var/log/messages")
        back = self.ticks(lab)
        self.assertTrue(lab.wait_for(lambda: max(logged()) > back, 5))
        self.assertEqual(lab.init_script("stop"), (0, "Stopping cloud-agent: OK\n"))
        self.assertNothingLeft(lab)
        self.assertEqual([p for p in lab.processes() if p[2] == "logger"], [])

    def test_start_refuses_what_would_run_it_wrongly(self):
        pam_su = "#!/bin/sh\necho 'Usage: su [options] [-] [<user> [<argument>...]]'\n"
        cases = [
            ("a missing user", dict(defaults="CLOUD_AGENT_USER=nobody\n"),
             "user nobody does not exist (CLOUD_AGENT_USER=root runs the agent as root)"),
            ("an empty user", dict(defaults="CLOUD_AGENT_USER=\n"), "CLOUD_AGENT_USER is empty"),
            ("a delay in fractions", dict(defaults="CLOUD_AGENT_RESPAWN_DELAY=0.5\n"),
             "CLOUD_AGENT_RESPAWN_DELAY must be a whole number of seconds, not '0.5'"),
            ("a delay with a unit", dict(defaults="CLOUD_AGENT_RESPAWN_DELAY=2s\n"),
             "CLOUD_AGENT_RESPAWN_DELAY must be a whole number of seconds, not '2s'"),
            ("no su", dict(left_out=("su",)), "no busybox su, chpst or setpriv"),
            ("a PAM su", dict(left_out=("su",), files={"bin/su": pam_su}),
             "a PAM su forks"),
            ("a read-only run folder", dict(readonly_run=True),
             "cannot write /var/run/cloud-agent.supervisor.pid (is /var/run read-only?)"),
        ]
        for what, kw, reason in cases:
            with self.subTest(what):
                lab = self.lab(**kw)
                if "files" in kw:
                    os.chmod(os.path.join(lab.root, "bin/su"), 0o755)
                for _ in range(2):
                    code, out = lab.init_script("start")
                    self.assertEqual(code, 1, out)
                    self.assertTrue(out.startswith("Starting cloud-agent: FAIL: "), out)
                    self.assertIn(reason, out)
                self.assertIn("cloud-agent: not started: ", lab.read("dev/console"))
                self.assertIn(reason, lab.read("dev/console"))
                self.assertNothingLeft(lab)
                self.assertEqual(lab.starts(), [])
                self.assertEqual(lab.init_script("stop"), (0, "Stopping cloud-agent: not running\n"))
        # Where su is a PAM one, util-linux's setpriv takes its place, with
        # the agent still the supervisor's own child.
        if shutil.which("setpriv"):
            lab = self.lab(left_out=("su", "setpriv"), host_libs=True,
                           files={"bin/su": pam_su, "usr/bin/setpriv": ""})
            shutil.copy(shutil.which("setpriv"), os.path.join(lab.root, "usr/bin/setpriv"))
            os.chmod(os.path.join(lab.root, "bin/su"), 0o755)
            self.assertEqual(lab.init_script("start"), (0, "Starting cloud-agent: OK\n"))
            (pid, ppid, _, _), = lab.agents()
            self.assertEqual([ppid], [p[0] for p in lab.supervisors()])
            self.assertEqual(lab.status_of(pid)["Uid"].split(), ["1000"] * 4)
        # Only "root" runs it as root.
        lab = self.lab(defaults="CLOUD_AGENT_USER=root\n", left_out=("su",))
        self.assertEqual(lab.init_script("start")[0], 0)
        self.assertEqual(lab.status_of(lab.agents()[0][0])["Uid"].split(), ["0"] * 4)


@unittest.skipUnless(os.environ.get("CLOUD_AGENT") and os.environ.get("NETLIB"),
                     "CLOUD_AGENT and NETLIB name no built agent and simulated SDK")
class RealAgentTest(unittest.TestCase):
    """The built agent (cloud-agent-local) and the simulated SDK started by
    the script in the lab, inside the end-to-end tests' network namespace,
    against the local cloud."""

    def test_syslogd_stopped_the_agent_keeps_its_links(self):
        mode, why = harness.detect()
        if mode != "netns":
            self.skipTest("no network namespace to run the cloud in (%s)" % why)
        net = harness.Net(mode)
        self.addCleanup(net.down)
        net.up()
        out = tempfile.mkdtemp(prefix="initscript-cloud-")
        self.addCleanup(shutil.rmtree, out, True)
        defaults = ("CLOUD_AGENT_OUTPUT=syslog\nCLOUD_AGENT_LIBRARY_PATH=/opt/lib\n"
                    "export NETLIB_SIM_USER=admin NETLIB_SIM_PASSWORD=cam-secret "
                    "NETLIB_SIM_CAMERA_IP=%s NETLIB_SIM_JOURNAL=/tmp/sdk-journal.txt "
                    "NETLIB_SIM_ALARM_FIFO=/tmp/alarm.fifo\n" % harness.AGENT_ADDR)
        files = {"etc/hosts": "127.0.0.1 localhost\n", "etc/nsswitch.conf": "hosts: files\n",
                 "etc/resolv.conf": "nameserver 127.0.0.1\n",
                 "config_user.ini": harness.CONFIG_INI.format(user="admin", password="cam-secret")}
        lab = Lab(defaults=defaults, files=files, host_libs=True, prefix=net.wrap([]))
        self.addCleanup(lab.close)
        shutil.copy(os.environ["CLOUD_AGENT"], os.path.join(lab.root, "usr/bin/cloud-agent"))
        shutil.copy(os.environ["NETLIB"], os.path.join(lab.root, "opt/lib"))
        ready = os.path.join(out, ".ready")
        env = dict(os.environ, PYTHONPATH=harness.TOOLS_DIR, PYTHONUNBUFFERED="1")
        cloud = subprocess.Popen(net.wrap([
            sys.executable, "-m", "cloudsim", "--scenario", "passive", "--duration", "0",
            "--out", out, "--ready-file", ready, "--frame-log", os.path.join(out, "frames"),
            "--journal", os.path.join(lab.root, "tmp/sdk-journal.txt"),
            "--expect-devid", harness.DEVICE_MAC]), env=env, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT)
        self.addCleanup(cloud.kill)
        self.assertTrue(lab.wait_for(lambda: os.path.exists(ready), 15))
        lab.sh("syslogd -O /var/log/messages")
        self.assertEqual(lab.init_script("start"), (0, "Starting cloud-agent: OK\n"))
        pid = int(lab.sh("cat /var/run/cloud-agent.pid")[1])
        self.assertTrue(lab.wait_for(lambda: "Login admin" in lab.read("tmp/sdk-journal.txt"), 10),
                        lab.read("var/log/messages"))
        time.sleep(2)
        # syslogd gone: status blocks (6 lines each) go nowhere, the agent
        # goes on; back, they reach the log again.
        lab.sh("killall syslogd")
        t = time.monotonic()
        while time.monotonic() - t < 11:
            lab.sh("kill -USR1 %d" % pid)
            time.sleep(0.5)
        lab.sh("syslogd -O /var/log/messages")
        lab.sh("kill -USR1 %d" % pid)
        block = "cloud-agent[%d]: cloud-agent status" % pid
        self.assertTrue(lab.wait_for(lambda: lab.read("var/log/messages").count(block) >= 1, 5))
        self.assertEqual(int(lab.sh("cat /var/run/cloud-agent.pid")[1]), pid)
        self.assertEqual(lab.init_script("stop"), (0, "Stopping cloud-agent: OK\n"))
        cloud.terminate()
        text = cloud.communicate(timeout=20)[0].decode(errors="replace")
        self.assertIn("relay link up", text)
        self.assertNotIn("device login 2", text)
        # Relay heartbeats all along (10 s apart), no new login.
        with open(os.path.join(out, "frames")) as f:
            beats = [int(ln.split()[1]) for ln in f if ln.startswith("H ")]
        self.assertGreaterEqual(len(beats), 1, text)
        self.assertLessEqual(max(b - a for a, b in zip([beats[0]] + beats, beats)), 12000000)


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("SKIPPED: the init script's lab needs root (mount and pid namespaces)")
        sys.exit(77)
    if subprocess.run(["unshare", "--mount", "--pid", "--fork", "true"]).returncode != 0:
        print("SKIPPED: no mount and pid namespaces here (unshare -mpf failed)")
        sys.exit(77)
    BUSYBOX = fetch_busybox()
    if BUSYBOX is None:
        print("SKIPPED: no busybox-static for this machine (apt-get download failed)")
        sys.exit(77)
    unittest.main(verbosity=2)
