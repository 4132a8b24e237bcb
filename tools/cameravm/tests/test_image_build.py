"""What goes into the virtual camera's initramfs, and the image folder
cached under the hash of its contents; the toolchain's strip and readelf
stand in as fakes."""
import contextlib
import gzip
import io
import json
import os
import stat
import subprocess
import tempfile
import types
import unittest
from unittest import mock

from cameravm import image
from cameravm.tests.test_camera_vm import read_newc


class AssembleTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name
        self.stripped = []

    def put(self, name, data):
        path = os.path.join(self.tmp, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def strip(self, cmd, check):
        self.assertEqual(cmd[:3], ["arm-strip", "--strip-unneeded", "-o"])
        self.stripped.append(cmd[4])
        with open(cmd[4], "rb") as f, open(cmd[3], "wb") as out:
            out.write(b"stripped " + f.read())

    def test_initramfs_holds_firmware_config_and_libraries_once(self):
        loader, libc = self.put("ld.so", b"LOADER"), self.put("libc.so", b"LIBC")
        o = types.SimpleNamespace(
            busybox=self.put("busybox", b"BUSYBOX"), applets=["bin/busybox", "bin/sh", "sbin/getty"],
            modules={m: self.put(m + ".ko", m.encode()) for m in image.MODULES},
            agent=self.put("cloud-agent", b"AGENT"), netlib=self.put("libNetLib.so", b"SDK"),
            lib_dirs=[self.tmp], strip="arm-strip", cache=self.tmp)
        # The loader is needed by two names: stored once, under the first.
        libs = {"/lib/ld-uClibc.so.1": loader, "/lib/ld-uClibc.so.0": loader, "/lib/libc.so.0": libc}
        with mock.patch.object(image, "needed_libraries", return_value=libs) as needed, \
                mock.patch.object(subprocess, "run", self.strip):
            cpio, sizes = image.assemble(o)
        needed.assert_called_once_with([o.agent, o.netlib], o.lib_dirs)
        e = {x[0]: x for x in read_newc(cpio)}
        self.assertEqual(e["lib/ld-uClibc.so.0"][6], b"stripped LOADER")
        self.assertEqual(e["lib/ld-uClibc.so.1"][1:2] + e["lib/ld-uClibc.so.1"][6:],
                         (stat.S_IFLNK | 0o777, b"/lib/ld-uClibc.so.0"))
        for path, data in (("usr/bin/cloud-agent", b"stripped AGENT"),
                           ("usr/lib/libNetLib.so", b"stripped SDK"), ("bin/busybox", b"BUSYBOX")):
            self.assertEqual((e[path][1], e[path][6]), (stat.S_IFREG | 0o755, data), path)
        self.assertEqual(sorted(self.stripped), sorted([loader, libc, o.agent, o.netlib]))
        self.assertEqual(sizes, {"/lib/ld-uClibc.so.0": 15, "/lib/libc.so.0": 13,
                                 "/usr/bin/cloud-agent": 14, "/usr/lib/libNetLib.so": 12})
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "stripped.tmp")))
        for applet in ("bin/sh", "sbin/getty", "init"):
            self.assertEqual(e[applet][6], b"/bin/busybox", applet)
        for m in image.MODULES:
            self.assertEqual(e["lib/modules/%s.ko" % m][6], m.encode())
        # Secrets readable by root, or by the agent's group alone.
        self.assertEqual(e["etc/shadow"][1], stat.S_IFREG | 0o600)
        conf = e[image.CONFIG_FILE.strip("/")]
        self.assertEqual(conf[1:4], (stat.S_IFREG | 0o640, 0, image.AGENT_UID))
        self.assertIn(image.SIM_PASSWORD.encode(), conf[6])
        init = os.path.join(image.SRC_DIR, "contrib/buildroot/package/cloud-agent/S90cloud-agent")
        with open(init, "rb") as f:
            self.assertEqual(e["etc/init.d/S90cloud-agent"][6], f.read())
        for name in e:
            if name.startswith("etc/init.d/"):
                self.assertTrue(e[name][1] & 0o100, name)


class BuildImageTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.cache = os.path.join(tmp.name, "cache")
        os.makedirs(self.cache)
        self.kernel = os.path.join(tmp.name, "vmlinuz-6.1.0-armmp")
        self.set_kernel(b"KERNEL 1")
        self.cpio = b"070701 the archive"
        patch = mock.patch.object(image, "assemble", lambda o: (self.cpio, {"/usr/bin/cloud-agent": 9}))
        patch.start()
        self.addCleanup(patch.stop)

    def set_kernel(self, data):
        with open(self.kernel, "wb") as f:
            f.write(data)

    def build(self, preset):
        o = types.SimpleNamespace(preset=preset, cache=self.cache, kernel=self.kernel)
        with contextlib.redirect_stdout(io.StringIO()) as out:
            path = image.build_image(o)
        self.assertEqual(out.getvalue(), path + "\n")
        return path

    def test_folder_by_content_reused_then_replaced_for_its_preset_only(self):
        other = os.path.join(self.cache, "image-arm-uclibc-0123456789abcdef")
        os.makedirs(other)
        os.makedirs(os.path.join(self.cache, "image-arm-0000000000000000.tmp"))
        first = self.build("arm")
        self.assertRegex(os.path.basename(first), r"^image-arm-[0-9a-f]{16}$")
        with open(os.path.join(first, "vmlinuz"), "rb") as f:
            self.assertEqual(f.read(), b"KERNEL 1")
        with open(os.path.join(first, "initramfs.cpio.gz"), "rb") as f:
            gz = f.read()
        self.assertEqual(gzip.decompress(gz), self.cpio)
        self.assertEqual(gz[4:8], b"\0\0\0\0")  # no build time in the header
        with open(os.path.join(first, "manifest.json")) as f:
            manifest = json.load(f)
        self.assertEqual((manifest["preset"], manifest["kernel"], manifest["initramfs_bytes"],
                          manifest["agent_bytes"]),
                         ("arm", "vmlinuz-6.1.0-armmp", len(self.cpio), {"/usr/bin/cloud-agent": 9}))
        # The same inputs: the folder as it is, not written again.
        os.unlink(os.path.join(first, "vmlinuz"))
        self.assertEqual(self.build("arm"), first)
        self.assertFalse(os.path.exists(os.path.join(first, "vmlinuz")))
        # A new kernel: a new folder; the old one of this preset goes, the
        # other preset's image and nothing else.
        self.set_kernel(b"KERNEL 2")
        second = self.build("arm")
        self.assertNotEqual(second, first)
        self.assertEqual(sorted(os.listdir(self.cache)),
                         sorted([os.path.basename(second), os.path.basename(other)]))
        # Same archive, same compressed bytes.
        with open(os.path.join(second, "initramfs.cpio.gz"), "rb") as f:
            self.assertEqual(f.read(), gz)


if __name__ == "__main__":
    unittest.main()
