"""One cloud for a whole fleet of agents (tools/fleet): directory, logic and
relay servers on the fleet hub's address, answering every camera that comes.

It counts, per second and per server, connection attempts (TCP SYNs seen on
the hub's bridge, so that refused connects count too), accepted connections
and logins, and writes one JSON line a second to --series. Every logic and
relay login is also written to --events with its time and camera, so the
time each camera came back can be worked out afterwards.

It reads commands on standard input, one a line, and answers each on
standard output with "ok COMMAND":
  logic refuse | logic drop | logic normal | logic move
                                   (all but normal drop every open link)
  directory refuse | directory normal
  relay refuse | relay normal      (refuse also drops every open link)
  quit
Times are time.monotonic(), the same clock in every process of the machine.
"""
import argparse
import asyncio
import ctypes
import json
import os
import resource
import socket
import struct
import sys
import time

from . import wire

DIRECTORY, LOGIC, RELAY = "directory", "logic", "relay"
SERVERS = (DIRECTORY, LOGIC, RELAY)
DIRECTORY_PORT = 8080
LOGIC_PORT = 9000
RELAY_PORT = 9100
RETRANSMIT_WINDOW_S = 10.0  # a SYN from the same address and port within this is a retransmission


def syn_filter():
    """Classic BPF: IPv4 TCP segments with SYN set and ACK clear, first
    fragments only."""
    return [
        (0x28, 0, 0, 12),          # ldh [12]          ethertype
        (0x15, 0, 9, 0x0800),      # jeq IPv4, else drop
        (0x30, 0, 0, 23),          # ldb [23]          protocol
        (0x15, 0, 7, 6),           # jeq TCP, else drop
        (0x28, 0, 0, 20),          # ldh [20]          fragment offset
        (0x45, 5, 0, 0x1fff),      # jset: a later fragment, drop
        (0xb1, 0, 0, 14),          # ldxb 4*([14]&0xf) IP header length
        (0x50, 0, 0, 27),          # ldb [x+27]        TCP flags
        (0x54, 0, 0, 0x12),        # and SYN|ACK
        (0x15, 0, 1, 0x02),        # jeq SYN alone
        (0x06, 0, 0, 0xffff),      # accept
        (0x06, 0, 0, 0),           # drop
    ]


def open_syn_socket(ifname):
    """A packet socket on the hub's bridge that sees only connection
    attempts; None where it cannot be had."""
    try:
        s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
        insns = syn_filter()
        buf = ctypes.create_string_buffer(b"".join(struct.pack("HBBI", *i) for i in insns))
        prog = struct.pack("HL", len(insns), ctypes.addressof(buf))
        s.setsockopt(socket.SOL_SOCKET, 26, prog)  # SO_ATTACH_FILTER; the kernel copies it
        s.bind((ifname, 0))
        # Room for a burst: before the agents backed off, a refused logic
        # server drew some twenty SYNs a second per camera.
        try:
            s.setsockopt(socket.SOL_SOCKET, 33, 16 << 20)  # SO_RCVBUFFORCE
        except OSError:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16 << 20)
        s.setblocking(False)
        return s
    except OSError as e:
        print("fleet-cloud: no SYN count (%s): attempts count accepted connections only" % e,
              flush=True)
        return None


def syn_drops(sock):
    """SYNs the kernel could not hand to the counting socket, or None."""
    if sock is None:
        return None
    try:
        _, drops = struct.unpack("II", sock.getsockopt(263, 6, 8))  # SOL_PACKET, PACKET_STATISTICS
        return drops
    except OSError:
        return None


class Counts:
    def __init__(self):
        self.reset()

    def reset(self):
        self.syn = dict.fromkeys(SERVERS, 0)
        self.accept = dict.fromkeys(SERVERS, 0)
        self.login = dict.fromkeys(SERVERS, 0)


