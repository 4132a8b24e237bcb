"""What runs against the board: the demo with the local cloud, and the
lifecycle (stop, start, kill -9, reboot) checked at the cloud."""
import json
import os
import queue
import re
import subprocess
import sys
import threading
import time

from cloudsim import harness
from .board import Board, Lan
from .image import BOARD_ADDR, DEVICE_MAC, LAN_ADDR, TAP


def last_status_block(log):
    """The last status block the agent printed (USR1), from logread."""
    lines = [ln for ln in log.splitlines() if re.search(r" cloud-agent\[\d+\]: ", ln)]
    start = max((i for i, ln in enumerate(lines) if ln.endswith(": cloud-agent status")),
                default=None)
    if start is None:
        return []
    block = []
    for ln in lines[start:]:
        block.append(ln)
        if re.search(r": discovery: ", ln):
            break
    return block


# ---------------------------------------------------------------- runs

class CloudRun:
    """The cloud simulator on the LAN side; its lines are printed as they
    come (when `echo`) and kept with the time they arrived."""

    def __init__(self, lan, out, args, echo=True):
        self.lines = queue.Queue()
        self.seen = []
        ready = os.path.join(out, ".ready")
        if os.path.exists(ready):
            os.unlink(ready)
        env = dict(os.environ)
        env["PYTHONPATH"] = harness.TOOLS_DIR + (os.pathsep + env["PYTHONPATH"]
                                                 if env.get("PYTHONPATH") else "")
        env["PYTHONUNBUFFERED"] = "1"
        cmd = [sys.executable, "-m", "cloudsim", "--out", out, "--ready-file", ready,
               "--host", LAN_ADDR, "--directory", "%s:8080" % LAN_ADDR] + list(args)
        self.proc = harness.Proc("cloudsim", lan.wrap(cmd), env=env, stdout=subprocess.PIPE)
        self.echo = echo
        threading.Thread(target=self._read, daemon=True).start()
        deadline = time.monotonic() + 15
        while not os.path.exists(ready):
            if not self.proc.alive() or time.monotonic() > deadline:
                raise RuntimeError("the cloud simulator did not start")
            time.sleep(0.05)

    def _read(self):
        for raw in self.proc.p.stdout:
            line = raw.decode(errors="replace").rstrip("\n")
            if self.echo:
                print(line)
                sys.stdout.flush()
            item = (time.monotonic(), line)
            self.seen.append(item)
            self.lines.put(item)
        self.lines.put(None)

    def wait_line(self, pattern, timeout):
        """The (time, line) of the first line from now on matching pattern."""
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            try:
                item = self.lines.get(timeout=left)
            except queue.Empty:
                return None
            if item is None:
                return None
            if rx.search(item[1]):
                return item

    def stop(self):
        return self.proc.stop()


def cloud_args(board, out, duration, pace):
    snap = harness.snapshot_path(None)
    args = ["--duration", str(duration), "--pace", str(pace), "--journal", board.journal,
            "--alarm-fifo", board.alarm_fifo, "--expect-devid", DEVICE_MAC,
            "--expect-camera-ip", BOARD_ADDR, "--probe-target", BOARD_ADDR,
            "--probe-via", "ip netns exec %s" % board.lan.ns, "--start-timeout", "120"]
    return args + (["--expect-snapshot", snap] if snap else [])


def run_demo(image, out, duration, pace, pcap=None):
    """The demo against the board. Returns (ok, figures)."""
    lan = Lan()
    board = Board(image, lan, os.path.join(out, "camera-vm"))
    agent_dir = os.path.join(out, "agent")
    os.makedirs(agent_dir, exist_ok=True)
    board.journal = os.path.join(agent_dir, "sdk-journal.txt")
    figures = {}
    cloud = capture = None
    ok = False
    try:
        lan.up()
        print("demo: virtual camera on its own LAN: board eth0 %s %s/24 (qemu-system-arm, "
              "tap %s in namespace %s, the cloud at %s)"
              % (DEVICE_MAC, BOARD_ADDR, TAP, lan.ns, LAN_ADDR))
        print("demo: cloud and agent for %.0f s after the board's start; output in %s"
              % (duration, out))
        sys.stdout.flush()
        if pcap:
            capture = harness.Capture(lan, pcap)
            capture.start()
        # The board needs about 15 s to start under emulation: the cloud
        # runs that much longer and waits for it.
        cloud = CloudRun(lan, out, cloud_args(board, out, duration + 30, pace))
        board.start()
        figures = watch_demo(board, cloud)
        code = cloud.proc.wait(duration + 240)
        ok = code == 0
        ok = finish_demo(board, agent_dir, figures) and ok
        with open(os.path.join(board.work, "figures.json"), "w") as f:
            json.dump(figures, f, indent=1)
    finally:
        if cloud is not None:
            cloud.stop()
        if capture is not None:
            figures["capture_stats"] = capture.stop()
        board.stop()
        lan.down()
    return ok, figures


