"""Fault scenarios: the cloud misbehaves on purpose, one fault after the
other, against one running agent. Each fault has its own milestone (the
agent dealt with it as it should) and is followed by the normal work, which
must still succeed: the logic server assigns the camera again, the agent
logs in on a fresh relay link, reports the camera on-line, forwards video
from a key frame on and answers a status query.

Faults are named on the command line (--faults a,b,c) and run in that
order; FAULTS lists them.
"""
import asyncio
import struct

from . import wire
from .catalogue import LOGIC, RELAY
from .scenario import MILESTONES, Journal, Scenario

BASE_MILESTONES = MILESTONES[:8]  # directory .. video frames flowing
LONG = 1000
# Fixed text of the agent's answers: a logic refusal holds 75 characters
# of echoed values in its 256-byte area, a quality acknowledgement 159.
REFUSAL_ROOM = 255 - len(wire.envelope(16, [("msgId", ""), ("socketId", ""), ("msgType", ""),
                                            ("status", "0"), ("cameraId", ""),
                                            ("errorMsg", "device not support")]))
QUALITY_ACK_ROOM = 255 - len(wire.envelope(16, [("ViedoQP", "")]))
# The camera's clock record holds 31 characters and a zero byte.
TIME_ROOM = 31

FAULTS = {}


def fault(name, label):
    def register(fn):
        FAULTS[name] = (label, fn)
        return fn
    return register


def padded_frame(msg_type, params, body_length):
    """A text frame of exactly body_length body bytes: params plus a "pad"
    member that fills the rest."""
    bare = len(wire.text_frame(wire.envelope(msg_type, params + [("pad", "")]))) - 4
    fill = body_length - bare
    assert fill >= 0
    frame = wire.text_frame(wire.envelope(msg_type, params + [("pad", "p" * fill)]))
    assert len(frame) - 4 == body_length
    return frame


def noise_frames():
    """Frames that carry nothing the agent can act on. None of them names a
    message type that has an effect on either link."""
    f = wire.frame
    t = lambda text: wire.text_frame(text)
    return [
        f(b""),                                        # no kind byte at all
        f(b"X"), f(b"Xjunk"), f(b"\xff" * 64),         # unknown kinds
        f(b"V" + bytes(24) + b"payload"),              # a video packet, inbound
        f(b"0"),                                       # a text kind with no text
        f(b"0not a message\0"),
        f(b"0" + bytes(range(256))),                   # binary, NULs inside
        f(b"0" + b'{"msgType":99,"params":{"a":"b"}}'),  # no NUL at the end
        t(wire.envelope(99, [("a", "b")])),
        t(b'{"msgType":,"params":{}}'),
        t(b'{"msgType":'),                             # ends at the type marker
        t(b'"msgType":77'),                            # no comma after the type
        t(b'{"msgType":-5,"params":{:,::,:::,"":"",",",}}'),
        t(b'{"msgType":77,"params":{"a":"b"'),          # params never closed
        t(b'{"msgType":77' + b"," * 5000 + b"}"),
        t(b'{"msgType":99999999999999999999,"params":{"k":"v"}}'),
        t(b'{"msgType":77,"params":{' + b'"k":"v",' * 3000 + b"}}"),
        t(b'{"msgType":77,"params":{"' + b"\x80\xfe\x00\x01" * 200 + b'":"v"}}'),
    ]


def long_index():
    """A channel index of 1000 digits that, as the agent converts it (32-bit
    wrap-around), names no channel."""
    for digit in "987654321":
        text = digit * LONG
        value = int(text) % (1 << 32)
        if value not in (0, 1):  # channel 0 and the index that follows
            return text
    return "9" * LONG


class FaultFailed(Exception):
    pass


