"""The messages of the agent's links: what the agent sends and what it
reads, by link and direction, with the message's name (the names the
Wireshark plugin shows), its members, the agent's template and the code
that sends or handles it. The cloud checks what it receives against it,
docs/protocol.md is written from it (cloudsim.protocol_doc), and the unit
tests hold it to the agent's templates and the plugin's names.

Members of a message the agent sends are (key, value) in their order; a
value other than None is fixed, and a text passes only when it is rebuilt
byte for byte from its type and members. Members of a message the agent
receives are the keys it reads; the others are ignored.
"""
import collections
import re

from . import wire

DIRECTORY, LOGIC, RELAY, DISCOVERY = "directory", "logic", "relay", "discovery"
LINKS = (DIRECTORY, LOGIC, RELAY, DISCOVERY)
UP, DOWN = "up", "down"  # from the agent; to the agent

# type: the message type (None for the discovery datagrams). template:
# (source file, the constant or Format function that holds its text), for
# what the agent sends. code: "file: function" of the code that sends or
# handles it. filled_from: {member: constant} for a fixed value the agent
# fills in from a constant of the templates.
Message = collections.namedtuple(
    "Message", "link direction type name members template code note filled_from")


def _msg(link, direction, msg_type, name, members, code, template=None, note="",
         filled_from=None):
    return Message(link, direction, msg_type, name, members, template, code, note,
                   filled_from or {})


TEMPLATES = "protocol/templates.cpp"
DIRECTORY_LOOKUP = "logic/directory_lookup.cpp"
SERVER_LOGIC = "logic/server_logic.cpp"
DISPATCHER = "logic/logic_dispatcher.cpp"
RELAY_LOOP = "channel/relay_loop.cpp"
RELAY_COMMANDS = "channel/relay_commands.cpp"
RELAY_RECEIVE = RELAY_COMMANDS + ": CameraChannel::OnRelayPacket (queued), CameraChannel::CarryOut"
RESPONDER = "discovery/discovery_responder.cpp"

