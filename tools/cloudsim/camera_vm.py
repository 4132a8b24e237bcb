"""The virtual camera: an ARM board emulated by qemu-system-arm, booting
Debian's armhf kernel and a busybox root file system that holds the agent as
firmware (/usr/bin/cloud-agent started by /etc/init.d/S90cloud-agent), the
simulated camera SDK as /usr/lib/libNetLib.so and the C library's runtime.

Run through tools/camera-vm, which installs what is missing and builds the
agent first:
  image    assemble the image (cached by the hash of its contents)
  shell    boot it with its console on this terminal
  demo     the demo against it (tools/demo --camera-vm)
  lifecycle  stop, start, kill -9 and reboot, checked at the cloud

The board sits on a LAN of its own: a network namespace holding a tap
device (192.0.2.2/24, the cloud's side) that qemu connects to the board's
virtio network card (eth0, MAC 02:00:00:00:00:01, 192.0.2.1/24). Nothing
else is in that namespace, so nothing leaves the machine. Two virtio serial
ports stand in for the test hooks of the simulated SDK: its call journal
arrives in a file on this machine, and alarm lines written into a FIFO here
reach the SDK's alarm FIFO on the board.
"""
import argparse
import gzip
import hashlib
import json
import os
import queue
import re
import shutil
import signal
import stat
import subprocess
import sys
import threading
import time

from . import harness

DEVICE_MAC = "02:00:00:00:00:01"
BOARD_ADDR = "192.0.2.1"
LAN_ADDR = "192.0.2.2"
TAP = "cvm0"
KERNEL_ARGS = "console=ttyAMA0 quiet"
MODULES = ("virtio_mmio", "failover", "net_failover", "virtio_net", "virtio_console")
AGENT_USER, AGENT_UID = "cloud-agent", 1000
CONFIG_FILE = "/mnt/mtd/ipc/conf/config_user.ini"
SIM_USER, SIM_PASSWORD = "admin", "cam-secret"
PROMPT = "camera# "
SRC_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


# ----------------------------------------------------------------- image