class FaultScenario(Scenario):
    def expect_milestones(self, opts, rec):
        for name, label in BASE_MILESTONES:
            rec.expect(name, label)
        for name in opts.faults:
            if name not in FAULTS:
                raise SystemExit("cloudsim: unknown fault %r (known: %s)"
                                 % (name, ", ".join(sorted(FAULTS))))
            label = FAULTS[name][0]
            rec.expect("fault_" + name, label)
            rec.expect("normal_" + name, "normal work after: " + label)
        if not opts.journal:
            rec.skip("cmd_forward", "no SDK journal given")

    async def run(self):
        o = self.o
        if not await self.wait_milestone("directory", o.start_timeout, fatal=True):
            return
        for name, timeout in (("login", 5), ("relay_login", 10), ("camera_state", 5)):
            if not await self.wait_milestone(name, timeout, fatal=True):
                return
        await self.wait_milestone("heartbeat", 3)
        await self.forwarding_on()
        for name in o.faults:
            label, step = FAULTS[name]
            self.rec.say("---- fault %s: %s" % (name, label))
            try:
                detail = await step(self)
                self.rec.reach("fault_" + name, detail or "")
            except FaultFailed as e:
                self.rec.miss("fault_" + name, str(e))
            await self.normal(name)

    # --------------------------------------------------------------- checks
    def logic_up(self):
        link = self.cloud.logic
        return link is not None and not link.closed and link.logged_in

    def relay_up(self):
        link = self.cloud.relay
        return link is not None and not link.closed and link.logged_in

    async def need(self, predicate, timeout, why):
        if not await self.until(predicate, timeout):
            raise FaultFailed(why)

    async def normal(self, tag):
        """The normal work, from a fresh assignment to a command answered."""
        name = "normal_" + tag
        cloud, rec = self.cloud, self.rec
        try:
            await self.need(self.logic_up, 30, "no logged-in logic link")
            logic = cloud.logic
            cloud.send_login_answers(logic)
            before = len(cloud.relay_links)
            states = len(rec.camera_states)
            cloud.send_assignment(logic)
            await self.need(lambda: len(cloud.relay_links) > before and self.relay_up(), 8,
                            "no relay login on a new link after the assignment")
            await self.need(lambda: any(s["active"] == "1" for s in rec.camera_states[states:]),
                            3, "camera not reported on-line")
            link = await self.video_on_current_link(5)
            if not link.first_video.key:
                raise FaultFailed("first frame on the new relay link is not a key frame")
            start = len(cloud.relay_in)
            self.relay_send(17)
            await self.need(lambda: self.reply_after(cloud.relay_in, start, 17), 3,
                            "no answer to a status query")
        except FaultFailed as e:
            rec.miss(name, str(e))
            return
        rec.reach(name, "relay link %d logged in, camera on-line, key frame, status answered"
                  % len(cloud.relay_links))

    async def video_on_current_link(self, timeout):
        """Asks the current relay link for video (once per link) until one
        delivers a frame. The link may be replaced meanwhile."""
        cloud = self.cloud
        asked = set()

        def flowing():
            link = cloud.relay
            if link is None or link.closed or not link.logged_in:
                return False
            if id(link) not in asked:
                asked.add(id(link))
                self.relay_send(2)
            return link.first_video is not None
        await self.need(flowing, timeout, "no video on the relay link")
        return cloud.relay

    async def refusal(self, link, values, timeout=3.0):
        """Sends a logic type 16 request; returns its answer or None."""
        cloud = self.cloud
        start = len(cloud.logic_in)
        keys = ("msgId", "socketId", "msgType", "cameraId")
        cloud.send(link, 16, list(zip(keys, values)))
        want = values[0].encode()

        def answer():
            for _, msg in cloud.logic_in[start:]:
                if msg.type == 16 and msg.get("msgId") == want:
                    return msg
            return None
        await self.until(answer, timeout)
        return answer()

    def answers_since(self, link_list, start, msg_type):
        return [m for _, m in link_list[start:] if m.type == msg_type]

    async def dribble(self, link, data, gap=0.002):
        for i in range(len(data)):
            if link.closed:
                raise FaultFailed("the link closed while dribbling")
            link.writer.write(data[i:i + 1])
            await link.writer.drain()
            await asyncio.sleep(gap)

    async def new_logic_login(self, old, timeout, why):
        await self.need(lambda: self.cloud.logic is not old and self.logic_up(), timeout, why)
        return self.cloud.logic

    async def relay_settled(self):
        """Waits until the relay link has held 10 s: the agent's next loss
        then counts as the first in a row, and is retried within 2 s."""
        await self.need(lambda: self.relay_up() and self.cloud.relay.age(self.rec.now()) >= 10.5, 15,
                        "no relay link held 10 s")

    async def agent_closes(self, link, timeout, why):
        await self.need(lambda: link.agent_closed_at is not None, timeout, why)

    async def relay_quiet(self, link, seconds):
        """True when no new relay link appeared for the given time."""
        before = len(self.cloud.relay_links)
        await asyncio.sleep(seconds)
        return len(self.cloud.relay_links) == before and not link.closed

    def journal_since(self, mark, prefix):
        self.journal.poll()
        return [x for x in self.journal.lines[mark:] if x.startswith(prefix)]

    async def alarm_fifo(self):
        if not self.o.alarm_fifo:
            raise FaultFailed("no alarm FIFO given")
        if not await self.write_fifo(b"motion\n"):
            raise FaultFailed("cannot write the alarm FIFO")

    def spare_port_digits(self):
        """A long run of digits whose 16 low bits, as the agent converts it,
        name no port of this cloud."""
        ours = {self.cloud.logic_port, self.cloud.relay_port, self.cloud.upload_port, 8080}
        for digit in "987654321":
            text = digit * LONG
            if int(text) % (1 << 32) & 0xFFFF not in ours:
                return text
        return "9" * LONG


# ----------------------------------------------------------- logic link
@fault("logic-noise", "logic link: empty frames, unknown kinds, garbage texts, unknown types")
async def logic_noise(self):
    link = self.cloud.logic
    for data in noise_frames():
        self.cloud.write_raw(link, data)
    answer = await self.refusal(link, ["after-noise", "1", "9", "c"])
    if self.cloud.logic is not link or link.closed:
        raise FaultFailed("the agent dropped the logic link")
    if answer is None:
        raise FaultFailed("no answer to a request sent after the noise")
    return "%d frames ignored, the link stayed up and the next request was answered" \
        % len(noise_frames())


