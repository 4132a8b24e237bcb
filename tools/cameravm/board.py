"""The board and its LAN: the namespace with the tap device, the serial
console, and qemu-system-arm booting the image."""
import os
import re
import subprocess
import threading
import time

from cloudsim import harness
from .image import DEVICE_MAC, KERNEL_ARGS, LAN_ADDR, PROMPT, TAP


# ------------------------------------------------------------------ LAN

class Lan:
    """A namespace holding only loopback and the tap device the board's
    network card is connected to."""

    def __init__(self):
        self.ns = "cvmlan-%d" % os.getpid()
        self.is_up = False

    @staticmethod
    def prune():
        r = harness._run("ip", "netns", "list")
        for line in r.stdout.decode(errors="replace").splitlines():
            m = re.match(r"(cvmlan-(\d+))\b", line)
            if m and not os.path.exists("/proc/%s" % m.group(2)):
                harness._ok("ip", "netns", "del", m.group(1))

    def _must(self, *cmd):
        r = harness._run(*cmd)
        if r.returncode != 0:
            raise RuntimeError("%s: %s" % (" ".join(cmd), r.stdout.decode(errors="replace").strip()))

    def up(self):
        self.prune()
        self.is_up = True
        self._must("ip", "netns", "add", self.ns)
        self._must("ip", "-n", self.ns, "link", "set", "lo", "up")
        self._must("ip", "-n", self.ns, "tuntap", "add", "dev", TAP, "mode", "tap")
        self._must("ip", "-n", self.ns, "addr", "add", LAN_ADDR + "/24", "dev", TAP)
        self._must("ip", "-n", self.ns, "link", "set", TAP, "up")

    def down(self):
        if self.is_up:
            self.is_up = False
            harness._ok("ip", "netns", "del", self.ns)

    # What harness.Capture needs of a network.
    mode = "netns"

    def wrap(self, cmd):
        return ["ip", "netns", "exec", self.ns] + list(cmd)


# ---------------------------------------------------------------- board

class Console:
    """The board's serial console: everything it prints is kept (and logged);
    commands are typed at a root shell, their end marked by an echo."""

    def __init__(self, stream_in, stream_out, log_path):
        self.inp = stream_in
        self.buf = bytearray()
        self.cond = threading.Condition()
        self.log = open(log_path, "wb")
        self.count = 0
        t = threading.Thread(target=self._read, args=(stream_out,), daemon=True)
        t.start()

    def _read(self, stream):
        while True:
            data = os.read(stream.fileno(), 4096)
            with self.cond:
                if not data:
                    self.closed = True
                    self.cond.notify_all()
                    return
                self.buf.extend(data)
                self.log.write(data)
                self.log.flush()
                self.cond.notify_all()

    closed = False

    def mark(self):
        with self.cond:
            return len(self.buf)

    def expect(self, pattern, timeout, start=0):
        rx = re.compile(pattern.encode() if isinstance(pattern, str) else pattern)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                m = rx.search(self.buf, start)
                if m:
                    return m
                left = deadline - time.monotonic()
                if left <= 0 or self.closed:
                    tail = self.buf[-300:].decode(errors="replace")
                    raise RuntimeError("console: no %r within %.0f s; it last said: %r"
                                       % (rx.pattern, timeout, tail))
                self.cond.wait(min(left, 0.5))

    def send(self, text):
        self.inp.write(text.encode())
        self.inp.flush()

    def login(self, timeout=120, start=0):
        """Logs in as root at the getty prompt and quiets the shell: no echo,
        no prompt, so that a command's output is all that follows it."""
        self.expect(r"camera login: ", timeout, start)
        self.send("root\r")
        m = self.expect(re.escape(PROMPT), 20, start)
        self.send("stty -echo; PS1=''\r")
        self.run("true", 10, m.end())

    def run(self, cmd, timeout=30, start=None):
        """(exit status, output) of a shell command."""
        self.count += 1
        tag = "@@RC%d=" % self.count
        begin = self.mark() if start is None else start
        self.send("%s; echo \"%s$?\"\r" % (cmd, tag))
        m = self.expect(re.escape(tag) + r"(\d+)\r?\n", timeout, begin)
        out = self.buf[begin:m.start()].decode(errors="replace").replace("\r", "")
        return int(m.group(1)), out

    def must(self, cmd, timeout=30):
        code, out = self.run(cmd, timeout)
        if code != 0:
            raise RuntimeError("on the board, '%s' failed (%d): %s" % (cmd, code, out.strip()))
        return out