MESSAGES = [
    # ------------------------------------------------ directory, TCP 8080
    _msg(DIRECTORY, UP, 1, "directory request", [("userName", "")],
         DIRECTORY_LOOKUP + ": LookUpLogicServer", (TEMPLATES, "kDirectoryRequestText"),
         "sent unchanged to the first directory server that takes the connection"),
    _msg(DIRECTORY, DOWN, 1, "directory answer", ["LogicServerIp", "LogicServerPort"],
         DIRECTORY_LOOKUP + ": DirectoryReplyHandler", note="any other type is ignored"),
    # ------------------------------------------------------------- logic
    _msg(LOGIC, UP, 0, "heartbeat", None, SERVER_LOGIC + ": CServerLogic::SendHeartbeat",
         (TEMPLATES, "kHeartbeatText"), "sent unchanged"),
    _msg(LOGIC, UP, 1, "device login", [("devId", None), ("devType", "8"), ("devIndexs", "1")],
         SERVER_LOGIC + ": CServerLogic::SendDevLogin", (TEMPLATES, "FormatDevLogin"),
         "devId: the MAC address"),
    _msg(LOGIC, UP, 4, "camera state", [("cameraId", None), ("active", None)],
         SERVER_LOGIC + ": CServerLogic::SendCameraState", (TEMPLATES, "FormatCameraState")),
    _msg(LOGIC, UP, 14, "alarm report",
         [("userId", None), ("nodeId", None), ("cameraId", None), ("kind", "1"), ("msg", None),
          ("picture", None), ("nodeName", None), ("cameraName", None), ("remark", "")],
         "logic/alarm_report.cpp: CServerLogic::ReportAlarm; alarm/alarm_text.cpp: "
         "FormatAlarmReportText", (TEMPLATES, "FormatAlarmReport"),
         "msg: the alarm's text in GBK; picture: the uploaded snapshot's file name"),
    _msg(LOGIC, UP, 16, "refusal",
         [("msgId", None), ("socketId", None), ("msgType", None), ("status", "0"),
          ("cameraId", None), ("errorMsg", "device not support")],
         DISPATCHER + ": CServerLogic::HandleMessage", (TEMPLATES, "FormatLogicRefusal"),
         "the answer to a request; values too long for it get no answer"),
    _msg(LOGIC, DOWN, 1, "login answer",
         ["status", "Version", "sysTime", "updateUrl", "uploadUrl"],
         DISPATCHER + ": CServerLogic::HandleMessage, StoreLoginAnswer",
         note='status "1": the other keys are stored; "-2": the login is tried again later'),
    _msg(LOGIC, DOWN, 2, "user and node", ["userId", "nodeId", "nodeName"],
         DISPATCHER + ": CServerLogic::HandleMessage, StoreUserMessage"),
    _msg(LOGIC, DOWN, 3, "camera lists",
         ["cameraIdList", "cameraIndexList", "transIpList", "transPortList"],
         "logic/camera_lists.cpp: CServerLogic::ApplyCameraLists",
         note="lists cut at ';'; lists of unequal lengths are ignored"),
    _msg(LOGIC, DOWN, 16, "request", ["msgId", "socketId", "msgType", "cameraId"],
         DISPATCHER + ": CServerLogic::HandleMessage", note="answered with the refusal"),
    _msg(LOGIC, DOWN, 0, "heartbeat", [], DISPATCHER + ": CServerLogic::HandleMessage",
         note="like any other type: only the time of the last message moves"),
    # ------------------------------------------------------------- relay
    _msg(RELAY, UP, 0, "heartbeat", None, RELAY_LOOP + ": CameraChannel::SendRelayHeartbeat",
         (TEMPLATES, "kHeartbeatText"), "the logic link's heartbeat text"),
    _msg(RELAY, UP, 1, "relay login", [("SxtId", None), ("PWD", "473920")],
         RELAY_LOOP + ": CameraChannel::SendRelayLogin", (TEMPLATES, "FormatRelayLogin"),
         "SxtId: the camera id of the assignment; PWD: the same for every camera",
         {"PWD": "kRelayPassword"}),
    _msg(RELAY, UP, 10, "acknowledgement", [("status", "1")],
         RELAY_COMMANDS + ": CameraChannel::CarryOut", (TEMPLATES, "kRelayAck10Text"),
         "sent unchanged"),
    _msg(RELAY, UP, 12, "acknowledgement", [("status", "1")],
         RELAY_COMMANDS + ": CameraChannel::CarryOut", (TEMPLATES, "kRelayAck12Text"),
         "sent unchanged"),
    _msg(RELAY, UP, 16, "quality acknowledgement", [("ViedoQP", None)],
         "channel/media_forwarding.cpp: CameraChannel::ApplyVideoQuality",
         (TEMPLATES, "FormatVideoQualityAck"), "ViedoQP: the level as received"),
    _msg(RELAY, UP, 17, "status report",
         [("status", "1"), ("EnableQP", None), ("ViedoQP", None), ("PTZ", None),
          ("Audio", None), ("AudioType", "2"), ("SetTime", None), ("Speak", None)],
         RELAY_LOOP + ": CameraChannel::SendRelayStatus", (TEMPLATES, "FormatRelayStatus"),
         "the answer to a status query; its numbers in quotes"),
    _msg(RELAY, DOWN, 2, "forwarding on", [], RELAY_RECEIVE,
         note="video forwarding starts; the camera is asked for a key frame"),
    _msg(RELAY, DOWN, 3, "forwarding off", [], RELAY_RECEIVE),
    _msg(RELAY, DOWN, 9, "PTZ", ["PTZCommand"], RELAY_RECEIVE + ", CameraChannel::PtzControl"),
    _msg(RELAY, DOWN, 10, "request", [], RELAY_RECEIVE, note="answered with acknowledgement 10"),
    _msg(RELAY, DOWN, 12, "request", [], RELAY_RECEIVE, note="answered with acknowledgement 12"),
    _msg(RELAY, DOWN, 16, "quality", ["ViedoQP"],
         RELAY_RECEIVE + "; channel/media_forwarding.cpp: CameraChannel::ApplyVideoQuality",
         note="answered with the quality acknowledgement"),
    _msg(RELAY, DOWN, 17, "status query", [], RELAY_RECEIVE + ", CameraChannel::SendRelayStatus",
         note="answered with the status report"),
    _msg(RELAY, DOWN, 18, "time", ["Time"], RELAY_RECEIVE + ", CameraChannel::SetDeviceTime"),
    _msg(RELAY, DOWN, 0, "heartbeat", [], RELAY_COMMANDS + ": CameraChannel::OnRelayPacket",
         note="like any other type: not queued; only the time of the last packet moves"),
    # ----------------------------------------- LAN discovery, UDP 48000
    _msg(DISCOVERY, DOWN, None, "probe", [], RESPONDER + ": DiscoveryServe, IsDiscoveryProbe",
         note="answered when the datagram's text, up to its first NUL, is exactly the probe"),
    _msg(DISCOVERY, UP, None, "answer", [("devId", None), ("devType", "8"), ("devIndexs", "1"),
                                         ("ip", None)],
         RESPONDER + ": AnswerProbe", (RESPONDER, "FormatDiscoveryAnswer"),
         "broadcast to 255.255.255.255:48000, at a bounded rate; ip: the camera's address"),
]

# What the agent may send on each envelope link: {(link, type): members}.
CATALOGUE = {(m.link, m.type): m.members for m in MESSAGES
             if m.direction == UP and m.link != DISCOVERY}


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