@fault("logic-dribble", "logic link: a request one byte at a time, two requests in one write")
async def logic_dribble(self):
    cloud = self.cloud
    link = cloud.logic
    start = len(cloud.logic_in)
    frame = wire.text_frame(wire.envelope(16, [("msgId", "drip"), ("socketId", "3"),
                                               ("msgType", "9"), ("cameraId", "c")]))
    await self.dribble(link, frame)
    await self.need(lambda: self.answers_since(cloud.logic_in, start, 16), 3,
                    "no answer to the dribbled request")
    both = b"".join(wire.text_frame(wire.envelope(16, [("msgId", m), ("socketId", "3"),
                                                        ("msgType", "9"), ("cameraId", "c")]))
                    for m in ("pair-1", "pair-2"))
    cloud.write_raw(link, both)
    await self.need(lambda: len(self.answers_since(cloud.logic_in, start, 16)) >= 3, 3,
                    "two requests in one write were not both answered")
    await asyncio.sleep(0.2)
    ids = [m.get("msgId") for m in self.answers_since(cloud.logic_in, start, 16)]
    if ids != [b"drip", b"pair-1", b"pair-2"]:
        raise FaultFailed("answers %s, expected drip, pair-1, pair-2" % ids)
    return "%d bytes dribbled: answered once; two requests in one write: answered in order" \
        % len(frame)


@fault("logic-overlong", "logic link: overlong values in every field and lists of 500 elements")
async def logic_overlong(self):
    link = self.cloud.logic
    notes = [await overlong_refusals(self, link), await overlong_texts(self, link),
             await overlong_lists(self, link), await overlong_relay_id(self, link),
             await overlong_relay_address(self, link)]
    if self.cloud.logic is not link or link.closed:
        raise FaultFailed("the logic link dropped")
    return "; ".join(notes)


REFUSAL_KEYS = ("msgId", "socketId", "msgType", "cameraId")
# Refusal values that total exactly the room of the answer.
REFUSAL_FITS = ["k" * (REFUSAL_ROOM - 3), "1", "9", "c"]


async def overlong_refusals(self, link):
    """Refusals: values that overflow the answer get no answer; 75
    characters in all still fit."""
    cloud = self.cloud
    start = len(cloud.logic_in)
    over = ["m" * (REFUSAL_ROOM - 2), "1", "9", "c"]       # one character too many
    cloud.send(link, 16, list(zip(REFUSAL_KEYS, ["L" * LONG] * 4)))
    cloud.send(link, 16, list(zip(REFUSAL_KEYS, over)))
    answer = await self.refusal(link, REFUSAL_FITS)
    if answer is None:
        raise FaultFailed("a refusal whose values total %d characters was not answered"
                          % REFUSAL_ROOM)
    await asyncio.sleep(0.2)
    answers = self.answers_since(cloud.logic_in, start, 16)
    if len(answers) != 1 or len(answer.text) != 255:
        raise FaultFailed("%d refusals answered (expected only the one that fits), "
                          "answer of %d characters" % (len(answers), len(answer.text)))
    return ("refusal values of %d characters answered (255-character text), %d and "
            "4x%d not answered" % (REFUSAL_ROOM, REFUSAL_ROOM + 1, LONG))


async def overlong_texts(self, link):
    """Settings, user and status texts far beyond any buffer."""
    cloud, rec = self.cloud, self.rec
    cloud.send(link, 1, [("status", "1"), ("Version", "V" * LONG), ("sysTime", "T" * LONG),
                         ("updateUrl", "http://" + "u" * LONG), ("uploadUrl", cloud.upload_url)])
    cloud.send(link, 1, [("status", "S" * LONG)])
    cloud.send(link, 2, [("userId", "U" * LONG), ("nodeId", "N" * LONG),
                         ("nodeName", "M" * LONG)])
    # The agent handles logic messages in order: once it has answered a
    # refusal sent after them, it holds the long texts, so the alarm below
    # cannot overtake them.
    if await self.refusal(link, ["sync"] + REFUSAL_FITS[1:]) is None:
        raise FaultFailed("no answer to the refusal sent after the long texts")
    # An alarm now uploads the snapshot (the upload server's answer has a
    # status line and a header line of 4000 characters: still a success,
    # and the agent's console says so), but the report cannot hold the
    # user's texts: it is not sent (and not cut).
    cloud.upload_answer = (b"HTTP/1.0 200 " + b"O" * 4000 + b"\r\nX-Long: " + b"h" * 4000 +
                           b"\r\n\r\n")
    uploads = len(rec.uploads)
    reports = len(rec.alarm_reports)
    await self.alarm_fifo()
    await self.need(lambda: len(rec.uploads) > uploads, 8, "no upload for the alarm")
    await asyncio.sleep(0.8)
    cloud.upload_answer = None
    if len(rec.alarm_reports) != reports:
        raise FaultFailed("an alarm report was sent with the overlong user texts")
    return ("1000-character settings and user texts stored; the alarm uploaded its "
            "snapshot (answer lines of 4000 characters) and sent no report")