class Board:
    """qemu-system-arm running the image on the LAN."""

    def __init__(self, image, lan, work, interactive=False):
        self.image = image
        self.lan = lan
        self.work = work
        self.interactive = interactive
        self.proc = None
        self.console = None
        self.powered_on = None
        os.makedirs(work, exist_ok=True)
        self.journal = os.path.join(work, "sdk-journal.txt")
        self.alarm = os.path.join(work, "alarm")
        self._keep = []

    def command(self):
        serial = ["-serial", "mon:stdio"] if self.interactive else ["-serial", "stdio",
                                                                    "-monitor", "none"]
        return self.lan.wrap([
            "qemu-system-arm", "-M", "virt", "-cpu", "cortex-a7", "-smp", "1", "-m", "128",
            "-nodefaults", "-no-user-config", "-display", "none"] + serial + [
            "-kernel", os.path.join(self.image, "vmlinuz"),
            "-initrd", os.path.join(self.image, "initramfs.cpio.gz"),
            "-append", KERNEL_ARGS,
            "-netdev", "tap,id=lan,ifname=%s,script=no,downscript=no" % TAP,
            "-device", "virtio-net-device,netdev=lan,mac=%s" % DEVICE_MAC,
            "-device", "virtio-serial-device",
            "-chardev", "file,id=journal,path=%s" % self.journal,
            "-device", "virtserialport,chardev=journal,name=sdk-journal",
            "-chardev", "pipe,id=alarm,path=%s" % self.alarm,
            "-device", "virtserialport,chardev=alarm,name=sdk-alarm"])

    def _fifos(self):
        # qemu opens alarm.in for reading and alarm.out for writing; holding
        # both open here (O_RDWR never blocks on a FIFO) lets those opens
        # return, and keeps alarm.in from reaching end of file whenever a
        # writer such as the cloud closes it.
        for end in ("in", "out"):
            path = "%s.%s" % (self.alarm, end)
            if os.path.exists(path):
                os.unlink(path)
            os.mkfifo(path, 0o600)
            self._keep.append(os.open(path, os.O_RDWR | os.O_NONBLOCK))

    @property
    def alarm_fifo(self):
        return self.alarm + ".in"

    def start(self):
        self._fifos()
        open(self.journal, "wb").close()
        self.powered_on = time.monotonic()
        if self.interactive:
            self.proc = subprocess.Popen(self.command())
            return
        self.proc = subprocess.Popen(self.command(), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     start_new_session=True, preexec_fn=harness._die_with_parent)
        self.console = Console(self.proc.stdin, self.proc.stdout,
                               os.path.join(self.work, "console.log"))

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for fd in self._keep:
            os.close(fd)
        self._keep = []

    def agent_pid(self):
        code, out = self.console.run("cat /var/run/cloud-agent.pid 2>/dev/null")
        return int(out.strip()) if code == 0 and out.strip().isdigit() else None

    def proc_status(self, pid, keys=("Uid", "VmRSS", "VmHWM")):
        out = self.console.must("cat /proc/%d/status" % pid)
        return {k: v.strip() for k, v in (ln.split(":", 1) for ln in out.splitlines() if ":" in ln)
                if k in keys}

    def cpu_ticks(self, pid):
        """utime+stime of the process in clock ticks (100 a second)."""
        out = self.console.must("cat /proc/%d/stat" % pid)
        fields = out.rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])
