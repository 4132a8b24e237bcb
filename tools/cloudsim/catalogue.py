"""What the agent may send on each link, as the cloud expects to read it.

Each entry lists the params members in their order; a member with a value
other than None must carry exactly that value. A text passes only when it
is rebuilt byte for byte from its type and members.
"""
import re

from . import wire

DIRECTORY, LOGIC, RELAY = "directory", "logic", "relay"

CATALOGUE = {
    (DIRECTORY, 1): [("userName", "")],
    (LOGIC, 0): None,
    (LOGIC, 1): [("devId", None), ("devType", "8"), ("devIndexs", "1")],
    (LOGIC, 4): [("cameraId", None), ("active", None)],
    (LOGIC, 14): [("userId", None), ("nodeId", None), ("cameraId", None), ("kind", "1"),
                  ("msg", None), ("picture", None), ("nodeName", None), ("cameraName", None),
                  ("remark", "")],
    (LOGIC, 16): [("msgId", None), ("socketId", None), ("msgType", None), ("status", "0"),
                  ("cameraId", None), ("errorMsg", "device not support")],
    (RELAY, 0): None,
    (RELAY, 1): [("SxtId", None), ("PWD", "473920")],
    (RELAY, 10): [("status", "1")],
    (RELAY, 12): [("status", "1")],
    (RELAY, 16): [("ViedoQP", None)],
    (RELAY, 17): [("status", "1"), ("EnableQP", None), ("ViedoQP", None), ("PTZ", None),
                  ("Audio", None), ("AudioType", "2"), ("SetTime", None), ("Speak", None)],
}

# Alarm texts, GBK bytes as they travel.
ALARM_MOTION = bytes.fromhex("D2C6B6AFD5ECB2E2")
ALARM_INPUT = bytes.fromhex("CAE4C8EBB1A8BEAF")

MAC_TEXT = re.compile(rb"\A[0-9A-F]{2}(:[0-9A-F]{2}){5}\Z")
DISCOVERY_PROBE = b"SEARCH * QUILMAR"
DISCOVERY_PORT = 48000


def check_body(link, body):
    """Reads one text frame body received on a link. Returns (Message or
    None, problems)."""
    problems = []
    text, problem = wire.parse_text_body(body)
    if problem:
        problems.append(problem)
    if text is None:
        return None, problems
    msg, reason = wire.parse_text(text)
    if msg is None:
        problems.append("%s: %s" % (reason, show(text)))
        return None, problems
    problems += check_message(link, msg)
    return msg, problems


def check_message(link, msg):
    key = (link, msg.type)
    if key not in CATALOGUE:
        return ["message type %d is not one the agent sends on the %s link: %s"
                % (msg.type, link, show(msg.text))]
    members = CATALOGUE[key]
    if members is None:
        if msg.params is not None:
            return ["type %d must have no params: %s" % (msg.type, show(msg.text))]
        return []
    if msg.params is None:
        return ["type %d lacks its params: %s" % (msg.type, show(msg.text))]
    problems = []
    want = [k for k, _ in members]
    if msg.keys() != want:
        problems.append("type %d members %s, expected %s: %s"
                        % (msg.type, msg.keys(), want, show(msg.text)))
        return problems
    for (k, fixed), (_, value) in zip(members, msg.params):
        if fixed is not None and value != fixed.encode():
            problems.append("type %d member %s is %r, expected %r"
                            % (msg.type, k, value.decode("latin-1"), fixed))
    if wire.envelope(msg.type, msg.params) != msg.text:
        problems.append("type %d text differs from its template: %s" % (msg.type, show(msg.text)))
    return problems


def discovery_answer(dev_id, ip):
    return b'00000{"devId":"' + dev_id.encode() + b'","devType":"8","devIndexs":"1","ip":"IP:' \
        + ip.encode() + b'"}0'


def show(data, limit=300):
    """Bytes for a report line: printable ASCII as is, the rest escaped."""
    text = data[:limit].decode("latin-1")
    out = "".join(c if 32 <= ord(c) < 127 else "\\x%02x" % ord(c) for c in text)
    return out + ("..." if len(data) > limit else "")
