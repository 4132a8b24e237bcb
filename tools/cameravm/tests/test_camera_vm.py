"""The virtual camera's pure parts: the initramfs writer, the walk of the
libraries the agent needs, and the status block read back from logread."""
import os
import stat
import tempfile
import unittest

from cameravm import image, runs


def read_newc(data):
    """[(name, mode, uid, gid, nlink, (rmajor, rminor), body)] of a newc
    archive, checking its magic, alignment and trailer."""
    out, pos = [], 0
    while True:
        assert data[pos:pos + 6] == b"070701", (pos, data[pos:pos + 6])
        f = [int(data[pos + 6 + 8 * i:pos + 14 + 8 * i], 16) for i in range(13)]
        namesize, filesize = f[11], f[6]
        name_at = pos + 110
        name = data[name_at:name_at + namesize]
        assert name.endswith(b"\0")
        body_at = name_at + namesize + (-(name_at + namesize) % 4)
        assert data[name_at + namesize:body_at] == b"\0" * (body_at - name_at - namesize)
        body = data[body_at:body_at + filesize]
        pos = body_at + filesize + (-(body_at + filesize) % 4)
        name = name[:-1].decode()
        if name == "TRAILER!!!":
            assert pos == len(data), "bytes after the trailer"
            return out
        out.append((name, f[1], f[2], f[3], f[4], (f[9], f[10]), body))


class CpioTest(unittest.TestCase):
    def build(self, order):
        c = image.Cpio()
        steps = {
            "file": lambda: c.file("etc/init.d/rcS", b"#!/bin/sh\n", 0o755),
            "secret": lambda: c.file("mnt/conf/config.ini", b"x" * 5, 0o640, 0, 1000),
            "link": lambda: c.link("bin/sh", "/bin/busybox"),
            "node": lambda: c.node("dev/console", 0o600, 5, 1),
            "tmp": lambda: c.dir("tmp", 0o1777),
        }
        for name in order:
            steps[name]()
        return c.bytes()

    def test_entries_fields_padding_and_trailer(self):
        entries = {e[0]: e for e in read_newc(self.build(["file", "secret", "link", "node", "tmp"]))}
        # Parent folders come by themselves, 0755 root; sorted, so each
        # folder precedes what it holds.
        self.assertEqual(sorted(entries), list(entries))
        for d in ("etc", "etc/init.d", "mnt", "mnt/conf", "bin", "dev"):
            self.assertEqual(entries[d][1:5], (stat.S_IFDIR | 0o755, 0, 0, 2), d)
        self.assertEqual(entries["etc/init.d/rcS"][1], stat.S_IFREG | 0o755)
        self.assertEqual(entries["etc/init.d/rcS"][6], b"#!/bin/sh\n")
        self.assertEqual(entries["mnt/conf/config.ini"][1:4], (stat.S_IFREG | 0o640, 0, 1000))
        self.assertEqual(entries["bin/sh"][1], stat.S_IFLNK | 0o777)
        self.assertEqual(entries["bin/sh"][6], b"/bin/busybox")
        self.assertEqual(entries["dev/console"][1], stat.S_IFCHR | 0o600)
        self.assertEqual(entries["dev/console"][5], (5, 1))
        self.assertEqual(entries["tmp"][1], stat.S_IFDIR | 0o1777)

    def test_same_contents_same_bytes_whatever_the_order(self):
        a = self.build(["file", "secret", "link", "node", "tmp"])
        self.assertEqual(a, self.build(["tmp", "node", "link", "secret", "file"]))
        # A folder given its mode after a file inside it made it keeps it.
        c = image.Cpio()
        c.file("var/run/x", b"")
        c.dir("var/run", 0o700)
        self.assertEqual({e[0]: e[1] for e in read_newc(c.bytes())}["var/run"],
                         stat.S_IFDIR | 0o700)


class NeededLibrariesTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.dirs = [os.path.join(self.tmp.name, d) for d in ("sysroot-lib", "gcc-lib")]
        for d in self.dirs:
            os.makedirs(d)
        self.asked = []
        real = image._readelf
        self.addCleanup(setattr, image, "_readelf", real)
        image._readelf = self.readelf
        self.elf = {}

    def put(self, d, name, needs=(), interp=None, link_to=None):
        path = os.path.join(self.dirs[d], name)
        if link_to:
            os.symlink(link_to, path)
        else:
            open(path, "w").close()
            self.elf[path] = (needs, interp)
        return path

    def readelf(self, path, what):
        self.asked.append((os.path.basename(path), what))
        needs, interp = self.elf[path]
        if what == "-l":
            return "      [Requesting program interpreter: %s]\n" % interp if interp else ""
        return "".join(" 0x00000001 (NEEDED)             Shared library: [%s]\n" % n
                       for n in needs)

    def test_walks_every_library_once_from_the_first_folder_that_has_it(self):
        loader = self.put(0, "ld-uClibc.so.0")
        libc = self.put(0, "libc.so.0")
        self.put(0, "libstdc++.so.6.0.28", ("libc.so.0", "libgcc_s.so.1"))
        self.put(0, "libstdc++.so.6", link_to="libstdc++.so.6.0.28")
        gcc = self.put(0, "libgcc_s.so.1", ("libc.so.0",))
        self.put(1, "libgcc_s.so.1", ("libc.so.0",))  # shadowed by the first folder
        agent = os.path.join(self.tmp.name, "cloud-agent")
        open(agent, "w").close()
        self.elf[agent] = (("libNetLib.so", "libstdc++.so.6", "libc.so.0"), "/lib/ld-uClibc.so.0")
        netlib = os.path.join(self.tmp.name, "libNetLib.so")
        open(netlib, "w").close()
        self.elf[netlib] = (("libc.so.0",), "/lib/ld-uClibc.so.0")

        found = image.needed_libraries([agent, netlib], self.dirs)
        self.assertEqual(found, {
            "/lib/ld-uClibc.so.0": loader,
            "/lib/libc.so.0": libc,
            # Stored by the name asked for, the file behind the link.
            "/lib/libstdc++.so.6": os.path.join(self.dirs[0], "libstdc++.so.6.0.28"),
            "/lib/libgcc_s.so.1": gcc,
        })
        # The SDK is the firmware's own, never taken from the toolchain;
        # each file is read once.
        self.assertNotIn("/lib/libNetLib.so", found)
        self.assertEqual(len(self.asked), len(set(self.asked)))

    def test_a_library_found_nowhere_is_named(self):
        agent = os.path.join(self.tmp.name, "cloud-agent")
        open(agent, "w").close()
        self.elf[agent] = (("libatomic.so.1",), None)
        with self.assertRaisesRegex(RuntimeError, "needs libatomic.so.1"):
            image.needed_libraries([agent], self.dirs)


class StatusBlockTest(unittest.TestCase):
    def line(self, pid, text, tag="cloud-agent"):
        return "Dec  8 03:27:35 camera user.notice %s[%d]: %s" % (tag, pid, text)

    def test_the_last_whole_block_among_other_lines(self):
        first = [self.line(115, "cloud-agent status"), self.line(115, "uptime: 10 s"),
                 self.line(115, "discovery: 0 answers, 0 probes unanswered")]
        last = [self.line(130, "cloud-agent status"), self.line(130, "uptime: 46 s"),
                self.line(130, "relay: up"), self.line(130, "discovery: 2 answers, 0 probes unanswered")]
        log = first + [self.line(7, "started", "su"), last[0], self.line(90, "noise", "syslogd")]
        log += last[1:] + [self.line(130, "relay link down")]
        # Lines of other programs between are left out, the agent's lines
        # after the block too.
        self.assertEqual(runs.last_status_block("\n".join(log)), last)

    def test_none_or_a_block_cut_short(self):
        self.assertEqual(runs.last_status_block(self.line(1, "relay link up")), [])
        self.assertEqual(runs.last_status_block(""), [])
        cut = [self.line(5, "cloud-agent status"), self.line(5, "uptime: 3 s")]
        self.assertEqual(runs.last_status_block("\n".join(cut)), cut)


if __name__ == "__main__":
    unittest.main()
