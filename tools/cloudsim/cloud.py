"""The servers of the cloud: directory, logic, relay and HTTP upload.

All run on one asyncio loop. Every byte the agent sends is checked here;
what the scenario needs to wait for is kept in plain lists that it polls.
"""
import asyncio
import os
import re
import socket

from . import catalogue as cat
from . import wire
from .uplink import FrameLog
from .catalogue import DIRECTORY, LOGIC, RELAY, show

UPLOAD = "upload"
BOUNDARY = b"-----------------------------7db372eb000e2"
# Largest frames the agent can send: its packet slots are 256 bytes on the
# directory link, 1024 on the logic link and 204800 on a relay link.
MAX_BODY = {DIRECTORY: 256 - 4, LOGIC: 1024 - 4, RELAY: 204800 - 4}
# Frames still in flight when forwarding is switched off.
STOP_GRACE_S = 1.5


class Segment:
    """Frames of one run of the camera stream: sequence 1, 2, 3, ..."""

    def __init__(self, first_seq, width, height, quality, timestamp=0):
        self.first_seq = first_seq
        self.last_timestamp = timestamp
        self.last_seq = first_seq
        self.width = width
        self.height = height
        self.quality = quality
        self.frames = 1

    def as_dict(self):
        return {"size": "%dx%d" % (self.width, self.height), "frames": self.frames,
                "first_seq": self.first_seq, "last_seq": self.last_seq,
                "quality": self.quality}


# The agent sends a heartbeat when more than 10 s have passed since the last.
HEARTBEAT_GAP_S = (9.5, 13.0)
# On a shaped uplink a heartbeat may wait up to a second or two behind the
# video the path holds, and the next one arrive on time.
THIN_HEARTBEAT_GAP_S = (8.0, 12.0)


class Link:
    def __init__(self, kind, writer, now=0.0):
        self.kind = kind
        self.writer = writer
        self.texts = 0
        self.logged_in = False
        self.closed = False
        self.last_heartbeat = None
        self.first_video = None
        self.forwarding_at_connect = False
        self.opened_at = now
        self.frames = 0
        self.heartbeats = 0
        # Set by the cloud when it drops the link on purpose.
        self.dropped = False
        # When the agent ended the link (its close seen as the end of the
        # stream), or None.
        self.agent_closed_at = None
        # Cleared while the cloud stops reading this link.
        self.reading = asyncio.Event()
        self.reading.set()

    def age(self, now):
        return now - self.opened_at


