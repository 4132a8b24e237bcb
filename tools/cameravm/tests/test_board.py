"""What of the board needs no qemu: the LAN's commands, the console
talking to a scripted guest over pipes, qemu's command line, and what is
read back from /proc on the board."""
import os
import stat
import subprocess
import tempfile
import types
import unittest
from unittest import mock

from cameravm import board
from cameravm.image import DEVICE_MAC, KERNEL_ARGS, PROMPT, TAP
from cloudsim import harness


class Guest:
    """The board's side of the serial line: each line typed (ended by CR) is
    answered at once by reply(guest, line); echoes what is typed until stty -echo."""

    def __init__(self, reply):
        self.reply = reply
        self.echo = True
        self.typed = b""
        r, self.w = os.pipe()
        self.out = os.fdopen(r, "rb")

    def say(self, text):
        os.write(self.w, text.encode())

    def hang_up(self):
        if self.w is not None:
            os.close(self.w)
            self.w = None

    def write(self, data):
        self.typed += data
        while b"\r" in self.typed:
            line, self.typed = self.typed.split(b"\r", 1)
            if self.echo:
                self.say(line.decode() + "\r\n")
            self.say(self.reply(self, line.decode()))

    def flush(self):
        pass


def shell(answers):
    """A reply function: getty, then a shell answering commands from
    answers {command: (status, output)}."""
    def reply(guest, line):
        if line == "root":
            return "\r\n" + PROMPT
        if line.startswith("stty -echo"):
            guest.echo = False
            return ""
        cmd, _, tag = line.partition('; echo "')
        code, out = dict(answers, true=(0, "")).get(cmd, (127, "sh: %s: not found\n" % cmd))
        return out.replace("\n", "\r\n") + tag.replace('$?"', "%d\r\n" % code)
    return reply


def close_at_end(test, guest, console):
    def close():
        guest.hang_up()
        with console.cond:
            console.cond.wait_for(lambda: console.closed, 5)
        console.log.close()
        guest.out.close()
    test.addCleanup(close)


class ConsoleTest(unittest.TestCase):
    def console(self, guest):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        c = board.Console(guest, guest.out, os.path.join(tmp.name, "console.log"))
        close_at_end(self, guest, c)
        return c

    def test_login_then_commands_give_their_own_output_and_status(self):
        g = Guest(shell({"cat /var/run/cloud-agent.pid": (0, "130\n"),
                         "pidof cloud-agent": (1, ""),
                         "/etc/init.d/S90cloud-agent stop": (1, "Stopping cloud-agent: FAIL\n")}))
        c = self.console(g)
        g.say("Booting\r\nVirtual camera\r\n\r\ncamera login: ")
        c.login(timeout=5)
        # Quieted: the typed command is not echoed into what it printed.
        self.assertEqual(c.run("cat /var/run/cloud-agent.pid", 5), (0, "130\n"))
        self.assertEqual(c.run("pidof cloud-agent", 5), (1, ""))
        self.assertEqual(c.run("reboot-now", 5), (127, "sh: reboot-now: not found\n"))
        self.assertEqual(c.must("cat /var/run/cloud-agent.pid", 5), "130\n")
        with self.assertRaisesRegex(RuntimeError, r"S90cloud-agent stop' failed \(1\): "
                                                  r"Stopping cloud-agent: FAIL$"):
            c.must("/etc/init.d/S90cloud-agent stop", 5)
        with open(c.log.name, "rb") as f:
            self.assertTrue(f.read().startswith(b"Booting\r\nVirtual camera"))

    def test_a_guest_that_ends_silent_or_saying_something_else_fails_at_once(self):
        for said in ("", "Kernel panic - not syncing: VFS: Unable to mount root fs\r\n"):
            with self.subTest(said=said):
                g = Guest(shell({}))
                c = self.console(g)
                g.say(said)
                g.hang_up()
                # On a clock that stands still only the closed line ends the wait.
                with self.assertRaises(RuntimeError) as e, \
                        mock.patch.object(board, "time", types.SimpleNamespace(monotonic=lambda: 0.0)):
                    c.login(timeout=1)
                self.assertIn("camera login", str(e.exception))
                self.assertIn(said.strip()[-40:], str(e.exception))


class LanTest(unittest.TestCase):
    def test_prune_up_and_a_failed_up_still_taken_down(self):
        ran, deleted = [], []

        def run(*cmd):
            ran.append(cmd)
            out = b""
            if cmd == ("ip", "netns", "list"):
                out = (b"cvmlan-99999999 (id: 0)\ncvmlan-%d\ncvmlan-1x\nother\n" % os.getpid())
            failed = "tuntap" in cmd
            return subprocess.CompletedProcess(cmd, 1 if failed else 0,
                                               b"ioctl(TUNSETIFF): Operation not permitted\n"
                                               if failed else out)
        lan = board.Lan()
        with mock.patch.object(harness, "_run", run), \
                mock.patch.object(harness, "_ok", lambda *cmd: deleted.append(cmd) or True):
            with self.assertRaisesRegex(RuntimeError, "tuntap add dev %s mode tap: ioctl" % TAP):
                lan.up()
            # Only the namespace of a process that is gone is pruned.
            self.assertEqual(deleted, [("ip", "netns", "del", "cvmlan-99999999")])
            self.assertIn(("ip", "netns", "add", lan.ns), ran)
            lan.down()
            lan.down()
        self.assertEqual(deleted[1:], [("ip", "netns", "del", lan.ns)])
        self.assertEqual(lan.wrap(["true"]), ["ip", "netns", "exec", lan.ns, "true"])