ETC = {
    "etc/inittab": """\
::sysinit:/etc/init.d/rcS
ttyAMA0::respawn:/sbin/getty -L 0 ttyAMA0 vt100
::ctrlaltdel:/sbin/reboot
::shutdown:/etc/init.d/rcK
::restart:/sbin/init
""",
    "etc/init.d/rcS": """\
#!/bin/sh
# Board start: the kernel file systems, the virtio drivers, then every
# /etc/init.d/S??* in order, as Buildroot's rcS does.
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts
mount -t devpts devpts /dev/pts
hostname -F /etc/hostname
for m in %s; do
\tinsmod /lib/modules/$m.ko
done
for i in /etc/init.d/S??*; do
\t[ -x "$i" ] && "$i" start
done
""" % " ".join(MODULES),
    "etc/init.d/rcK": """\
#!/bin/sh
for i in $(ls -r /etc/init.d/S??*); do
\t[ -x "$i" ] && "$i" stop
done
""",
    "etc/init.d/S01syslogd": """\
#!/bin/sh
# System log in RAM only (a 64 KB ring, read with logread): nothing is
# written to flash.
case "$1" in
\tstart) printf 'Starting syslogd: '; syslogd -C64 && echo OK;;
\tstop) killall syslogd 2>/dev/null;;
esac
""",
    "etc/init.d/S10network": """\
#!/bin/sh
case "$1" in
\tstart)
\t\tip link set lo up
\t\tip addr add %s/24 dev eth0
\t\tip link set eth0 up
\t\tip route add default via %s
\t\techo "Network: eth0 %s/24";;
esac
""" % (BOARD_ADDR, LAN_ADDR, BOARD_ADDR),
    "etc/init.d/S50camera-lab": """\
#!/bin/sh
# The lab's hooks into the simulated camera SDK (not firmware): the virtio
# port "sdk-journal" receives the SDK's call journal, and lines arriving on
# "sdk-alarm" go into the SDK's alarm FIFO.
case "$1" in
\tstart)
\t\tfor p in /sys/class/virtio-ports/*; do
\t\t\t[ -r "$p/name" ] || continue
\t\t\tdev=/dev/$(basename "$p")
\t\t\tcase "$(cat "$p/name")" in
\t\t\t\tsdk-journal) chown %(user)s "$dev"; ln -sf "$dev" /dev/sdk-journal;;
\t\t\t\tsdk-alarm) ln -sf "$dev" /dev/sdk-alarm;;
\t\t\tesac
\t\tdone
\t\tmkdir -p /var/run/netlib-sim
\t\tchown %(user)s /var/run/netlib-sim
\t\tfifo=/var/run/netlib-sim/alarm.fifo
\t\t[ -p "$fifo" ] || mkfifo -m 0600 "$fifo"
\t\tchown %(user)s "$fifo"
\t\tif [ -e /dev/sdk-alarm ]; then
\t\t\t(while :; do cat /dev/sdk-alarm >"$fifo"; sleep 1; done) </dev/null >/dev/null 2>&1 &
\t\tfi;;
esac
""" % {"user": AGENT_USER},
    "etc/default/cloud-agent": """\
# The virtual camera's settings of /etc/init.d/S90cloud-agent.
CLOUD_AGENT_OUTPUT=syslog
CLOUD_AGENT_USER=%(user)s
# Read by the simulated camera SDK, which stands in for the vendor's.
export NETLIB_SIM_USER=%(simuser)s NETLIB_SIM_PASSWORD=%(simpw)s NETLIB_SIM_CAMERA_IP=%(ip)s
export NETLIB_SIM_MAIN_MEDIA=/usr/share/netlib-sim/testpattern_1280x720.h264
export NETLIB_SIM_SUB_MEDIA=/usr/share/netlib-sim/testpattern_640x360.h264
export NETLIB_SIM_SNAPSHOT=/usr/share/netlib-sim/snapshot.jpg
export NETLIB_SIM_ALARM_FIFO=/var/run/netlib-sim/alarm.fifo
if [ -e /dev/sdk-journal ]; then
\texport NETLIB_SIM_JOURNAL=/dev/sdk-journal
fi
""" % {"user": AGENT_USER, "simuser": SIM_USER, "simpw": SIM_PASSWORD, "ip": BOARD_ADDR},
    "etc/passwd": "root::0:0:root:/root:/bin/sh\n"
                  "%s:x:%d:%d:cloud agent:/:/bin/false\n" % (AGENT_USER, AGENT_UID, AGENT_UID),
    "etc/group": "root:x:0:\n%s:x:%d:\n" % (AGENT_USER, AGENT_UID),
    "etc/shadow": "root::0:0:99999:7:::\n%s:*:0:0:99999:7:::\n" % AGENT_USER,
    "etc/hostname": "camera\n",
    "etc/hosts": "127.0.0.1\tlocalhost\n%s\tdirectory1.camera.test\n" % LAN_ADDR,
    "etc/issue": "Virtual camera: cloud-agent on qemu-system-arm. Log in as root (no password).\n\n",
    "etc/profile": "export PS1='%s'\nexport PATH=/sbin:/usr/sbin:/bin:/usr/bin\n" % PROMPT,
    "etc/shells": "/bin/sh\n",
    "etc/nsswitch.conf": "hosts: files dns\n",
}


class Cpio:
    """A newc cpio archive, every entry owned as given and dated 0, so the
    same contents give the same bytes."""

    def __init__(self):
        self.entries = {}

    def add(self, path, mode, data=b"", uid=0, gid=0, rdev=(0, 0)):
        path = path.strip("/")
        parts = path.split("/")
        for i in range(1, len(parts)):
            d = "/".join(parts[:i])
            if d not in self.entries:
                self.entries[d] = (stat.S_IFDIR | 0o755, b"", 0, 0, (0, 0))
        self.entries[path] = (mode, data, uid, gid, rdev)

    def file(self, path, data, perm=0o644, uid=0, gid=0):
        self.add(path, stat.S_IFREG | perm, data, uid, gid)

    def dir(self, path, perm=0o755, uid=0, gid=0):
        self.add(path, stat.S_IFDIR | perm, b"", uid, gid)

    def link(self, path, target):
        self.add(path, stat.S_IFLNK | 0o777, target.encode())

    def node(self, path, perm, major, minor):
        self.add(path, stat.S_IFCHR | perm, b"", 0, 0, (major, minor))

    def bytes(self):
        out = bytearray()

        def entry(ino, name, mode, data, uid, gid, rdev, nlink):
            nb = name.encode() + b"\0"
            fields = (ino, mode, uid, gid, nlink, 0, len(data), 0, 0, rdev[0], rdev[1], len(nb), 0)
            out.extend(b"070701" + b"".join(b"%08X" % f for f in fields) + nb)
            out.extend(b"\0" * (-len(out) % 4))
            out.extend(data)
            out.extend(b"\0" * (-len(out) % 4))

        for ino, name in enumerate(sorted(self.entries), 1):
            mode, data, uid, gid, rdev = self.entries[name]
            entry(ino, name, mode, data, uid, gid, rdev, 2 if stat.S_ISDIR(mode) else 1)
        entry(0, "TRAILER!!!", 0, b"", 0, 0, (0, 0), 1)
        return bytes(out)


