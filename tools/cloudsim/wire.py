"""Framing, envelope and video packet layout of the cloud links.

Every TCP link but the HTTP upload carries frames: a 4-byte little-endian
length L, then L body bytes whose first byte is the kind: '0' for a message
text (the text, then one NUL) or 'V' for a video packet (a 24-byte media
header, then the payload).
"""
import re
import struct

KIND_TEXT = 0x30  # '0'
KIND_VIDEO = 0x56  # 'V'
# The agent's receive buffer holds 262144 bytes including the length field.
MAX_BODY = 262140

TIME_SEP = b"-842150451"
HEAD = b'{"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":'
TAIL = b'"version":1}'

MEDIA_HEADER = struct.Struct("<HHIIIII")
assert MEDIA_HEADER.size == 24
STREAM_KIND = 12


def frame(body):
    """A whole frame around a body (kind byte included)."""
    return struct.pack("<I", len(body)) + body


def text_frame(text):
    """The frame of one message text: kind '0', the text, one NUL."""
    if isinstance(text, str):
        text = text.encode("ascii")
    return frame(bytes([KIND_TEXT]) + text + b"\0")


def _quote(value):
    if isinstance(value, str):
        value = value.encode("utf-8")
    return b'"' + value + b'"'


def envelope(msg_type, params=None):
    """A message text: the fixed envelope with its members in order and no
    blanks. params is a list of (key, value) pairs, or None for a message
    without a params member (the heartbeat). Values are put in quotes as
    they are, without escaping."""
    out = HEAD + str(int(msg_type)).encode() + b","
    if params is not None:
        members = b",".join(_quote(k) + b":" + _quote(v) for k, v in params)
        out += b'"params":{' + members + b"},"
    return out + TAIL


HEARTBEAT = envelope(0)


class FrameError(Exception):
    pass


class FrameReader:
    """Cuts a byte stream into frame bodies."""

    def __init__(self, max_body=MAX_BODY):
        self._buf = bytearray()
        self.max_body = max_body

    def feed(self, data):
        self._buf += data
        bodies = []
        while len(self._buf) >= 4:
            (length,) = struct.unpack_from("<I", self._buf, 0)
            if length > self.max_body:
                raise FrameError("frame length %d exceeds %d" % (length, self.max_body))
            if len(self._buf) - 4 < length:
                break
            bodies.append(bytes(self._buf[4:4 + length]))
            del self._buf[:4 + length]
        return bodies

    @property
    def pending(self):
        return len(self._buf)


# One regular expression for the whole envelope: the agent's texts must
# match it exactly, with no blanks and the members in this order.
_ENVELOPE = re.compile(
    rb'\A\{"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":(0|[1-9][0-9]*),'
    rb'(?:"params":\{(.*)\},)?"version":1\}\Z', re.S)
_MEMBER = re.compile(rb'"([^"]*)":"([^"]*)"')


class Message:
    """A message text read strictly: type, ordered params, raw text."""

    def __init__(self, msg_type, params, text):
        self.type = msg_type
        self.params = params  # list of (key, value) bytes, or None
        self.text = text

    def get(self, key, default=b""):
        if isinstance(key, str):
            key = key.encode()
        for k, v in self.params or ():
            if k == key:
                return v
        return default

    def keys(self):
        return [k.decode("latin-1") for k, _ in self.params or ()]

    def __repr__(self):
        return "Message(%d, %r)" % (self.type, self.params)


def parse_text(text):
    """Reads one message text strictly. Returns (Message, None) or
    (None, reason)."""
    m = _ENVELOPE.match(text)
    if not m:
        return None, "not a well-formed envelope"
    msg_type = int(m.group(1))
    body = m.group(2)
    if body is None:
        return Message(msg_type, None, text), None
    params = []
    pos = 0
    while pos < len(body):
        mm = _MEMBER.match(body, pos)
        if not mm:
            return None, "malformed params at byte %d" % pos
        params.append((mm.group(1), mm.group(2)))
        pos = mm.end()
        if pos < len(body):
            if body[pos:pos + 1] != b",":
                return None, "malformed params at byte %d" % pos
            pos += 1
            if pos == len(body):
                return None, "trailing comma in params"
    return Message(msg_type, params, text), None


def parse_text_body(body):
    """A kind '0' frame body: checks the kind byte and the single trailing
    NUL, returns (text, problem)."""
    if not body or body[0] != KIND_TEXT:
        return None, "not a text frame"
    if len(body) < 2 or body[-1] != 0:
        return body[1:], "text frame does not end with one NUL byte"
    text = body[1:-1]
    if b"\0" in text:
        return text, "NUL byte inside the message text"
    return text, None


class MediaHeader:
    """The 24-byte header of a 'V' packet, unpacked."""

    def __init__(self, raw):
        (self.zero, self.kind, self.timestamp, self.size_word, self.sequence,
         self.flags, self.reserved) = MEDIA_HEADER.unpack(raw)

    @property
    def payload_length(self):
        return self.size_word & 0x1FFFFFF

    @property
    def size_high_bits(self):
        return self.size_word >> 25

    @property
    def key(self):
        return bool(self.flags & 1)

    @property
    def height(self):
        return (self.flags >> 1) & 0xFFF

    @property
    def stream_kind(self):
        return (self.flags >> 13) & 0x7F

    @property
    def width(self):
        return (self.flags >> 20) & 0xFFF


def media_header(timestamp, payload_length, sequence, key, width, height,
                 stream_kind=STREAM_KIND):
    """Packs a media header (used by the tests of this package)."""
    flags = (1 if key else 0) | ((height & 0xFFF) << 1) | \
        ((stream_kind & 0x7F) << 13) | ((width & 0xFFF) << 20)
    return MEDIA_HEADER.pack(0, 86, timestamp, payload_length & 0x1FFFFFF,
                             sequence, flags, 0)


def video_body(payload, sequence, key, width, height, timestamp=0):
    return bytes([KIND_VIDEO]) + media_header(timestamp, len(payload), sequence,
                                              key, width, height) + payload


def check_video_body(body):
    """Reads a 'V' body. Returns (MediaHeader, payload, problems)."""
    problems = []
    if len(body) < 25:
        return None, b"", ["video packet of %d bytes is shorter than its header" % len(body)]
    hdr = MediaHeader(body[1:25])
    payload = body[25:]
    if hdr.zero != 0:
        problems.append("media header bytes 0-1 are %d, not 0" % hdr.zero)
    if hdr.kind != 86:
        problems.append("media header bytes 2-3 are %d, not 86" % hdr.kind)
    if hdr.size_high_bits != 0:
        problems.append("media header length word has bits 25-31 set (0x%08x)" % hdr.size_word)
    if hdr.payload_length != len(payload):
        problems.append("media header says %d payload bytes, packet carries %d"
                        % (hdr.payload_length, len(payload)))
    if hdr.stream_kind != STREAM_KIND:
        problems.append("stream kind %d, not %d" % (hdr.stream_kind, STREAM_KIND))
    if hdr.reserved != 0:
        problems.append("media header reserved word is 0x%08x, not 0" % hdr.reserved)
    if hdr.width == 0 or hdr.height == 0:
        problems.append("picture size %dx%d" % (hdr.width, hdr.height))
    return hdr, payload, problems