class FleetCloud:
    def __init__(self, o):
        self.o = o
        self.counts = Counts()
        self.totals = Counts()
        self.logic_mode = "normal"
        self.logic_host = o.host
        self.listeners = {}
        self.logic_links = set()
        self.relay_links = set()
        self.logic_up = {}   # devId -> writer of a logged-in logic link
        self.relay_up = {}   # camera id -> writer of a logged-in relay link
        self.forwarding = set()
        self.frames = 0  # video frames received in the current second
        self.events = open(o.events, "w")
        self.series = open(o.series, "w")
        self.recent_syn = {}
        self.ports = {(o.host, DIRECTORY_PORT): DIRECTORY, (o.host, LOGIC_PORT): LOGIC,
                      (o.moved_host, LOGIC_PORT): LOGIC, (o.host, RELAY_PORT): RELAY}

    # ------------------------------------------------------------ listeners
    async def listen(self, kind, host, port):
        handler = {DIRECTORY: self.on_directory, LOGIC: self.on_logic, RELAY: self.on_relay}[kind]
        self.listeners[kind] = await asyncio.start_server(handler, host, port, backlog=4096,
                                                          reuse_address=True)

    async def unlisten(self, kind):
        """Stops listening; the links it accepted stay up until dropped.
        close() alone frees the port: wait_closed() would, from Python 3.12
        on, also wait for every one of those links to end."""
        server = self.listeners.pop(kind, None)
        if server is not None:
            server.close()

    @staticmethod
    def drop_all(links):
        for w in list(links):
            w.transport.abort()

    async def command(self, line):
        words = line.split()
        kind, what = (words + ["", ""])[:2]
        if kind == LOGIC:
            if what in ("refuse", "move"):
                await self.unlisten(LOGIC)
            if what in ("refuse", "move", "drop"):
                self.drop_all(self.logic_links)
            if what == "move":
                self.logic_host = self.o.moved_host
                what = "normal"
            if what in ("normal", "drop") and LOGIC not in self.listeners:
                await self.listen(LOGIC, self.logic_host, LOGIC_PORT)
            self.logic_mode = what
        elif kind == DIRECTORY:
            if what == "refuse":
                await self.unlisten(DIRECTORY)
            elif DIRECTORY not in self.listeners:
                await self.listen(DIRECTORY, self.o.host, DIRECTORY_PORT)
        elif kind == RELAY:
            if what == "refuse":
                await self.unlisten(RELAY)
                self.drop_all(self.relay_links)
            elif RELAY not in self.listeners:
                await self.listen(RELAY, self.o.host, RELAY_PORT)
        print("ok %s %.3f" % (line.strip(), time.monotonic()), flush=True)

    # ------------------------------------------------------------- counting
    def on_syn_readable(self, sock):
        while True:
            try:
                pkt = sock.recv(128)
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                return
            if len(pkt) < 34:
                continue
            ihl = (pkt[14] & 0x0F) * 4
            src = socket.inet_ntoa(pkt[26:30])
            dst = socket.inet_ntoa(pkt[30:34])
            if len(pkt) < 14 + ihl + 4:
                continue
            sport, dport = struct.unpack_from("!HH", pkt, 14 + ihl)
            kind = self.ports.get((dst, dport))
            if kind is None:
                continue
            now = time.monotonic()
            key = (src, sport, dport)
            seen = self.recent_syn.get(key)
            self.recent_syn[key] = now
            if seen is not None and now - seen < RETRANSMIT_WINDOW_S:
                continue
            self.counts.syn[kind] += 1
            self.totals.syn[kind] += 1

    def count(self, what, kind):
        getattr(self.counts, what)[kind] += 1
        getattr(self.totals, what)[kind] += 1

    def event(self, kind, who):
        self.events.write("%s %.3f %s\n" % (kind, time.monotonic(), who))

    async def tick(self):
        next_at = time.monotonic() + 1.0
        while True:
            await asyncio.sleep(max(0.0, next_at - time.monotonic()))
            now = time.monotonic()
            line = {"t": round(now, 3), "syn": self.counts.syn, "accept": self.counts.accept,
                    "login": self.counts.login, "up": {LOGIC: len(self.logic_up),
                                                       RELAY: len(self.relay_up)},
                    "forwarding": len(self.forwarding), "frames": self.frames}
            self.frames = 0
            self.series.write(json.dumps(line) + "\n")
            self.series.flush()
            self.events.flush()
            self.counts.reset()
            if len(self.recent_syn) > 50000:
                self.recent_syn = {k: v for k, v in self.recent_syn.items()
                                   if now - v < RETRANSMIT_WINDOW_S}
            next_at += 1.0

    # ---------------------------------------------------------------- links
    def send(self, writer, msg_type, params=None):
        writer.write(wire.text_frame(wire.envelope(msg_type, params)))

    async def serve(self, reader, writer, on_text, max_body):
        frames = wire.FrameReader(max_body)
        try:
            while True:
                data = await reader.read(65536)
                if not data:
                    break
                for body in frames.feed(data):
                    if body and body[0] == wire.KIND_VIDEO:
                        self.frames += 1
                    elif body and body[0] == wire.KIND_TEXT:
                        text, _ = wire.parse_text_body(body)
                        msg, _ = wire.parse_text(text) if text is not None else (None, None)
                        if msg is not None:
                            on_text(msg)
        except (wire.FrameError, ConnectionError, OSError):
            pass
        except asyncio.CancelledError:
            pass
        writer.close()

    async def on_directory(self, reader, writer):
        self.count("accept", DIRECTORY)
        answered = [False]

        def on_text(msg):
            # One answer a link: its sending side is shut after it.
            if msg.type != 1 or answered[0]:
                return
            answered[0] = True
            self.send(writer, 1, [("LogicServerIp", self.logic_host),
                                  ("LogicServerPort", str(LOGIC_PORT))])
            self.count("login", DIRECTORY)
            if writer.can_write_eof():
                writer.write_eof()

        await self.serve(reader, writer, on_text, 252)

    async def on_logic(self, reader, writer):
        self.count("accept", LOGIC)
        if self.logic_mode == "drop":
            writer.transport.abort()
            return
        self.logic_links.add(writer)
        dev = [None]

        def on_text(msg):
            if msg.type == 1:
                dev[0] = msg.get("devId").decode("latin-1")
                self.logic_up[dev[0]] = writer
                self.count("login", LOGIC)
                self.event("L", dev[0])
                self.send(writer, 1, [("status", "1"), ("Version", "1.0.3"),
                                      ("sysTime", "2015-06-01 12:30:45"),
                                      ("updateUrl", "http://%s/update" % self.o.host),
                                      ("uploadUrl", "http://%s/upload" % self.o.host)])
                self.send(writer, 2, [("userId", "u1"), ("nodeId", "n1"), ("nodeName", "fleet")])
                self.send(writer, 3, [("cameraIdList", "cam-" + dev[0].replace(":", "")),
                                      ("cameraIndexList", "0"), ("transIpList", self.o.host),
                                      ("transPortList", str(RELAY_PORT))])
            elif msg.type == 0:
                self.send(writer, 0)

        await self.serve(reader, writer, on_text, 1020)
        self.logic_links.discard(writer)
        if dev[0] is not None and self.logic_up.get(dev[0]) is writer:
            del self.logic_up[dev[0]]

    async def on_relay(self, reader, writer):
        self.count("accept", RELAY)
        self.relay_links.add(writer)
        cam = [None]

        def on_text(msg):
            if msg.type == 1:
                cam[0] = msg.get("SxtId").decode("latin-1")
                self.relay_up[cam[0]] = writer
                self.count("login", RELAY)
                self.event("R", cam[0])
                if cam[0] in self.forwarding or len(self.forwarding) < self.o.video:
                    self.forwarding.add(cam[0])
                    self.send(writer, 2)
            elif msg.type == 0:
                self.send(writer, 0)

        await self.serve(reader, writer, on_text, 204796)
        self.relay_links.discard(writer)
        if cam[0] is not None and self.relay_up.get(cam[0]) is writer:
            del self.relay_up[cam[0]]

    # ------------------------------------------------------------------ run
    async def run(self):
        o = self.o
        loop = asyncio.get_running_loop()
        syn = open_syn_socket(o.bridge) if o.bridge else None
        if syn is not None:
            loop.add_reader(syn.fileno(), self.on_syn_readable, syn)
        for kind, port in ((LOGIC, LOGIC_PORT), (RELAY, RELAY_PORT)):
            await self.listen(kind, o.host, port)
        if not o.directory_refused:
            await self.listen(DIRECTORY, o.host, DIRECTORY_PORT)
        ticker = asyncio.ensure_future(self.tick())
        print("ready", flush=True)
        reader = asyncio.StreamReader()
        await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
        while True:
            line = (await reader.readline()).decode()
            if not line or line.strip() == "quit":
                break
            await self.command(line)
        ticker.cancel()
        totals = {"syn": self.totals.syn, "accept": self.totals.accept, "login": self.totals.login,
                  "syn_dropped": syn_drops(syn)}
        print("totals " + json.dumps(totals), flush=True)
        self.series.close()
        self.events.close()


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("--host", default="198.18.0.1")
    p.add_argument("--moved-host", default="198.18.0.2")
    p.add_argument("--bridge", default="", help="interface on which to count SYNs")
    p.add_argument("--series", required=True)
    p.add_argument("--events", required=True)
    p.add_argument("--video", type=int, default=0, help="cameras told to forward video")
    p.add_argument("--directory-refused", action="store_true", help="start without the directory")
    o = p.parse_args(argv)
    # Two links a camera, and the directory's: more than the usual 1024.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and (hard == resource.RLIM_INFINITY or soft < hard):
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    asyncio.run(FleetCloud(o).run())


if __name__ == "__main__":
    main()
