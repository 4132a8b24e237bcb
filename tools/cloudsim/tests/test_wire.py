"""The cloud's reading of frames, envelopes and video packets."""
import struct
import unittest

from cloudsim import catalogue as cat
from cloudsim import wire

LOGIN = (b'{"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":1,"params":'
         b'{"devId":"02:00:00:00:00:01","devType":"8","devIndexs":"1"},"version":1}')


class FramingTest(unittest.TestCase):
    def test_text_frame_layout(self):
        self.assertEqual(wire.text_frame(b"abc"), bytes.fromhex("050000003061626300"))
        self.assertEqual(wire.text_frame(b""), bytes.fromhex("020000003000"))

    def test_reader_cuts_split_and_joined_frames(self):
        stream = wire.text_frame(b"one") + wire.text_frame(b"two") + wire.frame(b"")
        r = wire.FrameReader()
        got = []
        for i in range(0, len(stream), 3):
            got += r.feed(stream[i:i + 3])
        self.assertEqual(got, [b"0one\0", b"0two\0", b""])
        self.assertEqual(r.pending, 0)
        self.assertEqual(wire.FrameReader().feed(stream), [b"0one\0", b"0two\0", b""])

    def test_reader_refuses_oversized_length(self):
        r = wire.FrameReader(max_body=1020)
        self.assertEqual(r.feed(wire.frame(b"x" * 1020)), [b"x" * 1020])
        with self.assertRaises(wire.FrameError):
            r.feed(struct.pack("<I", 1021))

    def test_text_body_needs_one_trailing_nul(self):
        self.assertEqual(wire.parse_text_body(b"0abc\0"), (b"abc", None))
        self.assertIsNotNone(wire.parse_text_body(b"0abc")[1])
        self.assertIsNotNone(wire.parse_text_body(b"0ab\0c\0")[1])
        self.assertIsNotNone(wire.parse_text_body(b"Vabc\0")[1])


class EnvelopeTest(unittest.TestCase):
    def test_envelope_is_rebuilt_byte_for_byte(self):
        self.assertEqual(wire.envelope(1, [("devId", "02:00:00:00:00:01"), ("devType", "8"),
                                           ("devIndexs", "1")]), LOGIN)
        self.assertEqual(wire.HEARTBEAT, b'{"TimeSep":-842150451,"appId":1,"clientType":8,'
                                         b'"msgType":0,"version":1}')

    def test_strict_parse(self):
        m, why = wire.parse_text(LOGIN)
        self.assertIsNone(why)
        self.assertEqual((m.type, m.get("devId")), (1, b"02:00:00:00:00:01"))
        bad = [
            LOGIN.replace(b'"appId":1,', b'"appId": 1,'),             # a blank
            LOGIN.replace(b'"clientType":8,', b''),                    # member missing
            LOGIN.replace(b'"devType":"8"', b'"devType":8'),           # unquoted value
            LOGIN.replace(b'"version":1}', b'"version":1} '),          # trailing byte
            LOGIN.replace(b'"devIndexs":"1"}', b'"devIndexs":"1",}'),  # trailing comma
            LOGIN.replace(b'"msgType":1,', b'"msgType":01,'),
        ]
        for text in bad:
            with self.subTest(text=text):
                self.assertIsNone(wire.parse_text(text)[0])
        self.assertEqual(wire.parse_text(b'{"TimeSep":-842150451,"appId":1,"clientType":8,'
                                         b'"msgType":3,"params":{},"version":1}')[0].params, [])


class CatalogueTest(unittest.TestCase):
    def check(self, link, text):
        return cat.check_body(link, b"0" + text + b"\0")[1]

    def test_agent_messages_pass(self):
        self.assertEqual(self.check("logic", LOGIN), [])
        self.assertEqual(self.check("logic", wire.HEARTBEAT), [])
        self.assertEqual(self.check("relay", wire.envelope(1, [("SxtId", "c1"),
                                                               ("PWD", "473920")])), [])
        self.assertEqual(self.check("directory", wire.envelope(1, [("userName", "")])), [])

    def test_fixed_values_order_and_links_are_enforced(self):
        cases = [
            ("relay", wire.envelope(1, [("SxtId", "c1"), ("PWD", "000000")])),
            ("logic", wire.envelope(1, [("devType", "8"), ("devId", "x"), ("devIndexs", "1")])),
            ("logic", wire.envelope(0, [])),                 # heartbeat with params
            ("relay", wire.envelope(4, [("cameraId", "c1"), ("active", "1")])),  # wrong link
            ("logic", wire.envelope(16, [("msgId", ""), ("socketId", ""), ("msgType", ""),
                                         ("status", "0"), ("cameraId", ""),
                                         ("errorMsg", "not supported")])),
        ]
        for link, text in cases:
            with self.subTest(text=text):
                self.assertNotEqual(self.check(link, text), [])

    def test_discovery_answer_text(self):
        self.assertEqual(cat.discovery_answer("", ""),
                         b'00000{"devId":"","devType":"8","devIndexs":"1","ip":"IP:"}0')
        self.assertEqual(len(cat.discovery_answer("", "")), 59)


class VideoTest(unittest.TestCase):
    def test_header_example(self):
        # A key frame of 1000 bytes at 640x480, sequence 7, time stamp 0.
        body = wire.video_body(b"\0" * 1000, 7, True, 640, 480)
        self.assertEqual(body[1:25].hex(), "0000560000000000e80300000700000" "0c183012800000000")
        self.assertEqual(len(wire.frame(body)), 1029)
        hdr, payload, problems = wire.check_video_body(body)
        self.assertEqual(problems, [])
        self.assertEqual((hdr.key, hdr.width, hdr.height, hdr.sequence, len(payload)),
                         (True, 640, 480, 7, 1000))

    def test_header_faults_are_reported(self):
        good = bytearray(wire.video_body(b"abcd", 1, False, 640, 360))
        faults = {
            "length": lambda b: struct.pack_into("<I", b, 9, 5),
            "kind": lambda b: struct.pack_into("<H", b, 3, 87),
            "stream kind": lambda b: struct.pack_into("<I", b, 17, (1 << 20) | (1 << 1) | (11 << 13)),
            "reserved": lambda b: struct.pack_into("<I", b, 21, 1),
            "high bits": lambda b: struct.pack_into("<I", b, 9, 4 | (1 << 25)),
        }
        for name, damage in faults.items():
            with self.subTest(fault=name):
                b = bytearray(good)
                damage(b)
                self.assertNotEqual(wire.check_video_body(bytes(b))[2], [])
        self.assertEqual(wire.check_video_body(bytes(good))[2], [])


if __name__ == "__main__":
    unittest.main()