def running_agent_pid(board):
    pid = board.agent_pid()
    if pid is None:
        raise RuntimeError("the agent is not running on the board (see %s)"
                           % os.path.join(board.work, "console.log"))
    return pid


def watch_demo(board, cloud):
    """Logs in on the console, then takes the board's figures as the
    cloud's milestones pass."""
    c = board.console
    fig = {}
    c.login()
    fig["login_prompt_s"] = round(time.monotonic() - board.powered_on, 1)
    pid = running_agent_pid(board)
    uid = board.proc_status(pid)["Uid"].split()[0]
    print("demo: on the board the agent runs as pid %d, uid %s (%s)"
          % (pid, uid, "unprivileged" if uid != "0" else "ROOT"))
    fig.update(agent_pid=pid, agent_uid=int(uid))
    first = cloud.wait_line(r"\] forwarding: first frame", 120)
    if first is None:
        return fig
    fig["power_on_to_first_frame_s"] = round(first[0] - board.powered_on, 1)
    ticks0, t0 = board.cpu_ticks(pid), time.monotonic()
    if cloud.wait_line(r"\] alarm: wrote", 90):
        fig["forwarding"] = board.proc_status(pid)
        ticks1, t1 = board.cpu_ticks(pid), time.monotonic()
        fig["forwarding_cpu"] = {"seconds": round(t1 - t0, 1), "cpu_s": (ticks1 - ticks0) / 100.0}
    if cloud.wait_line(r"\] alarm reported", 30):
        fig["after_upload"] = board.proc_status(pid)
    # The status block while the links are up and the video flows; printed
    # at the end.
    if cloud.wait_line(r"\] discovery ignores a probe", 60):
        c.run("kill -USR1 %d" % pid)
    return fig


def finish_demo(board, agent_dir, fig):
    """The status block (USR1) from logread, the agent's log, the SDK
    journal; prints the figures."""
    c = board.console
    pid = fig.get("agent_pid")
    ok = bool(pid) and fig.get("agent_uid", 0) != 0
    code, log = c.run("logread", 30)
    with open(os.path.join(agent_dir, "agent.log"), "w") as f:
        f.write(log)
    block = last_status_block(log)
    print("Status block (kill -USR1 on the board, from logread)")
    for ln in block or ["  none found in logread"]:
        print("  " + ln)
    # Each line's tag carries the agent's own pid, not logger's.
    tagged = bool(block) and all("cloud-agent[%s]:" % pid in ln for ln in block)
    if block and not tagged:
        print("demo: the status block's lines do not carry the agent's pid %s" % pid)
    ok = ok and tagged
    print("Board (qemu-system-arm, TCG: relative figures only)")
    for key, label in (("login_prompt_s", "power-on to login prompt (s)"),
                       ("power_on_to_first_frame_s", "power-on to first frame at relay (s)")):
        print("  %-38s %s" % (label, fig.get(key, "-")))
    for key, label in (("forwarding", "while forwarding"), ("after_upload", "after alarm upload")):
        v = fig.get(key) or {}
        print("  %-38s VmRSS %s, VmHWM %s" % ("agent memory " + label, v.get("VmRSS", "-"),
                                               v.get("VmHWM", "-")))
    cpu = fig.get("forwarding_cpu")
    if cpu:
        print("  %-38s %.2f s in %.1f s" % ("agent CPU forwarding", cpu["cpu_s"], cpu["seconds"]))
    print("  %-38s %s (uid %s)" % ("agent process", pid, fig.get("agent_uid")))
    return ok


# ----------------------------------------------------------- lifecycle