class Cloud:
    def __init__(self, opts, rec):
        self.o = opts
        self.rec = rec
        self.logic_port = None
        self.relay_port = None
        self.upload_port = None
        self.servers = []
        self.tasks = set()
        self.logic = None
        self.relay = None
        self.logic_in = []  # (time, Message)
        self.relay_in = []
        # Video state, across relay connections.
        self.quality = "4"
        self.quality_sent_at = None
        self.forward_sent_at = None
        self.stop_sent_at = None
        self.first_frame_at = None
        self.last_frame_at = None
        self.last_seq = None
        self.segment = None
        self.segments = []
        self.segment_started_at = None
        self.last_gap = None  # (sequence before, sequence after) of the latest gap
        # Hostile behaviour switched on and off by the fault scenarios.
        self.logic_silent = False   # answer nothing on the logic link
        self.relay_silent = False   # answer nothing on the relay link
        self.upload_silent = False  # take the upload request, never answer
        self.upload_answer = None   # bytes that replace the upload server's answer
        # Set from any thread: the upload server reads a request body slowly
        # (4 KB every 50 ms), so an upload stays in flight until cleared.
        self.hold_uploads = False
        self.directory_answers = []  # (ip, port) texts for the next answers
        self.uploads_seen = []       # every upload connection: times and bytes
        self.relay_links = []
        self.logic_links = []
        self.video_file = None
        if not getattr(opts, "no_video_file", False):
            self.video_file = open(os.path.join(opts.out, "video.h264"), "wb")
            self.rec.video["file"] = "video.h264"
        self.next_progress = 5.0
        # One line per video frame and relay heartbeat (see uplink.py).
        self.frame_log = FrameLog(opts.frame_log) if getattr(opts, "frame_log", None) else None
        self.largest_frame = 0
        os.makedirs(os.path.join(opts.out, "uploads"), exist_ok=True)

    # ---------------------------------------------------------------- set-up
    async def start(self):
        o = self.o
        logic = await asyncio.start_server(self.on_logic, o.host, o.logic_port)
        relay = await asyncio.start_server(self.on_relay, o.host, o.relay_port)
        upload = await asyncio.start_server(self.on_upload, o.host, o.upload_port)
        self.servers += [logic, relay, upload]
        self.logic_port = logic.sockets[0].getsockname()[1]
        self.relay_port = relay.sockets[0].getsockname()[1]
        self.upload_port = upload.sockets[0].getsockname()[1]
        self.listeners = {LOGIC: logic, RELAY: relay}
        self.limit_relay_rcvbuf(relay)
        self.limit_rcvbuf(upload, getattr(o, "upload_rcvbuf", 0))
        for addr in o.directory:
            host, port = addr.rsplit(":", 1)
            self.servers.append(await asyncio.start_server(self.on_directory, host, int(port)))

    async def stop(self):
        for s in self.servers:
            s.close()
        for link in (self.logic, self.relay):
            if link is not None:
                link.closed = True
                link.writer.close()
        for t in list(self.tasks):
            t.cancel()
        if self.video_file:
            self.video_file.close()
        if self.frame_log:
            self.frame_log.close()
        self.rec.video["segments"] = [s.as_dict() for s in self.segments]

    @property
    def upload_url(self):
        return "http://%s:%d/upload" % (self.o.host, self.upload_port)

    # ------------------------------------------------------- hostile moves
    def drop(self, link):
        """Closes a link from the cloud's side."""
        if link is None or link.closed:
            return
        link.dropped = True
        link.closed = True
        link.writer.close()

    async def refuse(self, kind):
        """Stops listening on the logic or relay port: connects are refused
        until reopen(). close() alone frees the port: wait_closed() would,
        from Python 3.12 on, also wait for every link it accepted to end."""
        server = self.listeners.pop(kind, None)
        if server is not None:
            self.servers.remove(server)
            server.close()

    async def reopen(self, kind):
        if kind in self.listeners:
            return
        handler, port = ((self.on_logic, self.logic_port) if kind == LOGIC
                         else (self.on_relay, self.relay_port))
        server = await asyncio.start_server(handler, self.o.host, port)
        if kind == RELAY:
            self.limit_relay_rcvbuf(server)
        self.listeners[kind] = server
        self.servers.append(server)

    def limit_relay_rcvbuf(self, server):
        """A fixed receive buffer on the relay links (accepted sockets take
        it from the listener): a relay server that stops reading then backs
        up onto the agent within a fraction of a second, instead of after
        the megabytes that the kernel's tuning would buffer."""
        self.limit_rcvbuf(server, getattr(self.o, "relay_rcvbuf", 0))

    @staticmethod
    def limit_rcvbuf(server, size):
        if size:
            for sock in server.sockets:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, size)

    @property
    def assigned_relay_port(self):
        """The relay server that channel 0 is sent to: this cloud's own, or
        one outside it (--relay-at, e.g. the benchmark's relay reader)."""
        return getattr(self.o, "relay_at", None) or self.relay_port

    def write_raw(self, link, data):
        if link is None or link.closed:
            return False
        link.writer.write(data)
        return True

    # ------------------------------------------------------ agent process
    def agent_pid(self):
        path = getattr(self.o, "agent_pid_file", None)
        if not path:
            return None
        try:
            with open(path) as f:
                return int(f.read().strip())
        except (OSError, ValueError):
            return None

    def agent_fds(self):
        """Open descriptors of the agent, or None."""
        pid = self.agent_pid()
        try:
            return len(os.listdir("/proc/%d/fd" % pid)) if pid else None
        except OSError:
            return None

    def agent_cpu_s(self):
        """User and system CPU seconds the agent has used, or None."""
        pid = self.agent_pid()
        try:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        except (OSError, ValueError, IndexError, TypeError):
            return None

    def agent_rss_kb(self):
        """Resident memory of the agent in KiB (VmRSS), or None."""
        pid = self.agent_pid()
        if not pid:
            return None
        try:
            with open("/proc/%d/status" % pid) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1])
        except (OSError, ValueError, IndexError):
            return None
        return None

    # --------------------------------------------------------------- helpers
    def send(self, link, msg_type, params=None):
        if link is None or link.closed:
            return False
        link.writer.write(wire.text_frame(wire.envelope(msg_type, params)))
        self.rec.sent["%s %d" % (link.kind, msg_type)] += 1
        return True

    async def pump(self, kind, reader, writer, on_body, link=None):
        """Reads frames until the peer closes; hands each body on."""
        frames = wire.FrameReader(MAX_BODY[kind])
        try:
            while True:
                if link is not None and not link.reading.is_set():
                    await link.reading.wait()
                data = await reader.read(262144)
                if not data:
                    break
                self.rec.bytes_in[kind] += len(data)
                for body in frames.feed(data):
                    on_body(body)
        except wire.FrameError as e:
            self.rec.violation(kind, str(e))
        except (ConnectionError, OSError):
            pass
        except asyncio.CancelledError:
            # The cloud is shutting down.
            writer.close()
            return
        if link is not None and not link.dropped and link.agent_closed_at is None:
            link.agent_closed_at = self.rec.now()
        # A link the cloud dropped may end inside a frame: that is the cut.
        if frames.pending and not (link is not None and link.dropped):
            self.rec.violation(kind, "connection ended inside a frame (%d bytes left over)"
                               % frames.pending)
        writer.close()

    def heartbeat(self, link):
        now = self.rec.now()
        if link.last_heartbeat is not None:
            gap = now - link.last_heartbeat
            low, high = HEARTBEAT_GAP_S
            if self.shaped():
                low, high = THIN_HEARTBEAT_GAP_S
            if not low <= gap <= high:
                self.rec.violation(link.kind, "heartbeats %.1f s apart, expected about 10 s" % gap)
        link.last_heartbeat = now
        link.heartbeats += 1
        if self.frame_log and link.kind == RELAY:
            self.frame_log.heartbeat()
        silent = self.logic_silent if link.kind == LOGIC else self.relay_silent
        if not self.o.hostile_no_echo and not silent:
            self.send(link, 0)

    def text(self, kind, body):
        msg, problems = cat.check_body(kind, body)
        for p in problems:
            self.rec.violation(kind, p)
        if msg is not None:
            self.rec.received["%s %d" % (kind, msg.type)] += 1
        else:
            self.rec.received["%s ?" % kind] += 1
        return msg

    # ------------------------------------------------------------- directory
    async def on_directory(self, reader, writer):
        sock = writer.get_extra_info("sockname")
        self.rec.connected(DIRECTORY, writer.get_extra_info("peername"))
        link = Link(DIRECTORY, writer)

        def on_body(body):
            if not body or body[0] != wire.KIND_TEXT:
                self.rec.violation(DIRECTORY, "not a text frame: %s" % show(body[:40]))
                return
            msg = self.text(DIRECTORY, body)
            if msg is None or msg.type != 1:
                return
            if self.o.hostile_directory_silent:
                return
            ip, port = self.o.host, str(self.logic_port)
            if self.directory_answers:
                ip, port = self.directory_answers.pop(0)
            self.send(link, 1, [("LogicServerIp", ip), ("LogicServerPort", port)])
            answered = self.rec.now()
            self.rec.extra.setdefault("directory_answers", []).append(
                {"at_s": round(answered, 3), "at": answered, "ip": ip[:40], "ip_length": len(ip),
                 "port": port[:40], "port_length": len(port)})
            # Closing after the answer ends the agent's read window early.
            if writer.can_write_eof():
                writer.write_eof()
            self.rec.reach("directory", "asked at %s:%d, answered logic server %s:%s"
                           % (sock[0], sock[1], ip[:40], port[:40]))

        await self.pump(DIRECTORY, reader, writer, on_body, link)

    # ----------------------------------------------------------------- logic
    async def on_logic(self, reader, writer):
        self.rec.connected(LOGIC, writer.get_extra_info("peername"))
        if self.logic is not None and not self.logic.closed:
            self.rec.note("a second logic connection while one is open")
        link = Link(LOGIC, writer, self.rec.now())
        self.logic = link
        self.logic_links.append(link)
        if self.rec.connections[LOGIC] > 1 and not getattr(self.o, "quiet_reconnects", False):
            self.rec.note("logic link reconnected (connection %d)" % self.rec.connections[LOGIC])
        await self.pump(LOGIC, reader, writer, lambda body: self.on_logic_body(link, body), link)
        if not link.closed:
            link.closed = True
            if not getattr(self.o, "quiet_reconnects", False):
                self.rec.note("the agent closed the logic link")

    def on_logic_body(self, link, body):
        if not body or body[0] != wire.KIND_TEXT:
            self.rec.violation(LOGIC, "not a text frame: %s" % show(body[:40]))
            return
        msg = self.text(LOGIC, body)
        if msg is None:
            return
        self.logic_in.append((self.rec.now(), msg))
        first = link.texts == 0
        link.texts += 1
        if msg.type == 1:
            self.on_device_login(link, msg, first)
        elif msg.type == 0:
            if not link.logged_in:
                self.rec.violation(LOGIC, "heartbeat before the device login on this connection")
            self.heartbeat(link)
            self.rec.reach("heartbeat", "answered with a heartbeat")
        elif msg.type == 4:
            cam, active = msg.get("cameraId").decode("latin-1"), msg.get("active").decode("latin-1")
            self.rec.camera_states.append({"at_s": round(self.rec.now(), 3), "cameraId": cam,
                                           "active": active})
            if cam != self.o.camera_id:
                self.rec.violation(LOGIC, "camera state for camera %r, assigned was %r"
                                   % (cam, self.o.camera_id))
            elif active == "1":
                self.rec.reach("camera_state", "camera %s active 1" % cam)
            elif active == "0":
                self.rec.note("camera %s reported off-line" % cam)
            else:
                self.rec.violation(LOGIC, "camera state active is %r" % active)
        elif msg.type == 14:
            self.on_alarm_report(msg)
        # Type 16 refusals are checked by the scenario step that asked.

    def on_device_login(self, link, msg, first):
        dev = msg.get("devId")
        if not first:
            self.rec.violation(LOGIC, "device login is not the first message on the connection")
        if link.logged_in:
            self.rec.note("device login repeated on one connection")
        if not cat.MAC_TEXT.match(dev):
            self.rec.violation(LOGIC, "devId %r is not a MAC address text" % dev.decode("latin-1"))
        elif self.o.expect_devid and dev.decode() != self.o.expect_devid:
            self.rec.violation(LOGIC, "devId %s, expected %s" % (dev.decode(), self.o.expect_devid))
        link.logged_in = True
        self.rec.extra["device_id"] = dev.decode("latin-1")
        if self.logic_silent:
            return
        self.send_login_answers(link)
        self.send_assignment(link)
        self.rec.reach("login", "device %s; sent the user and the camera lists (relay %s:%d)"
                       % (dev.decode("latin-1"), self.o.host, self.assigned_relay_port))

    def send_login_answers(self, link):
        """The answer to the device login and the user message."""
        self.send(link, 1, [("status", "1"), ("Version", "1.0.3"),
                            ("sysTime", "2015-06-01 12:30:45"),
                            ("updateUrl", "http://%s:%d/update" % (self.o.host, self.upload_port)),
                            ("uploadUrl", self.upload_url)])
        self.send(link, 2, [("userId", self.o.user_id), ("nodeId", self.o.node_id),
                            ("nodeName", self.o.node_name)])

    def send_assignment(self, link):
        """Channel 0 is camera_id on this cloud's relay server."""
        return self.send(link, 3, [("cameraIdList", self.o.camera_id), ("cameraIndexList", "0"),
                                   ("transIpList", self.o.host),
                                   ("transPortList", str(self.assigned_relay_port))])

    def on_alarm_report(self, msg):
        o = self.o
        report = {"at_s": round(self.rec.now(), 3)}
        for k, _ in cat.CATALOGUE[(LOGIC, 14)]:
            report[k] = msg.get(k).decode("latin-1")
        report["msg_hex"] = msg.get("msg").hex(" ").upper()
        self.rec.alarm_reports.append(report)
        want = {"userId": o.user_id, "nodeId": o.node_id, "cameraId": o.camera_id,
                "nodeName": o.node_name, "cameraName": ""}
        bad = False
        for k, v in want.items():
            if report[k] != v:
                self.rec.violation(LOGIC, "alarm report %s is %r, expected %r" % (k, report[k], v))
                bad = True
        if msg.get("msg") not in (cat.ALARM_MOTION, cat.ALARM_INPUT):
            self.rec.violation(LOGIC, "alarm report msg bytes %s are neither alarm text"
                               % report["msg_hex"])
            bad = True
        picture = report["picture"]
        if not re.fullmatch(re.escape(o.camera_id) + r"_[0-9]+\.jpg", picture):
            self.rec.violation(LOGIC, "alarm picture name %r is not <camera>_<time>.jpg" % picture)
            bad = True
        if not any(u["filename"] == picture for u in self.rec.uploads):
            self.rec.violation(LOGIC, "alarm report names picture %r, which was not uploaded"
                               % picture)
            bad = True
        if not bad:
            kind = "motion" if msg.get("msg") == cat.ALARM_MOTION else "alarm input"
            self.rec.reach("alarm_report", "%s alarm, msg %s, picture %s"
                           % (kind, report["msg_hex"], picture))

    # ----------------------------------------------------------------- relay
    async def on_relay(self, reader, writer):
        self.rec.connected(RELAY, writer.get_extra_info("peername"))
        link = Link(RELAY, writer, self.rec.now())
        link.forwarding_at_connect = self.forward_sent_at is not None and self.stop_sent_at is None
        if self.relay is not None and not self.relay.closed:
            self.rec.note("a second relay connection while one is open")
        self.relay = link
        self.relay_links.append(link)
        if self.rec.connections[RELAY] > 1 and not getattr(self.o, "quiet_reconnects", False):
            self.rec.note("relay link reconnected (connection %d)" % self.rec.connections[RELAY])
        await self.pump(RELAY, reader, writer, lambda body: self.on_relay_body(link, body), link)
        if not link.closed:
            link.closed = True
            if not getattr(self.o, "quiet_reconnects", False):
                self.rec.note("the agent closed the relay link")

    def on_relay_body(self, link, body):
        if body and body[0] == wire.KIND_VIDEO:
            self.on_video(link, body)
            return
        if not body or body[0] != wire.KIND_TEXT:
            self.rec.violation(RELAY, "packet of unknown kind: %s" % show(body[:40]))
            return
        msg = self.text(RELAY, body)
        if msg is None:
            return
        self.relay_in.append((self.rec.now(), msg))
        first = link.texts == 0
        link.texts += 1
        if msg.type == 1:
            sxt = msg.get("SxtId").decode("latin-1")
            if not first:
                self.rec.violation(RELAY, "relay login is not the first message on the connection")
            if sxt != self.o.camera_id:
                self.rec.violation(RELAY, "relay login SxtId %r, assigned was %r"
                                   % (sxt, self.o.camera_id))
            link.logged_in = True
            self.rec.reach("relay_login", "SxtId %s, PWD 473920" % sxt)
        elif msg.type == 0:
            if not link.logged_in:
                self.rec.violation(RELAY, "heartbeat before the relay login")
            self.heartbeat(link)
        elif not link.logged_in:
            self.rec.violation(RELAY, "type %d before the relay login" % msg.type)

    def on_video(self, link, body):
        rec = self.rec
        v = rec.video
        hdr, payload, problems = wire.check_video_body(body)
        for p in problems:
            rec.violation(RELAY, p)
        if hdr is None:
            return
        if self.frame_log:
            self.frame_log.video(hdr, payload)
        now = rec.now()
        if link.first_video is None:
            link.first_video = hdr
        link.frames += 1
        self.largest_frame = max(self.largest_frame, len(payload))
        if not link.logged_in and not link.forwarding_at_connect:
            rec.violation(RELAY, "video packet before the relay login")
        if self.forward_sent_at is None:
            rec.violation(RELAY, "video packet (sequence %d) before forwarding was requested"
                          % hdr.sequence)
        elif self.stop_sent_at is not None and now - self.stop_sent_at > STOP_GRACE_S:
            rec.violation(RELAY, "video packet %.1f s after forwarding was switched off"
                          % (now - self.stop_sent_at))
        v["frames"] += 1
        v["bytes"] += len(body) + 4
        v["payload_bytes"] += len(payload)
        v["key_frames"] += 1 if hdr.key else 0
        if self.video_file:
            self.video_file.write(payload)
        self.last_frame_at = now
        if self.first_frame_at is None and self.forward_sent_at is not None:
            self.first_frame_at = now
            v["first_frame_latency_ms"] = round((now - self.forward_sent_at) * 1000, 1)
            if not hdr.key:
                rec.violation(RELAY, "first frame after forwarding started is not a key frame")
            if hdr.sequence != 1:
                rec.violation(RELAY, "first forwarded frame has sequence %d, not 1" % hdr.sequence)
            rec.reach("forwarding", "first frame after %.0f ms: %s, %dx%d, %d bytes"
                      % (v["first_frame_latency_ms"], "key frame" if hdr.key else "NOT a key frame",
                         hdr.width, hdr.height, len(payload)))
        self.track_sequence(hdr)
        if v["frames"] >= 10:
            rec.reach("frames", "%d frames, %d key" % (v["frames"], v["key_frames"]))
        if now >= self.next_progress:
            self.next_progress = now + 5.0
            rec.say("frames: %d (%d key, %d bytes), now %dx%d sequence %d"
                    % (v["frames"], v["key_frames"], v["bytes"], hdr.width, hdr.height,
                       hdr.sequence))

    def answer_wait(self, seconds):
        """How long to wait for an answer: on a capped uplink it may queue
        behind the largest frame seen, which cannot be cut short."""
        kbit = getattr(self.o, "uplink_kbit", 0)
        return seconds + (self.largest_frame * 8.0 / (kbit * 1000) if kbit else 0)

    def shaped(self):
        """The agent's uplink is shaped (tools/cloudsim/uplink.py)."""
        return bool(getattr(self.o, "uplink_kbit", 0)) or getattr(self.o, "scenario", "") == "uplink"

    def expected_size(self, quality):
        return self.o.main_size if quality in ("1", "2", "3") else self.o.sub_size

    def new_segment(self, hdr):
        seg = Segment(hdr.sequence, hdr.width, hdr.height, self.quality, hdr.timestamp)
        self.segment = seg
        self.segments.append(seg)
        self.segment_started_at = self.rec.now()
        want = self.expected_size(self.quality)
        if want and (hdr.width, hdr.height) != want:
            self.rec.violation(RELAY, "stream at quality %s is %dx%d, expected %dx%d"
                               % (self.quality, hdr.width, hdr.height, want[0], want[1]))

    def track_sequence(self, hdr):
        rec = self.rec
        seq = hdr.sequence
        last = self.last_seq
        self.last_seq = seq
        if last is None:
            self.new_segment(hdr)
            return
        seg = self.segment
        if seq == last + 1:
            seg.last_seq = seq
            seg.frames += 1
            if hdr.timestamp < seg.last_timestamp:
                rec.violation(RELAY, "time stamp goes back from %d to %d within one stream "
                              "(sequence %d)" % (seg.last_timestamp, hdr.timestamp, seq))
            seg.last_timestamp = hdr.timestamp
            if (hdr.width, hdr.height) != (seg.width, seg.height):
                rec.violation(RELAY, "picture size changed from %dx%d to %dx%d within one stream "
                              "(sequence %d)" % (seg.width, seg.height, hdr.width, hdr.height, seq))
            return
        # On a thin uplink the first frames of a new stream may have been
        # dropped (each took its number): the restart then begins later,
        # with a key frame.
        thin_restart = (self.shaped() and seq < last and hdr.key and self.quality_sent_at is not None
                        and self.quality_sent_at >= self.segment_started_at)
        if seq == 1 or thin_restart:
            if thin_restart:
                rec.note("stream restarted at sequence %d: its first frames were dropped for the "
                         "uplink" % seq)
            rec.video["stream_restarts"] += 1
            if self.quality_sent_at is None or self.quality_sent_at < self.segment_started_at:
                rec.violation(RELAY, "sequence went back to 1 (after %d) without a quality "
                              "command" % last)
            self.new_segment(hdr)
            return
        if seq > last + 1:
            rec.video["sequence_gaps"] += 1
            self.last_gap = (last, seq)
            seg.last_seq = seq
            seg.frames += 1
            if hdr.key:
                rec.note("sequence gap %d -> %d (frames lost in the agent), resumed with a key "
                         "frame" % (last, seq))
            else:
                rec.violation(RELAY, "sequence jumps from %d to %d and the frame after the gap "
                              "is not a key frame" % (last, seq))
            return
        rec.violation(RELAY, "sequence goes back from %d to %d" % (last, seq))

    # ---------------------------------------------------------------- upload
    async def on_upload(self, reader, writer):
        self.rec.connected(UPLOAD, writer.get_extra_info("peername"))
        seen = {"accepted_at": self.rec.now(), "closed_at": None, "bytes": 0,
                "answered": False}
        self.uploads_seen.append(seen)
        try:
            if self.upload_silent:
                await self.swallow_upload(reader, seen)
            else:
                await self.upload(reader, writer, seen)
                seen["answered"] = True
        except (ConnectionError, OSError, asyncio.CancelledError):
            pass
        finally:
            writer.close()

    async def swallow_upload(self, reader, seen):
        """Takes every byte of the request and never answers, until the agent
        gives up (or 30 s pass)."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + 30
        while loop.time() < deadline:
            try:
                chunk = await asyncio.wait_for(reader.read(65536), deadline - loop.time())
            except asyncio.TimeoutError:
                break
            if not chunk:
                seen["closed_at"] = self.rec.now()
                break
            seen["bytes"] += len(chunk)

    def check_upload_head(self, head):
        """Compares the request head with the agent's, line by line; returns
        its Content-Length (None when absent)."""
        m = re.search(rb"\r\nContent-Length: ([0-9]+)\r\n", head)
        expected = (b"POST /upload HTTP/1.0\r\n"
                    b"Accept:*/*\r\n"
                    b"HOST: " + ("%s:%d" % (self.o.host, self.upload_port)).encode() + b"\r\n"
                    b"User-Agent: TovuHttpClient\r\n"
                    b"Content-Length: " + (m.group(1) if m else b"?") + b"\r\n"
                    b"Expect: 100-continue\r\n"
                    b"Content-Type:multipart/form-data;boundary=" + BOUNDARY + b"\r\n\r\n")
        if head != expected:
            got = head.split(b"\r\n")
            want = expected.split(b"\r\n")
            diffs = ["line %d: %r, expected %r" % (i + 1, g, w)
                     for i, (g, w) in enumerate(zip(got, want)) if g != w]
            if len(got) != len(want):
                diffs.append("%d head lines, expected %d" % (len(got), len(want)))
            self.rec.violation(UPLOAD, "request head differs: " + "; ".join(diffs))
        return int(m.group(1)) if m else None

    async def read_upload_body(self, reader, length, seen):
        """Reads the body (length bytes, or up to 1 MiB until the agent
        closes), for at most 10 s; slowly while uploads are held."""
        body = b""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + 10
        limit = length if length is not None else 1 << 20
        while len(body) < limit:
            left = deadline - loop.time()
            if left <= 0:
                self.rec.violation(UPLOAD, "body incomplete after 10 s (%d bytes)" % len(body))
                break
            held = self.hold_uploads
            try:
                chunk = await asyncio.wait_for(reader.read(4096 if held else 65536), left)
            except asyncio.TimeoutError:
                continue
            if not chunk:
                break
            body += chunk
            seen["bytes"] = len(body)
            if held:
                await asyncio.sleep(0.05)
        return body

    def check_upload_file(self, data):
        """What is wrong with the uploaded file: not a JPEG, or not the
        camera's snapshot."""
        problems = []
        if not (data.startswith(b"\xff\xd8") and data.endswith(b"\xff\xd9")):
            problems.append("uploaded file is not a JPEG")
        if self.o.expect_snapshot:
            with open(self.o.expect_snapshot, "rb") as f:
                if f.read() != data:
                    problems.append("uploaded file differs from the camera's snapshot")
        for p in problems:
            self.rec.violation(UPLOAD, p)
        return problems

    async def upload(self, reader, writer, seen):
        rec = self.rec
        try:
            head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 10)
        except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, asyncio.TimeoutError) as e:
            rec.violation(UPLOAD, "no complete request head (%s)" % type(e).__name__)
            return
        seen["head_at"] = rec.now()
        length = self.check_upload_head(head)
        body = await self.read_upload_body(reader, length, seen)
        extra = self.o.content_length_extra
        if length is not None and length != len(body) + extra:
            rec.violation(UPLOAD, "Content-Length %d for a body of %d bytes (expected body + %d)"
                          % (length, len(body), extra))
        m = re.match(rb"--" + re.escape(BOUNDARY) + rb"\r\nContent-Disposition: form-data;"
                     rb'name="file";filename="([^"\r\n]*)"\r\nContent-Type: text/plain\r\n\r\n',
                     body)
        tail = b"\r\n--" + BOUNDARY + b"--\r\n"
        if not m or not body.endswith(tail):
            rec.violation(UPLOAD, "multipart body malformed: begins %s ... ends %s"
                          % (show(body[:160]), show(body[-60:])))
            writer.write(b"HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\n\r\n")
            return
        name = m.group(1).decode("latin-1")
        data = body[m.end():len(body) - len(tail)]
        safe = re.sub(r"[^A-Za-z0-9._-]", "_", name) or "upload.bin"
        with open(os.path.join(self.o.out, "uploads", safe), "wb") as f:
            f.write(data)
        problems = self.check_upload_file(data)
        rec.uploads.append({"at_s": round(rec.now(), 3), "filename": name,
                            "file_bytes": len(data), "body_bytes": len(body),
                            "content_length": length, "saved_as": "uploads/" + safe})
        writer.write(self.upload_answer or
                     b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nOK")
        if not problems:
            rec.reach("upload", "%s, %d bytes, saved as uploads/%s" % (name, len(data), safe))
