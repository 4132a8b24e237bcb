"""The virtual camera's image: the lab's constants, the initramfs written
as a cpio archive with fixed owners and times, the libraries the agent
needs, and the image folder named by the hash of its contents."""
import gzip
import hashlib
import json
import os
import re
import shutil
import stat
import subprocess

from cloudsim import harness


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
        # Only this preset's: "image-arm-" also begins arm-uclibc's folders.
        mine = re.compile(r"image-%s-[0-9a-f]+(\.tmp)?$" % re.escape(o.preset))
        for old in os.listdir(o.cache):
            if mine.match(old):
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