async def overlong_lists(self, link):
    """Camera lists: 500 elements whose counts differ post nothing; 500
    where only the last names channel 0 reconnect channel 0 once."""
    cloud = self.cloud
    host, port = self.o.host, str(cloud.relay_port)
    n = 500
    ids = ["c%d" % i for i in range(n - 1)] + [self.o.camera_id]
    indexes = [long_index()] + [str(i) for i in range(2, n)] + ["0"]
    relay = cloud.relay
    before = len(cloud.relay_links)
    cloud.send(link, 3, [("cameraIdList", ";".join(ids)), ("cameraIndexList", ";".join(indexes)),
                         ("transIpList", ";".join([host] * n)),
                         ("transPortList", ";".join([port] * (n - 1)))])
    if not await self.relay_quiet(relay, 0.6):
        raise FaultFailed("lists of different lengths moved the relay link")
    cloud.send(link, 3, [("cameraIdList", ";".join(ids)), ("cameraIndexList", ";".join(indexes)),
                         ("transIpList", ";".join([host] * n)),
                         ("transPortList", ";".join([port] * n))])
    await self.need(lambda: len(cloud.relay_links) == before + 1 and self.relay_up(), 4,
                    "500-element lists did not reconnect channel 0")
    if not await self.relay_quiet(cloud.relay, 0.5):
        raise FaultFailed("500-element lists reconnected channel 0 more than once")
    return "500-element lists: unequal ones ignored, equal ones reconnect channel 0 once"


async def overlong_relay_id(self, link):
    """A relay id too long for the relay login: the agent refuses the
    assignment whole, so the link it has stays as it was."""
    cloud, rec = self.cloud, self.rec
    relay = cloud.relay
    states = len(rec.camera_states)
    cloud.send(link, 3, [("cameraIdList", "I" * LONG), ("cameraIndexList", "0"),
                         ("transIpList", self.o.host), ("transPortList", str(cloud.relay_port))])
    if not await self.relay_quiet(relay, 1.2):
        raise FaultFailed("the assignment with the 1000-character id moved the relay link")
    if rec.camera_states[states:]:
        raise FaultFailed("camera state reported for the long id: %s"
                          % [s["cameraId"][:20] for s in rec.camera_states[states:]])
    if not self.relay_up():
        raise FaultFailed("the relay link is not up after the refused assignment")
    return "1000-character relay id: assignment refused, relay link kept, no camera state"


async def overlong_relay_address(self, link):
    """A relay host name and a port far too long."""
    cloud = self.cloud
    host, port = self.o.host, str(cloud.relay_port)
    connections = len(cloud.relay_links)
    cloud.send(link, 3, [("cameraIdList", self.o.camera_id), ("cameraIndexList", "0"),
                         ("transIpList", "h" * LONG), ("transPortList", port)])
    await asyncio.sleep(1.2)
    cloud.send(link, 3, [("cameraIdList", self.o.camera_id), ("cameraIndexList", "0"),
                         ("transIpList", host), ("transPortList", self.spare_port_digits())])
    await asyncio.sleep(1.2)
    if len(cloud.relay_links) != connections:
        raise FaultFailed("a relay link came up with a 1000-character host or port")
    return "1000-character relay host and port: no link"