def run_lifecycle(image, out):
    """Stop, start, kill -9 and reboot on the board, each checked at the
    cloud and with the init script's status; plus the idle CPU. Returns 0
    when every check passed."""
    lan = Lan()
    board = Board(image, lan, os.path.join(out, "camera-vm"))
    failures = []
    results = {}

    def check(what, cond, detail=""):
        print("lifecycle: %s %s%s" % ("PASS" if cond else "FAIL", what,
                                      ": " + detail if detail else ""))
        sys.stdout.flush()
        if not cond:
            failures.append(what)
        return cond

    cloud = None
    try:
        lan.up()
        cloud = CloudRun(lan, out, ["--scenario", "passive", "--duration", "0",
                                    "--start-timeout", "120", "--journal", board.journal,
                                    "--expect-devid", DEVICE_MAC], echo=False)
        board.start()
        c = board.console
        c.login()
        seen = cloud.wait_line(r"\] relay link up", 120)
        if not check("agent up after power-on", seen is not None,
                     "relay link up %.1f s after power-on" % (seen[0] - board.powered_on)
                     if seen else "no relay login within 120 s"):
            return 1
        pid = running_agent_pid(board)
        uid = board.proc_status(pid)["Uid"].split()[0]
        check("agent unprivileged", uid != "0", "pid %d, Uid %s" % (pid, uid))
        time.sleep(2)
        t0, ticks0 = time.monotonic(), board.cpu_ticks(pid)
        time.sleep(20)
        ticks1, t1 = board.cpu_ticks(pid), time.monotonic()
        results["idle_cpu"] = {"seconds": round(t1 - t0, 1), "cpu_s": (ticks1 - ticks0) / 100.0}
        print("lifecycle: idle (logged in, relay link up, forwarding off): %.2f s CPU in %.1f s"
              % (results["idle_cpu"]["cpu_s"], t1 - t0))
        lifecycle_steps(board, cloud, check, pid)
    except RuntimeError as e:
        check("run", False, str(e))
    finally:
        if cloud is not None:
            cloud.stop()
        board.stop()
        lan.down()
    with open(os.path.join(out, "lifecycle.json"), "w") as f:
        json.dump({"failures": failures, "results": results}, f, indent=1)
    print("lifecycle: %s" % ("every check passed" if not failures else
                             "FAILED: " + ", ".join(failures)))
    return 0 if not failures else 1


def status_of(c):
    code, out = c.run("/etc/init.d/S90cloud-agent status")
    m = re.search(r"running \(pid (\d+)\)", out)
    return code, (int(m.group(1)) if m and code == 0 else None), out.strip()


def lifecycle_steps(board, cloud, check, pid):
    c = board.console
    script = "/etc/init.d/S90cloud-agent"
    code, spid, text = status_of(c)
    check("status while running", code == 0 and spid == pid, text)

    t = time.monotonic()
    c.run(script + " stop", 30)
    took = time.monotonic() - t
    code, spid, text = status_of(c)
    _, left = c.run("pidof cloud-agent")
    check("stop ends the agent within 5 s", took <= 5 and not left.strip(),
          "took %.1f s; left: %s" % (took, left.strip() or "none"))
    check("status after stop", code == 3 and spid is None, text)

    c.run(script + " start", 30)
    login = cloud.wait_line(r"\] device login \d+", 30)
    code, spid, text = status_of(c)
    check("start brings a new device login", login is not None,
          login[1].split("] ", 1)[1] if login else "none within 30 s")
    check("status after start", code == 0 and spid is not None and spid != pid, text)

    pid = spid
    c.run("kill -9 %d" % pid)
    killed = time.monotonic()
    code, spid, text = status_of(c)
    check("status right after kill -9", code == 3 and spid is None, text)
    back = None
    while time.monotonic() - killed < 15:
        code, spid, text = status_of(c)
        if spid and spid != pid:
            back = time.monotonic() - killed
            break
        time.sleep(0.5)
    check("kill -9: running again within 10 s", back is not None and back <= 10,
          "after %.1f s, %s" % (back, text) if back else text)
    login = cloud.wait_line(r"\] device login \d+", 30)
    check("after kill -9 a new device login", login is not None)

    mark = c.mark()
    c.send("reboot\r")
    c.login(180, mark)
    login = cloud.wait_line(r"\] device login \d+", 120)
    code, spid, text = status_of(c)
    check("reboot brings the agent back", login is not None and code == 0, text)
    if spid:
        uid = board.proc_status(spid)["Uid"].split()[0]
        check("agent unprivileged after reboot", uid != "0", "Uid %s" % uid)
