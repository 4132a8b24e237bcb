"""The Wireshark plugin (contrib/wireshark/cloud_agent.lua) on small
captures written here, one per kind of trouble a field capture brings:
other traffic on the agent's ports, links nobody named, links seen from
the middle, segments out of order, texts the agent reads loosely, and
short snap lengths. Each
test asserts what tshark prints. Needs only tshark; without it the test
says so and is reported as skipped.
"""
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.normpath(os.path.join(HERE, "..", "..", "tools")))
from cloudsim import wire  # noqa: E402
from pcap_writer import Capture  # noqa: E402

PLUGIN = os.path.normpath(os.path.join(HERE, "..", "..", "contrib", "wireshark", "cloud_agent.lua"))
SKIP = 77
ERROR = str(0x00800000)
AGENT = "192.0.2.10"
OUT = {}


def run_tshark(cap, name, fields, *opts):
    """Writes the capture, reads it with the plugin; one dict per packet
    (field name -> list of values, every occurrence)."""
    pcap = cap.write(os.path.join(OUT["dir"], name + ".pcap"))
    cmd = ["tshark", "-X", "lua_script:" + PLUGIN, "-r", pcap, "-T", "fields", "-E", "occurrence=a",
           "-E", "aggregator=\x1f", "-e", "frame.number", "-e", "_ws.expert.severity"]
    for f in fields:
        cmd += ["-e", f]
    r = subprocess.run(cmd + list(opts), stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    err = r.stderr.decode("utf-8", "replace")
    if "Lua" in err:
        raise AssertionError("the plugin failed: " + err)
    rows = []
    for line in r.stdout.decode("utf-8", "replace").splitlines():
        cells = line.split("\t")
        names = ["frame.number", "_ws.expert.severity"] + list(fields)
        rows.append({n: (c.split("\x1f") if c else []) for n, c in zip(names, cells)})
    return rows


def column(rows, name):
    """Every value of one field, in capture order."""
    return [v for r in rows for v in r[name]]


def errors(rows):
    return [r["frame.number"][0] for r in rows if ERROR in r["_ws.expert.severity"]]


def text(msg_type, params=None, type_text=None):
    """A message text; type_text replaces the envelope's type as written."""
    t = wire.envelope(msg_type, params)
    if type_text is not None:
        t = t.replace(b'"msgType":%d,' % msg_type, b'"msgType":' + type_text + b",", 1)
    return t


def frame(msg_type, params=None, type_text=None):
    return wire.text_frame(text(msg_type, params, type_text))


def video(seq, size, key=False):
    return wire.frame(wire.video_body(bytes([seq & 0xFF]) * size, seq, key, 640, 360))


def directory(cap, logic_ip, logic_port, agent_port=41001):
    s = cap.tcp((AGENT, agent_port), ("192.0.2.100", 8080))
    s.send(frame(1, [("userName", "")]))
    s.send(frame(1, [("LogicServerIp", logic_ip), ("LogicServerPort", logic_port)]), up=False)


def client_hello():
    body = b"\x03\x03" + b"\x11" * 32 + b"\x00" + b"\x00\x02\x13\x01" + b"\x01\x00" + b"\x00\x00"
    handshake = b"\x01" + struct.pack("!I", len(body))[1:] + body
    return b"\x16\x03\x01" + struct.pack("!H", len(handshake)) + handshake


def http_response(body):
    return b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nContent-Type: text/html\r\n\r\n" % len(body) + body


class OtherTrafficStaysItsOwn(unittest.TestCase):
    def test_http_on_8080_keeps_its_reassembly_methods_and_tunnels(self):
        cap = Capture()
        page = cap.tcp((AGENT, 51000), ("192.0.2.1", 8080))
        page.send(b"GET /index.html HTTP/1.1\r\nHost: cam\r\n\r\n")
        page_parts = page.send(http_response(b"<html>" + b"x" * 3000 + b"</html>"), up=False, mss=1000)
        options = cap.tcp((AGENT, 51001), ("192.0.2.1", 8080))
        options.send(b"OPTIONS * HTTP/1.1\r\nHost: cam\r\n\r\n")
        tunnel = cap.tcp((AGENT, 51002), ("192.0.2.1", 8080))
        tunnel.send(b"CONNECT example.org:443 HTTP/1.1\r\nHost: example.org:443\r\n\r\n")
        tunnel.send(b"HTTP/1.1 200 Connection established\r\n\r\n", up=False)
        hello = tunnel.send(client_hello(), mss=30)
        directory(cap, "192.0.2.1", "9000")
        rows = run_tshark(cap, "http8080", ["http.request.method", "http.response.code",
                                            "tcp.reassembled.length", "tls.handshake.type",
                                            "cadir.msgname", "calink.length"])
        self.assertEqual(errors(rows), [])
        self.assertEqual(column(rows, "http.request.method"), ["GET", "OPTIONS", "CONNECT"])
        # The page's head and body were put together in its last segment.
        last = rows[page_parts[-1]]
        self.assertEqual(last["http.response.code"], ["200"])
        self.assertEqual(last["tcp.reassembled.length"], [str(len(http_response(b"x" * 3013)))])
        self.assertEqual(rows[hello[-1]]["tls.handshake.type"], ["1"])
        self.assertEqual(column(rows, "cadir.msgname"), ["directory request", "directory answer"])
        self.assertEqual(column(rows, "calink.length"), [])

    def test_a_learned_port_applies_to_its_server_only(self):
        cap = Capture()
        # A logic server named by host name is the address the agent reaches
        # on its port; the camera lists name the relay by address.
        directory(cap, "logic.example.net", "443")
        logic = cap.tcp((AGENT, 41002), ("198.51.100.7", 443))
        logic.send(frame(1, [("devId", "02:00:00:00:00:01"), ("devType", "8"), ("devIndexs", "1")]))
        logic.send(frame(3, [("cameraIdList", "cam-1;cam-2"), ("cameraIndexList", "0;1"),
                             ("transIpList", "192.0.2.2;192.0.2.5"), ("transPortList", "80;8080")]),
                   up=False)
        relay = cap.tcp((AGENT, 41003), ("192.0.2.2", 80))
        relay.send(frame(1, [("SxtId", "cam-1"), ("PWD", "473920")]))
        relay = cap.tcp((AGENT, 41006), ("192.0.2.5", 8080))
        relay.send(frame(1, [("SxtId", "cam-2"), ("PWD", "473920")]))
        other_tls = cap.tcp((AGENT, 41004), ("192.0.2.99", 443))
        hello = other_tls.send(client_hello())
        other_web = cap.tcp((AGENT, 41005), ("192.0.2.50", 80))
        other_web.send(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        page = other_web.send(http_response(b"y" * 2500), up=False, mss=1000)
        rows = run_tshark(cap, "scoped", ["calink.msgname", "calink.link", "tls.handshake.type",
                                          "http.response.code"])
        self.assertEqual(errors(rows), [])
        self.assertEqual(column(rows, "calink.msgname"),
                         ["device login", "camera lists", "relay login", "relay login"])
        self.assertEqual(column(rows, "calink.link"), ["logic", "logic", "relay", "relay"])
        self.assertEqual(rows[hello[0]]["tls.handshake.type"], ["1"])
        self.assertEqual(rows[page[-1]]["http.response.code"], ["200"])


def logic_exchange(stream, first):
    """The agent's alarm report, the server's request, the agent's refusal,
    in the order given by `first` ("alarm" or "request")."""
    alarm = frame(14, [("userId", "u1"), ("nodeId", "n1"), ("cameraId", "cam-1"), ("kind", "1"),
                       ("msg", "m"), ("picture", "p.jpg"), ("nodeName", "hall"), ("cameraName", "c"),
                       ("remark", "")])
    request = frame(16, [("msgId", "5"), ("socketId", "9"), ("msgType", "21"), ("cameraId", "cam-1")])
    refusal = frame(16, [("msgId", "5"), ("socketId", "9"), ("msgType", "21"), ("status", "0"),
                         ("cameraId", "cam-1"), ("errorMsg", "device not support")])
    if first == "alarm":
        stream.send(alarm)
    stream.send(request, up=False)
    stream.send(refusal)
    if first != "alarm":
        stream.send(alarm)


class DirectionAndFramesFromTheMiddle(unittest.TestCase):
    def test_direction_comes_from_the_endpoints(self):
        cap = Capture()
        # Known server, both ports ephemeral, the server's request first.
        directory(cap, "192.0.2.1", "40500")
        logic_exchange(cap.tcp((AGENT, 41000), ("192.0.2.1", 40500), handshake=False), "request")
        # Nothing learned; the server listens on a low port; the alarm first.
        logic_exchange(cap.tcp((AGENT, 41010), ("192.0.2.3", 7010), handshake=False), "alarm")
        rows = run_tshark(cap, "direction", ["calink.msgname", "calink.direction", "calink.link"])
        named = [(r["calink.msgname"][0], r["calink.direction"][0]) for r in rows if r["calink.msgname"]]
        up, down = "from the agent", "to the agent"
        self.assertEqual(named, [("request", down), ("refusal", up), ("alarm report", up),
                                 ("alarm report", up), ("request", down), ("refusal", up)])
        self.assertEqual(set(column(rows, "calink.link")), {"logic"})

    def relay_from_the_middle(self, with_lookup):
        cap = Capture()
        if with_lookup:
            directory(cap, "192.0.2.1", "7000")
            logic = cap.tcp((AGENT, 41002), ("192.0.2.1", 7000))
            logic.send(frame(3, [("cameraIdList", "cam-1"), ("cameraIndexList", "0"),
                                 ("transIpList", "192.0.2.2"), ("transPortList", "29000")]), up=False)
        frames = [video(1, 3000, True), frame(17, [("status", "1"), ("EnableQP", "1")])]
        frames += [video(seq, 700 + 377 * seq) for seq in range(2, 12)]
        data = b"".join(frames)
        start = 1000   # inside the first video frame
        relay = cap.tcp((AGENT, 41003), ("192.0.2.2", 29000), handshake=False)
        relay.send(data[start:], mss=1400)
        rows = run_tshark(cap, "resync_%s" % with_lookup, ["calink.video.seq", "calink.msgname"])
        self.assertEqual(errors(rows), [])
        self.assertEqual(column(rows, "calink.video.seq"), [str(s) for s in range(2, 12)])
        self.assertIn("status report", column(rows, "calink.msgname"))

    def test_a_busy_relay_link_from_the_middle_without_the_lookup(self):
        self.relay_from_the_middle(False)

    def test_a_busy_relay_link_from_the_middle_with_the_lookup(self):
        self.relay_from_the_middle(True)


class OutOfOrderSegments(unittest.TestCase):
    def test_one_misplaced_segment_loses_at_most_its_frames(self):
        cap = Capture()
        relay = cap.tcp((AGENT, 41000), ("192.0.2.2", 29000))
        relay.send(frame(1, [("SxtId", "cam-1"), ("PWD", "473920")]))
        sent = relay.send(b"".join(video(seq, 400 + 300 * seq, seq == 1) for seq in range(1, 9)), mss=600)
        p = cap.packets
        p[sent[5]], p[sent[6]] = p[sent[6]], p[sent[5]]
        fields = ["calink.video.seq", "calink.unsynced"]
        rows = run_tshark(cap, "out_of_order", fields)
        self.assertEqual(errors(rows), [])
        seqs = [int(s) for s in column(rows, "calink.video.seq")]
        self.assertGreaterEqual(len(seqs), 6, seqs)
        self.assertEqual(seqs[-4:], [5, 6, 7, 8])
        self.assertLessEqual(sum(1 for r in rows if r["calink.unsynced"]), 1)
        # With TCP's out-of-order reassembly every frame is there.
        rows = run_tshark(cap, "out_of_order", fields, "-o", "tcp.reassemble_out_of_order:TRUE")
        self.assertEqual(column(rows, "calink.video.seq"), [str(s) for s in range(1, 9)])
        self.assertEqual(errors(rows), [])

    def test_impossible_length_is_an_expert_error(self):
        # A heartbeat lets the heuristic take the conversation; the next
        # frame claims 2 GB.
        cap = Capture()
        s = cap.tcp(("127.0.0.1", 40000), ("127.0.0.1", 45000), handshake=False)
        s.send(wire.text_frame(wire.HEARTBEAT))
        s.send(struct.pack("<I", 0x7FFFFFFF) + b"0junk")
        rows = run_tshark(cap, "impossible", ["calink.msgname", "calink.length", "calink.length.impossible"])
        self.assertEqual([r["calink.msgname"] for r in rows], [["heartbeat"], []])
        self.assertEqual([r["calink.length"] for r in rows], [["73"], ["2147483647"]])
        self.assertEqual(errors(rows), ["2"])
        self.assertEqual([bool(r["calink.length.impossible"]) for r in rows], [False, True])


def relay_link(stream, mss=None):
    """A relay link from its start: login, forwarding, video, heartbeats."""
    stream.send(frame(1, [("SxtId", "cam-1"), ("PWD", "473920")]), mss=mss)
    stream.send(wire.text_frame(wire.HEARTBEAT), up=False, mss=mss)
    stream.send(frame(2), up=False, mss=mss)
    stream.send(video(1, 300, True), mss=mss)
    stream.send(wire.text_frame(wire.HEARTBEAT), mss=mss)
    stream.send(video(2, 200), mss=mss)


RELAY_NAMES = ["relay login", "heartbeat", "forwarding on", "heartbeat"]


class LinksNobodyNamed(unittest.TestCase):
    """No directory lookup and no camera lists in the capture, on ports no
    dissector knows: the links are found by their first frames alone."""

    def test_relay_and_logic_links_whole_or_in_segments_of_a_few_bytes(self):
        cap = Capture()
        relay_link(cap.tcp((AGENT, 41000), ("198.51.100.9", 29001)))
        relay_link(cap.tcp((AGENT, 41001), ("198.51.100.9", 29002)), mss=3)
        logic = cap.tcp((AGENT, 41002), ("198.51.100.7", 29003))
        logic.send(frame(1, [("devId", "02:00:00:00:00:01"), ("devType", "8"), ("devIndexs", "1")]))
        logic.send(frame(1, [("status", "1"), ("sysTime", "2026-01-01 10:00:00")]), up=False)
        # A logic link whose start is not in the capture: its heartbeat.
        late = cap.tcp((AGENT, 41003), ("198.51.100.7", 29003), handshake=False)
        late.send(wire.text_frame(wire.HEARTBEAT))
        late.send(frame(3, [("cameraIdList", "")]), up=False)
        # One pass with sequence numbers, and two passes whose first has none.
        for opts in [(), ("-2",)]:
            rows = run_tshark(cap, "unnamed", ["tcp.port", "calink.msgname", "calink.link",
                                               "calink.video.seq"], *opts)
            self.assertEqual(errors(rows), [], opts)

            def on(port, name):
                return [v for r in rows if str(port) in r["tcp.port"] for v in r[name]]
            for port in (29001, 29002):
                self.assertEqual(on(port, "calink.msgname"), RELAY_NAMES, (port, opts))
                self.assertEqual(on(port, "calink.video.seq"), ["1", "2"], (port, opts))
                self.assertEqual(set(on(port, "calink.link")), {"relay"}, (port, opts))
            self.assertEqual(on(29003, "calink.msgname"),
                             ["device login", "login answer", "heartbeat", "camera lists"], opts)

    def test_other_traffic_on_unusual_ports_is_left_alone(self):
        cap = Capture()
        rng = random.Random(30)
        junk = bytes(rng.randrange(256) for _ in range(400))
        talks = [
            [b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", http_response(b"z" * 300)],
            [client_hello()],
            [junk],
            # A length in bounds, then a kind byte, then no text or media header.
            [struct.pack("<I", 200) + b"0" + junk[:199]],
            [struct.pack("<I", 200) + b"V" + junk[:199]],
            [struct.pack("<I", 13) + b'0{"hello":1}\0'],   # a text, but no message of ours
        ]
        streams = {}
        for talk in talks:
            for mss in (None, 3):
                port = 30001 + len(streams)
                streams[str(port)] = talk
                s = cap.tcp((AGENT, 42000 + len(streams)), ("198.51.100.20", port))
                for i, data in enumerate(talk):
                    s.send(data, up=i % 2 == 0, mss=mss)
        # A real link in the same capture shows the plugin was there.
        relay_link(cap.tcp((AGENT, 41000), ("198.51.100.9", 29001)), mss=3)
        fields = ["tcp.port", "calink.length", "data.len", "tls.handshake.type", "http.request.method"]
        for opts in [(), ("-2",)]:
            rows = run_tshark(cap, "not_the_agents", fields, *opts)
            claimed = {p for r in rows if r["calink.length"] for p in r["tcp.port"]}
            self.assertEqual(claimed, {"41000", "29001"}, opts)
            tls = {p for r in rows if r["tls.handshake.type"] for p in r["tcp.port"]}
            self.assertEqual(tls & set(streams), {"30003", "30004"}, opts)
            # What was held back to be looked at is handed on: every byte
            # reaches another dissector.
            for port, talk in streams.items():
                mine = [r for r in rows if port in r["tcp.port"]]
                if port in tls or any(r["http.request.method"] for r in mine):
                    continue
                shown = sum(int(n) for r in mine for n in r["data.len"])
                self.assertEqual(shown, sum(len(d) for d in talk), (port, opts))

    def test_decode_as_takes_a_port_another_dissector_holds(self):
        cap = Capture()
        relay_link(cap.tcp((AGENT, 41000), ("198.51.100.9", 5222)))   # XMPP's port
        rows = run_tshark(cap, "decode_as", ["calink.msgname"])
        self.assertEqual(column(rows, "calink.msgname"), [])
        rows = run_tshark(cap, "decode_as", ["calink.msgname"], "-d", "tcp.port==5222,calink")
        self.assertEqual(column(rows, "calink.msgname"), RELAY_NAMES)


class TextsAsTheAgentReadsThem(unittest.TestCase):
    def test_types_ports_addresses_and_empty_frames(self):
        cap = Capture()
        directory(cap, "192.0.2.1", "0x50", agent_port=41020)
        directory(cap, "192.0.2.1", "8e1", agent_port=41021)
        logic = cap.tcp((AGENT, 41022), ("192.0.2.1", 8))
        node = [("userId", "u1"), ("nodeId", "n1"), ("nodeName", "hall")]
        for t in [frame(2, node, b" 2"),                     # blank after the colon
                  frame(3, [("cameraIdList", "")], b"4294967299"),   # wraps to 3
                  frame(18, [("Time", "1")], b'"18"'),        # quoted: read as 0
                  frame(16, [("msgId", "1")], b"16 "),        # blank before the comma
                  # A params member named msgType before the envelope's own.
                  wire.text_frame(b'{"TimeSep":-842150451,"params":{"msgType":"5","msgId":"1"},'
                                  b'"msgType":16,"version":1}'),
                  wire.frame(b"")]:
            logic.send(t, up=False)
        cap.udp((AGENT, 48000), ("255.255.255.255", 48000),
                b'00000{"devId":"d","devType":"8","devIndexs":"1","ip":"IP:300.1.2.3"}0')
        cap.udp((AGENT, 48000), ("255.255.255.255", 48000),
                b'00000{"devId":"d","devType":"8","devIndexs":"1","ip":"IP:192.0.2.10"}0')
        rows = run_tshark(cap, "agent_reading", [
            "cadir.logic_port", "cadir.logic_port.invalid", "cadir.logic_port.loose",
            "calink.msgtype", "calink.msgname", "calink.direction", "calink.msgtype.loose",
            "calink.empty", "cadisc.ip", "cadisc.ip.invalid"])
        self.assertEqual(column(rows, "cadir.logic_port"), ["8"])
        self.assertEqual(sum(1 for r in rows if r["cadir.logic_port.invalid"]), 1)
        self.assertEqual(sum(1 for r in rows if r["cadir.logic_port.loose"]), 1)
        logic_rows = [r for r in rows if r["calink.direction"]]
        self.assertEqual([(r["calink.msgtype"], r["calink.msgname"]) for r in logic_rows], [
            (["2"], ["user and node"]), (["3"], ["camera lists"]), (["0"], ["heartbeat"]),
            (["16"], ["request"]), (["0"], ["heartbeat"]), ([], [])])
        self.assertEqual([bool(r["calink.msgtype.loose"]) for r in logic_rows],
                         [False, True, True, False, True, False])
        self.assertEqual(logic_rows[-1]["calink.direction"], ["to the agent"])
        self.assertTrue(logic_rows[-1]["calink.empty"])
        self.assertEqual(column(rows, "cadisc.ip"), ["192.0.2.10"])
        self.assertEqual(sum(1 for r in rows if r["cadisc.ip.invalid"]), 1)

    def test_video_cut_by_the_snap_length_shows_its_header(self):
        cap = Capture(snaplen=120)
        relay = cap.tcp((AGENT, 41000), ("192.0.2.2", 29000))
        relay.send(frame(1, [("SxtId", "cam-1"), ("PWD", "473920")]))
        relay.send(video(7, 1000, True))
        rows = run_tshark(cap, "snaplen", ["calink.video.seq", "calink.video.width", "calink.cut"])
        cut = [r for r in rows if r["calink.video.seq"]]
        self.assertEqual(len(cut), 1)
        self.assertEqual((cut[0]["calink.video.seq"], cut[0]["calink.video.width"]), (["7"], ["640"]))
        self.assertTrue(cut[0]["calink.cut"])
        self.assertEqual(errors(rows), [])


def main():
    if not shutil.which("tshark"):
        print("SKIPPED: tshark not installed (tools/bootstrap installs it as root)")
        sys.exit(SKIP)
    with tempfile.TemporaryDirectory(prefix="plugin-captures-") as d:
        OUT["dir"] = os.environ.get("PLUGIN_CAPTURES") or d
        os.makedirs(OUT["dir"], exist_ok=True)
        unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