def _readelf(path, what):
    r = subprocess.run(["readelf", what, path], stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL, check=True)
    return r.stdout.decode(errors="replace")


def needed_libraries(binaries, lib_dirs):
    """{name on the board: file here} for the dynamic loader and every
    shared library the binaries need, recursively, found in lib_dirs."""
    found, todo = {}, list(binaries)
    while todo:
        path = todo.pop()
        interp = re.search(r"interpreter: (\S+?)\]", _readelf(path, "-l"))
        names = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", _readelf(path, "-d"))
        wanted = [(interp.group(1), os.path.basename(interp.group(1)))] if interp else []
        wanted += [("/lib/" + n, n) for n in names if n != "libNetLib.so"]
        for board, name in wanted:
            if board in found:
                continue
            here = next((os.path.join(d, name) for d in lib_dirs
                         if os.path.exists(os.path.join(d, name))), None)
            if here is None:
                raise RuntimeError("%s needs %s, found in none of %s" % (path, name, lib_dirs))
            found[board] = os.path.realpath(here)
            todo.append(found[board])
    return found


def assemble(o):
    """The initramfs as bytes, and what the agent alone costs on the board."""
    c = Cpio()
    for d in ("proc", "sys", "dev", "tmp", "root", "var/run", "mnt/mtd/ipc/conf", "etc/init.d",
              "usr/share/netlib-sim", "lib/modules"):
        c.dir(d)
    c.dir("tmp", 0o1777)
    c.node("dev/console", 0o600, 5, 1)
    c.node("dev/null", 0o666, 1, 3)
    with open(o.busybox, "rb") as f:
        c.file("bin/busybox", f.read(), 0o755)
    for applet in o.applets:
        if applet != "bin/busybox":
            c.link(applet, "/bin/busybox")
    c.link("init", "/bin/busybox")
    for name, text in ETC.items():
        c.file(name, text.encode(), 0o755 if "/init.d/" in name else 0o644)
    c.file("etc/shadow", ETC["etc/shadow"].encode(), 0o600)
    # The init script as the Buildroot package installs it, unchanged.
    with open(os.path.join(SRC_DIR, "contrib/buildroot/package/cloud-agent/S90cloud-agent"), "rb") as f:
        c.file("etc/init.d/S90cloud-agent", f.read(), 0o755)
    # The camera's configuration at its flash path, readable by the agent's
    # group only.
    ini = harness.CONFIG_INI.format(user=SIM_USER, password=SIM_PASSWORD).encode()
    c.file(CONFIG_FILE, ini, 0o640, 0, AGENT_UID)
    for m in MODULES:
        with open(o.modules[m], "rb") as f:
            c.file("lib/modules/%s.ko" % m, f.read())
    sizes, placed = {}, {}
    # Stripped, as a firmware build installs them; a file needed under two
    # names (the loader) is stored once, the other name a link.
    files = sorted(needed_libraries([o.agent, o.netlib], o.lib_dirs).items())
    files += [("/usr/bin/cloud-agent", o.agent), ("/usr/lib/libNetLib.so", o.netlib)]
    for board, here in files:
        if here in placed:
            c.link(board, placed[here])
            continue
        stripped = os.path.join(o.cache, "stripped.tmp")
        subprocess.run([o.strip, "--strip-unneeded", "-o", stripped, here], check=True)
        with open(stripped, "rb") as f:
            data = f.read()
        os.unlink(stripped)
        c.file(board, data, 0o755)
        placed[here] = board
        sizes[board] = len(data)
    media = os.path.join(SRC_DIR, "sim", "media")
    for name in ("testpattern_1280x720.h264", "testpattern_640x360.h264", "snapshot.jpg"):
        with open(os.path.join(media, name), "rb") as f:
            c.file("usr/share/netlib-sim/" + name, f.read())
    return c.bytes(), sizes