class FakeConsole:
    def __init__(self, answers):
        self.answers = answers

    def run(self, cmd, timeout=30):
        return self.answers[cmd]

    def must(self, cmd, timeout=30):
        code, out = self.answers[cmd]
        if code:
            raise RuntimeError(cmd)
        return out


class BoardTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name
        self.b = board.Board(os.path.join(self.tmp, "image"), board.Lan(),
                             os.path.join(self.tmp, "work"))

    def test_qemu_command_line_joins_what_it_names(self):
        self.b.journal = os.path.join(self.tmp, "agent", "sdk-journal.txt")
        cmd = self.b.command()
        self.assertEqual(cmd[:5], ["ip", "netns", "exec", self.b.lan.ns, "qemu-system-arm"])
        opts = {}
        for k, v in zip(cmd, cmd[1:]):
            if k.startswith("-"):
                opts.setdefault(k, []).append(v)
        self.assertEqual(opts["-kernel"], [os.path.join(self.tmp, "image", "vmlinuz")])
        self.assertEqual(opts["-initrd"], [os.path.join(self.tmp, "image", "initramfs.cpio.gz")])
        self.assertEqual(opts["-append"], [KERNEL_ARGS])
        # The monitor stays off the line the console is read from.
        self.assertEqual((opts["-serial"], opts["-monitor"]), (["stdio"], ["none"]))
        # Every device's backend is declared, and the files are the board's.
        ids = {v.split(",")[1]: v for v in opts["-chardev"] + opts["-netdev"]}
        for dev in opts["-device"]:
            for ref in ("chardev=", "netdev="):
                if ref in dev:
                    self.assertIn("id=" + dev.split(ref)[1].split(",")[0], ids, dev)
        self.assertIn("mac=%s" % DEVICE_MAC, " ".join(opts["-device"]))
        self.assertIn("ifname=%s," % TAP, ids["id=lan"])
        self.assertTrue(ids["id=journal"].endswith("path=" + self.b.journal))
        self.assertEqual(ids["id=alarm"].split("path=")[1] + ".in", self.b.alarm_fifo)

    def test_start_makes_fifos_and_an_empty_journal_and_stop_escalates(self):
        for name in ("alarm.in", "sdk-journal.txt"):
            with open(os.path.join(self.tmp, "work", name), "w") as f:
                f.write("left from the last run\n")
        g = Guest(shell({}))
        proc = mock.Mock(stdin=g, stdout=g.out)
        proc.poll.return_value = None
        proc.wait.side_effect = [subprocess.TimeoutExpired("qemu", 5), 0]
        with mock.patch.object(subprocess, "Popen", return_value=proc) as popen:
            self.b.start()
        close_at_end(self, g, self.b.console)
        self.assertEqual(popen.call_args[0][0], self.b.command())
        self.assertEqual(os.path.getsize(self.b.journal), 0)
        for end in ("in", "out"):
            self.assertTrue(stat.S_ISFIFO(os.stat(self.b.alarm + "." + end).st_mode))
        # A writer such as the cloud can open the alarm FIFO without qemu.
        os.close(os.open(self.b.alarm_fifo, os.O_WRONLY | os.O_NONBLOCK))
        g.say("camera login: ")
        self.b.console.expect("login: ", 5)
        kept = list(self.b._keep)
        self.b.stop()
        self.assertEqual([c[0] for c in proc.method_calls], ["poll", "terminate", "wait", "kill", "wait"])
        for fd in kept:
            self.assertRaises(OSError, os.fstat, fd)

    def test_agent_pid_status_and_cpu_ticks_read_from_proc(self):
        stat_line = "130 (cloud) agent) S 1 130 130 0 -1 4194560 98 0 0 0 250 75 0 0 20 0 1 0 1500\n"
        self.b.console = FakeConsole({
            "cat /var/run/cloud-agent.pid 2>/dev/null": (0, "130\n"),
            "cat /proc/130/status": (0, "Name:\tcloud-agent\nUid:\t1000\t1000\t1000\t1000\n"
                                        "VmHWM:\t    2212 kB\nVmRSS:\t    2100 kB\nThreads:\t3\n"),
            "cat /proc/130/stat": (0, stat_line)})
        self.assertEqual(self.b.agent_pid(), 130)
        self.assertEqual(self.b.proc_status(130), {"Uid": "1000\t1000\t1000\t1000",
                                                   "VmRSS": "2100 kB", "VmHWM": "2212 kB"})
        self.assertEqual(self.b.cpu_ticks(130), 325)
        for answer in ((1, "130\n"), (0, "\n"), (0, "cat: can't open\n")):
            self.b.console.answers["cat /var/run/cloud-agent.pid 2>/dev/null"] = answer
            self.assertIsNone(self.b.agent_pid(), answer)


if __name__ == "__main__":
    unittest.main()