@fault("logic-cut", "logic server closes in the middle of a frame")
async def logic_cut(self):
    cloud = self.cloud
    old = cloud.logic
    frame = wire.text_frame(wire.envelope(16, [("msgId", "cut"), ("socketId", "1"),
                                               ("msgType", "9"), ("cameraId", "c")]))
    cloud.write_raw(old, frame[:len(frame) // 2])
    await asyncio.sleep(0.1)
    dropped_at = self.rec.now()
    cloud.drop(old)
    new = await self.new_logic_login(old, 4, "no new logic link with a device login")
    if any(m.type == 16 and m.get("msgId") == b"cut" for _, m in cloud.logic_in):
        raise FaultFailed("the half frame was answered")
    return "device login on a new logic link %.2f s after the cut" \
        % (new.opened_at - dropped_at)


@fault("logic-oversize", "logic link: the largest frame, then lengths over 262140")
async def logic_oversize(self):
    cloud = self.cloud
    link = cloud.logic
    big = padded_frame(16, [("msgId", "max"), ("socketId", "1"), ("msgType", "9"),
                            ("cameraId", "c")], wire.MAX_BODY)
    start = len(cloud.logic_in)
    cloud.write_raw(link, big)
    await self.need(lambda: any(m.get("msgId") == b"max"
                                for m in self.answers_since(cloud.logic_in, start, 16)), 3,
                    "a frame of %d body bytes was not answered" % wire.MAX_BODY)
    done = []
    for length in (wire.MAX_BODY + 1, 0xFFFFFFFF):
        link = cloud.logic
        cloud.write_raw(link, struct.pack("<I", length) + b"0" * 64)
        await self.agent_closes(link, 3, "length %d did not close the logic link" % length)
        await self.new_logic_login(link, 4, "no new logic link after length %d" % length)
        done.append(str(length))
    return "frame of %d body bytes answered; lengths %s closed the link, which came back" \
        % (wire.MAX_BODY, " and ".join(done))


# ----------------------------------------------------------- relay link
@fault("relay-noise", "relay link: empty frames, unknown kinds, garbage texts, unknown types")
async def relay_noise(self):
    cloud = self.cloud
    link = cloud.relay
    for data in noise_frames():
        cloud.write_raw(link, data)
    start = len(cloud.relay_in)
    self.relay_send(17)
    await self.need(lambda: self.reply_after(cloud.relay_in, start, 17), 3,
                    "no answer to a status query after the noise")
    if cloud.relay is not link or link.closed:
        raise FaultFailed("the agent dropped the relay link")
    return "%d frames ignored; same link, status answered" % len(noise_frames())


@fault("relay-dribble", "relay link: a command one byte at a time, two commands in one write")
async def relay_dribble(self):
    cloud = self.cloud
    link = cloud.relay
    start = len(cloud.relay_in)
    await self.dribble(link, wire.text_frame(wire.envelope(17, [("x", "1")])))
    await self.need(lambda: self.reply_after(cloud.relay_in, start, 17), 3,
                    "no answer to the dribbled status query")
    start = len(cloud.relay_in)
    cloud.write_raw(link, wire.text_frame(wire.envelope(10, [])) +
                    wire.text_frame(wire.envelope(12, [])))
    await self.need(lambda: [m.type for _, m in cloud.relay_in[start:]] == [10, 12], 3,
                    "two commands in one write were not both answered, in order")
    return "dribbled status query answered; commands 10 and 12 in one write answered in order"


@fault("relay-overlong", "relay link: overlong quality, time and PTZ values, the largest frame")
async def relay_overlong(self):
    cloud = self.cloud
    link = cloud.relay
    notes = []
    mark = self.journal.mark()

    def acks(start):
        return [m.get("ViedoQP") for m in self.answers_since(cloud.relay_in, start, 16)]

    # Quality texts: the longest that fits is echoed; longer ones are not.
    start = len(cloud.relay_in)
    for level in ("Q" * LONG, "q" * (QUALITY_ACK_ROOM + 1), "r" * QUALITY_ACK_ROOM):
        self.relay_send(16, [("ViedoQP", level)])
    await self.need(lambda: acks(start), 3, "no acknowledgement of a %d-character level"
                    % QUALITY_ACK_ROOM)
    await asyncio.sleep(0.4)
    if acks(start) != [b"r" * QUALITY_ACK_ROOM]:
        raise FaultFailed("acknowledged %d levels of lengths %s"
                          % (len(acks(start)), [len(a) for a in acks(start)]))
    # An unknown level leaves the stream stopped; level 4 starts it again.
    start = len(cloud.relay_in)
    segments = len(cloud.segments)
    cloud.quality, cloud.quality_sent_at = "4", self.rec.now()
    self.relay_send(16, [("ViedoQP", "4")])
    await self.need(lambda: acks(start) == [b"4"], 3, "level 4 not acknowledged")
    await self.need(lambda: len(cloud.segments) > segments, 5, "no video after level 4")
    notes.append("quality level of %d characters echoed, %d and %d not; level 4 restarts "
                 "the video" % (QUALITY_ACK_ROOM, QUALITY_ACK_ROOM + 1, LONG))

    # Time texts: the camera's record holds 31 characters.
    base = "2015-06-01 12:30:45"
    fits = base + "1" * (TIME_ROOM - len(base))
    for text in (base + "9" * LONG, base + "8" * (TIME_ROOM + 1 - len(base)), fits):
        self.relay_send(18, [("Time", text)])
    want = "SetConfig 4119 " + fits.replace(" ", ".", 1).replace("-", ".").replace(":", ".")
    await self.need(lambda: self.journal_since(mark, "SetConfig 4119"), 3,
                    "no clock set for a %d-character time" % TIME_ROOM)
    await asyncio.sleep(0.3)
    if self.journal_since(mark, "SetConfig 4119") != [want]:
        raise FaultFailed("clock set %s, expected only %r"
                          % (self.journal_since(mark, "SetConfig 4119"), want))
    notes.append("time of %d characters set, %d and %d refused"
                 % (TIME_ROOM, TIME_ROOM + 1, len(base) + LONG))

    # A PTZ number of 1000 digits and a status query in the largest frame.
    ptz = len(self.journal_since(mark, "PTZ_Ctrl_StandardEx"))
    self.relay_send(9, [("PTZCommand", "9" * LONG)])
    await self.need(lambda: len(self.journal_since(mark, "PTZ_Ctrl_StandardEx")) > ptz, 3,
                    "no PTZ call for a 1000-digit command")
    start = len(cloud.relay_in)
    cloud.write_raw(link, padded_frame(17, [], wire.MAX_BODY))
    await self.need(lambda: self.reply_after(cloud.relay_in, start, 17), 3,
                    "no answer to a status query of %d body bytes" % wire.MAX_BODY)
    notes.append("1000-digit PTZ command passed on; status query of %d body bytes answered"
                 % wire.MAX_BODY)
    if cloud.relay is not link or link.closed:
        raise FaultFailed("the relay link dropped")
    return "; ".join(notes)


@fault("relay-stall", "relay server stops reading while video flows")
async def relay_stall(self):
    cloud = self.cloud
    link = await self.video_on_current_link(5)
    seconds = self.o.stall_seconds
    fds0, rss0 = cloud.agent_fds(), cloud.agent_rss_kb()
    if rss0 is None:
        raise FaultFailed("cannot read the agent's memory (no --agent-pid-file?)")
    frames0 = link.frames
    link.reading.clear()
    # Long enough for the socket buffers and all ten packet slots to fill.
    await asyncio.sleep(1.5)
    fds1, rss1 = cloud.agent_fds(), cloud.agent_rss_kb()
    await asyncio.sleep(seconds)
    fds2, rss2 = cloud.agent_fds(), cloud.agent_rss_kb()
    gaps = cloud.rec.video["sequence_gaps"]
    link.reading.set()
    # The backlog drains, then video resumes after a gap (the frames the
    # agent numbered and dropped), from a key frame.
    self.relay_send(2)
    await self.need(lambda: cloud.rec.video["sequence_gaps"] > gaps, 5,
                    "video did not resume after a gap")
    before, after = cloud.last_gap
    dropped = after - before - 1
    self.rec.extra["relay_stall"] = {
        "stall_s": seconds + 1.5, "frames_before": frames0, "frames_dropped": dropped,
        "fds": [fds0, fds1, fds2], "rss_kb": [rss0, rss1, rss2],
        "tolerance_kb": self.o.rss_tolerance_kb}
    if cloud.relay is not link or link.closed:
        raise FaultFailed("the relay link dropped during the stall")
    # After the first frame it cannot queue, the agent waits for a key frame
    # and skips the others unnumbered: only the key frames it tried to queue
    # show in the gap.
    if dropped < 1:
        raise FaultFailed("no frame dropped: the stall did not back up onto the agent")
    if rss2 - rss1 > self.o.rss_tolerance_kb:
        raise FaultFailed("memory grew %d KiB while the server did not read (%d -> %d KiB)"
                          % (rss2 - rss1, rss1, rss2))
    if fds2 != fds0:
        raise FaultFailed("descriptors %d before the stall, %d after" % (fds0, fds2))
    return "not read for %.1f s: VmRSS %d -> %d -> %d KiB, %d descriptors; %d frames dropped, " \
        "then resumed from a key frame on the same link" % (seconds + 1.5, rss0, rss1, rss2, fds2,
                                                            dropped)


@fault("relay-cut", "relay server closes in the middle of a frame")
async def relay_cut(self):
    cloud = self.cloud
    old = cloud.relay
    await self.need(lambda: old.age(self.rec.now()) >= 1.05, 2, "relay link too young")
    frame = wire.text_frame(wire.envelope(17, [("x", "1")]))
    cloud.write_raw(old, frame[:len(frame) // 2])
    await asyncio.sleep(0.1)
    dropped_at = self.rec.now()
    cloud.drop(old)
    await self.need(lambda: cloud.relay is not old and self.relay_up(), 3,
                    "no relay login on a new link after the cut")
    return "relay login again %.2f s after the cut" % (cloud.relay.opened_at - dropped_at)


@fault("relay-oversize", "relay link: lengths over 262140")
async def relay_oversize(self):
    cloud = self.cloud
    done = []
    await self.relay_settled()
    for length in (0xFFFFFFFF, wire.MAX_BODY + 1):
        link = cloud.relay
        cloud.write_raw(link, struct.pack("<I", length) + b"0" * 64)
        await self.agent_closes(link, 3, "length %d did not close the relay link" % length)
        # The second link lives under 10 s, so its loss is the second in a
        # row: the reconnect waits up to 6 s.
        await self.need(lambda: cloud.relay is not link and self.relay_up(), 8,
                        "no relay login after length %d" % length)
        done.append(str(length))
    return "lengths %s each closed the relay link, which came back" % " and ".join(done)


@fault("relay-refuse", "relay server refuses connections for a while")
async def relay_refuse(self):
    cloud, rec = self.cloud, self.rec
    await self.relay_settled()
    old = cloud.relay
    states = len(rec.camera_states)
    await cloud.refuse(RELAY)
    cloud.drop(old)
    await self.need(lambda: any(s["active"] == "0" for s in rec.camera_states[states:]), 4,
                    "camera not reported off-line while the relay server refuses")
    await asyncio.sleep(1.0)
    reopened = rec.now()
    await cloud.reopen(RELAY)
    # The refused attempt was the second loss in a row: its wait is up to 6 s.
    await self.need(lambda: cloud.relay is not old and self.relay_up(), 8,
                    "no relay login after the server listens again")
    await self.need(lambda: rec.camera_states[-1]["active"] == "1", 3,
                    "camera not reported on-line again")
    return "camera reported off-line, relay login %.1f s after the server listened again" \
        % (cloud.relay.opened_at - reopened)


@fault("upload-overlong-url", "upload URL of 1000 characters")
async def upload_overlong_url(self):
    cloud, rec = self.cloud, self.rec
    mark = self.journal.mark()
    seen = len(cloud.uploads_seen)
    reports = len(rec.alarm_reports)
    cloud.send(cloud.logic, 1, [("status", "1"), ("Version", "1"), ("sysTime", "t"),
                                ("updateUrl", "u"),
                                ("uploadUrl", "http://%s:%d/%s" % (self.o.host, cloud.upload_port,
                                                                   "x" * LONG))])
    await asyncio.sleep(0.2)
    await self.alarm_fifo()
    await self.need(lambda: self.journal_since(mark, "SnapJpeg"), 3, "no snapshot for the alarm")
    await asyncio.sleep(1.0)
    if len(cloud.uploads_seen) != seen:
        raise FaultFailed("the upload server was contacted with a 1000-character path")
    if len(rec.alarm_reports) != reports:
        raise FaultFailed("an alarm was reported without an upload")
    return "snapshot taken, upload refused before any connection, no report"


# ------------------------------------------------- the agent's own waits
@fault("silences", "silent relay, logic and upload servers; logic refuses; directory answers "
       "a 1000-character logic server")
async def silences(self):
    """The slow faults together: each one makes the agent wait for one of its
    own time-outs, and they overlap."""
    cloud, rec = self.cloud, self.rec
    relay = cloud.relay
    t0 = rec.now()
    facts = {}
    # Silent relay and logic servers: the agent keeps heartbeating.
    cloud.relay_silent = cloud.logic_silent = True
    relay_beats = relay.heartbeats
    # An alarm whose upload server takes the request and never answers.
    cloud.upload_silent = True
    await self.alarm_fifo()
    await self.need(lambda: cloud.uploads_seen and cloud.uploads_seen[-1]["bytes"] > 0, 5,
                    "no upload request for the alarm")
    upload = cloud.uploads_seen[-1]
    # The logic server refuses: the agent retries it on its backoff
    # schedule and, once it has failed for about 30 s, asks the directory
    # again; that answer names a logic server of 1000 characters and a
    # 1000-digit port.
    directory_asked = rec.connections["directory"]
    logic_links = len(cloud.logic_links)
    await cloud.refuse(LOGIC)
    refused_at = rec.now()
    cloud.drop(cloud.logic)
    cloud.directory_answers = [("l" * LONG, "7" * LONG)]

    # While the logic side pauses, the relay link keeps going on its own.
    await self.need(lambda: relay.heartbeats > relay_beats, 13,
                    "no relay heartbeat towards the silent relay server")
    facts["relay_heartbeat_s"] = round(rec.now() - t0, 1)
    if relay.closed or cloud.relay is not relay:
        raise FaultFailed("the relay link dropped while its server was silent")
    cloud.relay_silent = False
    await self.need(lambda: upload["closed_at"] is not None, 14,
                    "the agent did not give up the unanswered upload")
    facts["upload_open_s"] = round(upload["closed_at"] - upload["accepted_at"], 1)
    if not 9.0 <= facts["upload_open_s"] <= 12.5:
        raise FaultFailed("the unanswered upload was given up after %.1f s, expected about 10"
                          % facts["upload_open_s"])
    start = len(cloud.relay_in)
    self.relay_send(17)
    await self.need(lambda: self.reply_after(cloud.relay_in, start, 17), 3,
                    "no status answer while the logic session pauses")

    await silences_logic_again(self, facts, directory_asked, refused_at, logic_links)
    cloud.logic_silent = False
    cloud.upload_silent = False
    if rec.alarm_reports:
        raise FaultFailed("an alarm was reported although its upload was never answered")
    rec.extra["silences"] = facts
    return ("relay heartbeat at %.1f s; unanswered upload given up after %.1f s, no report; "
            "refused logic: directory again after %.1f s; 1000-character logic server: "
            "no connection, lookup again after %.1f s; silent logic server got login and "
            "heartbeat" % (facts["relay_heartbeat_s"], facts["upload_open_s"],
                           facts["directory_again_s"], facts["directory_third_s"]))


async def silences_logic_again(self, facts, directory_asked, refused_at, logic_links):
    """The logic side of the silences, after the refusals: the directory is
    asked again 30 to 60 s after the failures began, the overlong answer
    makes the session fail at once and wait its turn at the schedule's cap
    (1 to 60 s, never at once), the third answer is the real one, and the
    silent logic server gets a login and a heartbeat."""
    cloud, rec = self.cloud, self.rec
    await self.need(lambda: rec.connections["directory"] > directory_asked, 70,
                    "the directory was not asked again after the logic server refused")
    facts["directory_again_s"] = round(rec.now() - refused_at, 1)
    if facts["directory_again_s"] < 29.0:
        raise FaultFailed("directory asked again %.1f s after the refusals began, expected "
                          "after about 30 s of failures" % facts["directory_again_s"])
    await cloud.reopen(LOGIC)
    answers = rec.extra["directory_answers"]
    await self.need(lambda: len(answers) >= 3, 65, "the directory was not asked a third time")
    # Compare unrounded times: the agent connects to the logic server well
    # within a millisecond of the answer.
    second, third = answers[-2]["at"], answers[-1]["at"]
    facts["directory_third_s"] = round(third - second, 1)
    between = [l for l in cloud.logic_links[logic_links:] if l.opened_at < third]
    if between or facts["directory_third_s"] < 0.9:
        raise FaultFailed("after the 1000-character logic server: %d logic connections, "
                          "next lookup after %.1f s" % (len(between), facts["directory_third_s"]))
    # The logic server takes the login and stays silent: the agent logs in,
    # heartbeats at once (a new session) and does not hang.
    await self.need(self.logic_up, 8, "no device login after the third lookup")
    logic = cloud.logic
    await self.need(lambda: logic.heartbeats > 0, 3, "no heartbeat to the silent logic server")
    await asyncio.sleep(1.0)
    if logic.closed:
        raise FaultFailed("the agent dropped the silent logic link")


# ------------------------------------------------ floods (reproducers)
# A logic server that floods the agent with work: each message is valid on
# its own. Not part of the end-to-end runs; see the fault report.
FLOOD_FRAMES = 20


def rss_watch(self, seconds):
    """Highest VmRSS in KiB seen over the given time, sampled every 50 ms."""
    async def watch():
        peak = 0
        loop = asyncio.get_running_loop()
        end = loop.time() + seconds
        while loop.time() < end:
            peak = max(peak, self.cloud.agent_rss_kb() or 0)
            await asyncio.sleep(0.05)
        return peak
    return watch()


@fault("logic-assignment-flood", "logic server floods channel 0 with relay assignments")
async def logic_assignment_flood(self):
    cloud = self.cloud
    link = cloud.logic
    rss0 = cloud.agent_rss_kb()
    # Largest frames, each element naming channel 0 on a relay host that
    # does not resolve: every request costs the agent one failed lookup.
    element = 8  # "f;" "0;" "x;" "1;"
    n = (wire.MAX_BODY - 200) // element
    params = [("cameraIdList", ";".join(["f"] * n)), ("cameraIndexList", ";".join(["0"] * n)),
              ("transIpList", ";".join(["x"] * n)), ("transPortList", ";".join(["1"] * n))]
    data = wire.text_frame(wire.envelope(3, params))
    for _ in range(FLOOD_FRAMES):
        cloud.write_raw(link, data)
        await link.writer.drain()
    peak = await rss_watch(self, 3.0)
    self.rec.extra["assignment_flood"] = {"requests": n * FLOOD_FRAMES, "rss_kb_before": rss0,
                                          "rss_kb_peak": peak}
    if peak - rss0 > 4096:
        raise FaultFailed("%d queued relay requests: VmRSS %d -> %d KiB"
                          % (n * FLOOD_FRAMES, rss0, peak))
    return "%d relay requests: VmRSS %d -> %d KiB" % (n * FLOOD_FRAMES, rss0, peak)


@fault("logic-retry-flood", "logic server answers the device login with status -2 over and over")
async def logic_retry_flood(self):
    cloud = self.cloud
    link = cloud.logic
    rss0 = cloud.agent_rss_kb()
    one = wire.text_frame(wire.envelope(1, [("status", "-2")]))
    count = 200000
    batch = one * 1000
    for _ in range(count // 1000):
        cloud.write_raw(link, batch)
        await link.writer.drain()
    cpu0 = cloud.agent_cpu_s()
    peak = await rss_watch(self, 3.0)
    cpu = (cloud.agent_cpu_s() or 0) - (cpu0 or 0)
    self.rec.extra["retry_flood"] = {"answers": count, "rss_kb_before": rss0, "rss_kb_peak": peak,
                                     "cpu_s_in_3_s": round(cpu, 2)}
    # A camera state now waits behind every queued retry, and the session
    # scans the whole queue on every pass while it waits.
    states = len(self.rec.camera_states)
    cloud.send_assignment(link)
    cpu0, t0 = cloud.agent_cpu_s(), self.rec.now()
    reported = await self.until(lambda: len(self.rec.camera_states) > states, 60)
    delay = self.rec.now() - t0
    cpu_wait = (cloud.agent_cpu_s() or 0) - (cpu0 or 0)
    self.rec.extra["retry_flood"].update(camera_state_delay_s=round(delay, 1),
                                         cpu_s_while_waiting=round(cpu_wait, 1))
    text = "%d answers with status -2: VmRSS %d -> %d KiB; camera state %s after %.1f s, " \
        "%.1f CPU seconds meanwhile" % (count, rss0, peak, "reported" if reported else
                                        "still not reported", delay, cpu_wait)
    if peak - rss0 > 4096 or delay > 3:
        raise FaultFailed(text)
    return text