def build_image(o):
    """Writes the image into the cache folder named by its hash, unless it
    is there; prints and returns that folder."""
    cpio, sizes = assemble(o)
    with open(o.kernel, "rb") as f:
        kernel = f.read()
    h = hashlib.sha256(cpio + kernel + KERNEL_ARGS.encode()).hexdigest()[:16]
    image = os.path.join(o.cache, "image-%s-%s" % (o.preset, h))
    if not os.path.exists(os.path.join(image, "manifest.json")):
        for old in os.listdir(o.cache):
            if old.startswith("image-%s-" % o.preset):
                shutil.rmtree(os.path.join(o.cache, old), ignore_errors=True)
        tmp = image + ".tmp"
        shutil.rmtree(tmp, ignore_errors=True)
        os.makedirs(tmp)
        shutil.copyfile(o.kernel, os.path.join(tmp, "vmlinuz"))
        with open(os.path.join(tmp, "initramfs.cpio.gz"), "wb") as f:
            f.write(gzip.compress(cpio, 9, mtime=0))
        manifest = {"preset": o.preset, "kernel": os.path.basename(o.kernel),
                    "kernel_args": KERNEL_ARGS, "initramfs_bytes": len(cpio),
                    "agent_bytes": sizes}
        with open(os.path.join(tmp, "manifest.json"), "w") as f:
            json.dump(manifest, f, indent=1)
        os.rename(tmp, image)
    print(image)
    return image


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


def watch_demo(board, cloud):
    """Logs in on the console, then takes the board's figures as the
    cloud's milestones pass."""
    c = board.console
    fig = {}
    c.login()
    fig["login_prompt_s"] = round(time.monotonic() - board.powered_on, 1)
    pid = board.agent_pid()
    if pid is None:
        raise RuntimeError("the agent is not running on the board (see %s)"
                           % os.path.join(board.work, "console.log"))
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
        pid = board.agent_pid()
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


# ------------------------------------------------------------------ main

def main(argv=None):
    p = argparse.ArgumentParser(prog="tools/camera-vm", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="cmd", required=True)
    img = sub.add_parser("image")
    img.add_argument("--preset", required=True)
    img.add_argument("--cache", required=True)
    img.add_argument("--kernel", required=True)
    img.add_argument("--modules-dir", required=True)
    img.add_argument("--busybox", required=True)
    img.add_argument("--applets", required=True, help="file: busybox --list-full")
    img.add_argument("--agent", required=True)
    img.add_argument("--netlib", required=True)
    img.add_argument("--strip", required=True)
    img.add_argument("--lib-dir", action="append", dest="lib_dirs", required=True)
    for name in ("shell", "lifecycle"):
        s = sub.add_parser(name)
        s.add_argument("--image", required=True)
        s.add_argument("--out", required=True)
    o = p.parse_args(argv)
    if o.cmd == "image":
        with open(o.applets) as f:
            o.applets = [x.strip() for x in f if x.strip()]
        o.modules = {}
        for root, _dirs, files in os.walk(o.modules_dir):
            for name in files:
                if name.endswith(".ko") and name[:-3] in MODULES:
                    o.modules[name[:-3]] = os.path.join(root, name)
        missing = [m for m in MODULES if m not in o.modules]
        if missing:
            print("camera-vm: modules %s not in %s" % (missing, o.modules_dir), file=sys.stderr)
            return 1
        os.makedirs(o.cache, exist_ok=True)
        build_image(o)
        return 0
    os.makedirs(o.out, exist_ok=True)
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))
    if o.cmd == "lifecycle":
        try:
            return run_lifecycle(o.image, o.out)
        except KeyboardInterrupt:
            return 130
    lan = Lan()
    board = Board(o.image, lan, o.out, interactive=True)
    try:
        lan.up()
        print("camera-vm: booting; log in as root (no password). Leave with Ctrl-A X. "
              "The board is %s on a LAN of its own (namespace %s, this side %s)."
              % (BOARD_ADDR, lan.ns, LAN_ADDR))
        sys.stdout.flush()
        board.start()
        board.proc.wait()
    except KeyboardInterrupt:
        pass
    finally:
        board.stop()
        lan.down()
    return 0


if __name__ == "__main__":
    sys.exit(main())
