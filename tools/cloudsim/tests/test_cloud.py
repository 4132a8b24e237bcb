"""The cloud's servers over loopback, driven by a scripted client that
plays the agent's part (well or badly)."""
import asyncio
import struct
import tempfile
import unittest

from cloudsim import wire
from cloudsim.__main__ import parse_args
from cloudsim.cloud import BOUNDARY, Cloud, Link
from cloudsim.recorder import Recorder


class Client:
    def __init__(self, reader, writer):
        self.r, self.w = reader, writer
        self.frames = wire.FrameReader()

    @classmethod
    async def open(cls, port):
        return cls(*await asyncio.open_connection("127.0.0.1", port))

    def text(self, msg_type, params=None):
        self.w.write(wire.text_frame(wire.envelope(msg_type, params)))

    async def messages(self, count):
        got = []
        while len(got) < count:
            data = await asyncio.wait_for(self.r.read(65536), 2)
            if not data:
                break
            for body in self.frames.feed(data):
                got.append(wire.parse_text(body[1:-1])[0])
        return got

    async def close(self):
        self.w.close()
        await asyncio.sleep(0.05)


class CloudTest(unittest.TestCase):
    def run_cloud(self, script, *args):
        out = tempfile.mkdtemp(prefix="cloudsim-test-")
        o = parse_args(["--out", out, "--directory", "127.0.0.1:0", "--quiet"] + list(args))
        rec = Recorder(out, quiet=True)
        for name in ("directory", "login", "relay_login", "upload"):
            rec.expect(name, name)

        async def main():
            cloud = Cloud(o, rec)
            await cloud.start()
            try:
                await script(cloud, cloud.servers[3].sockets[0].getsockname()[1])
                await asyncio.sleep(0.1)
            finally:
                await cloud.stop()
        asyncio.run(main())
        return rec

    def test_directory_then_logic_login(self):
        seen = {}

        async def script(cloud, dir_port):
            d = await Client.open(dir_port)
            d.text(1, [("userName", "")])
            (answer,) = await d.messages(1)
            seen["answer"] = answer
            await d.close()
            port = int(answer.get("LogicServerPort"))
            lg = await Client.open(port)
            lg.text(1, [("devId", "02:00:00:00:00:01"), ("devType", "8"), ("devIndexs", "1")])
            lg.text(0)
            seen["logic"] = await lg.messages(4)
            await lg.close()

        rec = self.run_cloud(script, "--expect-devid", "02:00:00:00:00:01")
        self.assertEqual(rec.violations, [])
        self.assertEqual(seen["answer"].type, 1)
        self.assertEqual(seen["answer"].get("LogicServerIp"), b"127.0.0.1")
        types = [m.type for m in seen["logic"]]
        self.assertEqual(types, [1, 2, 3, 0])
        login = seen["logic"][0]
        self.assertEqual(login.get("status"), b"1")
        self.assertRegex(login.get("uploadUrl").decode(), r"^http://127\.0\.0\.1:\d+/upload$")
        lists = seen["logic"][2]
        self.assertEqual(lists.get("cameraIdList"), b"cam-0001")
        self.assertEqual(lists.get("cameraIndexList"), b"0")
        self.assertTrue(rec.reached("directory") and rec.reached("login"))

    def test_wrong_device_and_heartbeat_first_are_violations(self):
        async def script(cloud, dir_port):
            lg = await Client.open(cloud.logic_port)
            lg.text(0)
            lg.text(1, [("devId", "02:00:00:00:00:02"), ("devType", "8"), ("devIndexs", "1")])
            await lg.messages(1)
            await lg.close()

        rec = self.run_cloud(script, "--expect-devid", "02:00:00:00:00:01")
        whats = " | ".join(v["what"] for v in rec.violations)
        self.assertIn("heartbeat before the device login", whats)
        self.assertIn("not the first message", whats)
        self.assertIn("devId 02:00:00:00:00:02, expected 02:00:00:00:00:01", whats)

    def test_video_sequence_rules(self):
        async def script(cloud, dir_port):
            r = await Client.open(cloud.relay_port)
            r.text(1, [("SxtId", "cam-0001"), ("PWD", "473920")])
            await asyncio.sleep(0.05)
            cloud.forward_sent_at = cloud.rec.now()
            frames = [(1, True), (2, False), (3, False), (5, True), (7, False), (6, False),
                      (1, False)]
            for seq, key in frames:
                r.w.write(wire.frame(wire.video_body(b"\0\0\0\1" + bytes(20), seq, key, 640, 360)))
            await asyncio.sleep(0.2)
            await r.close()

        rec = self.run_cloud(script)
        v = rec.video
        self.assertEqual((v["frames"], v["key_frames"], v["sequence_gaps"]), (7, 2, 2))
        whats = [x["what"] for x in rec.violations]
        self.assertEqual(len(whats), 3, whats)
        self.assertIn("sequence jumps from 5 to 7 and the frame after the gap is not a key frame",
                      whats)
        self.assertIn("sequence goes back from 7 to 6", whats)
        self.assertIn("sequence went back to 1 (after 6) without a quality command", whats)
        self.assertEqual(v["stream_restarts"], 1)
        self.assertIsNotNone(v["first_frame_latency_ms"])

    def test_video_before_forwarding_is_a_violation(self):
        async def script(cloud, dir_port):
            r = await Client.open(cloud.relay_port)
            r.w.write(wire.frame(wire.video_body(b"x", 1, True, 640, 360)))
            r.text(1, [("SxtId", "cam-0001"), ("PWD", "473920")])
            await asyncio.sleep(0.1)
            await r.close()

        whats = [x["what"] for x in self.run_cloud(script).violations]
        self.assertTrue(any("before the relay login" in w for w in whats), whats)
        self.assertTrue(any("before forwarding was requested" in w for w in whats), whats)

    def test_heartbeat_spacing(self):
        out = tempfile.mkdtemp(prefix="cloudsim-test-")
        o = parse_args(["--out", out, "--quiet"])
        rec = Recorder(out, quiet=True)
        cloud = Cloud(o, rec)

        class Sink:
            def write(self, data):
                pass
        link = Link("logic", Sink())
        for at in (1.0, 11.2, 21.3, 25.0, 50.0):
            rec.now = lambda at=at: at
            cloud.heartbeat(link)
        cloud.video_file.close()
        self.assertEqual([v["what"] for v in rec.violations],
                         ["heartbeats 3.7 s apart, expected about 10 s",
                          "heartbeats 25.0 s apart, expected about 10 s"])

    def upload(self, content_length_delta, head_fix=lambda h: h):
        jpeg = b"\xff\xd8" + bytes(100) + b"\xff\xd9"
        body = (b"--" + BOUNDARY + b"\r\n"
                b'Content-Disposition: form-data;name="file";filename="cam-0001_12345.jpg"\r\n'
                b"Content-Type: text/plain\r\n\r\n" + jpeg + b"\r\n--" + BOUNDARY + b"--\r\n")
        answer = {}

        async def script(cloud, dir_port):
            r, w = await asyncio.open_connection("127.0.0.1", cloud.upload_port)
            head = (b"POST /upload HTTP/1.0\r\nAccept:*/*\r\n"
                    b"HOST: 127.0.0.1:%d\r\nUser-Agent: TovuHttpClient\r\n"
                    b"Content-Length: %d\r\nExpect: 100-continue\r\n"
                    b"Content-Type:multipart/form-data;boundary=%s\r\n\r\n"
                    % (cloud.upload_port, len(body) + content_length_delta, BOUNDARY))
            w.write(head_fix(head) + body)
            await w.drain()
            w.write_eof()
            answer["status"] = await asyncio.wait_for(r.read(100), 3)
            w.close()

        rec = self.run_cloud(script)
        return rec, answer

    def test_upload_accepted(self):
        rec, answer = self.upload(0)
        self.assertEqual(rec.violations, [])
        self.assertTrue(answer["status"].startswith(b"HTTP/1.0 200"))
        self.assertEqual(rec.uploads[0]["filename"], "cam-0001_12345.jpg")
        self.assertEqual(rec.uploads[0]["file_bytes"], 104)
        self.assertTrue(rec.reached("upload"))

    def test_upload_faults(self):
        rec, _ = self.upload(-1)
        self.assertIn("Content-Length", rec.violations[0]["what"])
        rec, _ = self.upload(0, lambda h: h.replace(b"Accept:*/*", b"Accept: */*"))
        self.assertIn("request head differs", rec.violations[0]["what"])
        self.assertIn("line 2", rec.violations[0]["what"])


if __name__ == "__main__":
    unittest.main()
