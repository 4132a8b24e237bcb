#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/ from the protocol's
own message texts, configuration lines, upload addresses and probe.

Run it again after changing the examples; libFuzzer keeps what it finds in
build/fuzz/corpus/, never here."""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
HEAD = '{"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":'


def msg(msg_type, params=None):
    if params is None:
        return HEAD + '%d,"version":1}' % msg_type
    body = ",".join('"%s":"%s"' % kv for kv in params)
    return HEAD + '%d,"params":{%s},"version":1}' % (msg_type, body)


HEARTBEAT = msg(0)
LOGIN_OK = msg(1, [("status", "1"), ("Version", "1.0.3"), ("sysTime", "2015-06-01 12:30:45"),
                   ("updateUrl", "scheme://host:8080/up/fw.bin"),
                   ("uploadUrl", "scheme://host:8080/up/load.php?x=1")])
LOGIN_RETRY = msg(1, [("status", "-2")])
LOGIN_REFUSED = msg(1, [("status", "0")])
USER = msg(2, [("userId", "u1"), ("nodeId", "node7"), ("nodeName", "hall")])
LISTS_ONE = msg(3, [("cameraIdList", "c1"), ("cameraIndexList", "0"), ("transIpList", "relayA"),
                    ("transPortList", "600")])
LISTS_TWO = msg(3, [("cameraIdList", "c1;c2"), ("cameraIndexList", "0;1"),
                    ("transIpList", "relayA;relayB"), ("transPortList", "600;601")])
LISTS_UNEVEN = msg(3, [("cameraIdList", "c1;c2"), ("cameraIndexList", "0;1"), ("transIpList", "relayA"),
                       ("transPortList", "600;601")])
REQUEST_16 = msg(16, [("msgId", "7"), ("socketId", "12"), ("msgType", "9"), ("cameraId", "3")])
REQUEST_16_EMPTY = HEAD + '16,"version":1}'
DIRECTORY_REPLY = msg(1, [("LogicServerIp", "192.0.2.10"), ("LogicServerPort", "9000")])
RELAY = [
    msg(2), msg(3), msg(9, [("PTZCommand", "3")]), msg(9, [("PTZCommand", "7")]), msg(10), msg(12),
    msg(16, [("ViedoQP", "4")]), msg(16, [("ViedoQP", "1")]), msg(17),
    msg(18, [("Time", "2015-06-01 12:30:45")]), msg(18, [("Time", "2015-06-01T12:30:45")]),
]
ODD = [
    HEAD + '2,"params":{"a":"x,y","b":"c"},"version":1}',
    HEAD + '2,"params":{"a":{"b":"c"},"d":"e"},"version":1}',
    HEAD + '2,"params":{"a" : "b","n":123,"m":5,"k"::,"":"v"},"version":1}',
    HEAD + '"5","params":{"sysTime":"12:30:05","k":"1","k":"2",},"version":1}',
    '{"params":{"msgType":"3"},"msgType":2,"version":1}',
    HEAD + ',"params":{"a":"b"}}',
]
ALL_TEXTS = [HEARTBEAT, LOGIN_OK, LOGIN_RETRY, LOGIN_REFUSED, USER, LISTS_ONE, LISTS_TWO, LISTS_UNEVEN,
             REQUEST_16, REQUEST_16_EMPTY, DIRECTORY_REPLY] + RELAY + ODD


def frame_body(text):
    """A text frame's body as a connection hands it over: kind, text, NUL."""
    return b"0" + text.encode() + b"\0"


def frame(text):
    body = frame_body(text)
    return struct.pack("<I", len(body)) + body


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for i, seed in enumerate(seeds):
        with open(os.path.join(folder, "seed-%02d" % i), "wb") as f:
            f.write(seed)


def main():
    write("parse_message", [t.encode() + b"\0" for t in ALL_TEXTS])

    write("split_string", [b"\x00;c1;c2;", b"\x00;0;1", b"\x00,\"a\":\"x,y\",\"b\":\"c\"",
                           b"\x00:\"sysTime\":\"12:30:05\"", b"\x01;,relayA;relayB,600", b"\x00;"])

    ini = [
        b"[user0]\nusername = \"admin\"\npassword = \"secret\"\n",
        b"[user0]\r\nusername = \"admin\"\r\n",
        b"top = \"x\"\n  [user0]  \n[us er]\nkey=ab\nkey2=abc\n",
        b"[a]\nx = \"1\"\n[b]\ny = \"2\"\n[a]\ny = \"3\"\n",
        b";comment\n#comment\n[user0]\nusername = \"a b\"\n\tk = \"t\"\n",
        b"[user0]\n" + b"u" * 300 + b" = \"v\"\n",
        b"k=v\n]a[\n[user0]\npassword = \"\"\n",
    ]
    write("ini_load", ini)

    # One write, then the same stream in small pieces, then large frames
    # through the escape (0xFE, length, fill byte).
    stream = frame(HEARTBEAT) + frame(LOGIN_OK) + frame(REQUEST_16)
    big = lambda n, fill: b"\xfe" + struct.pack("<I", n) + bytes([fill])
    write("tcp_framing", [
        b"\x00" + stream,
        b"\x03\x01\x02\x07" + stream,
        b"\x02\x00\x05" + struct.pack("<I", 0) + frame(USER),
        b"\x00" + big(262140, 0x30) + frame(HEARTBEAT),
        b"\x01\xff" + big(262141, 0x30),
        b"\x00" + struct.pack("<I", 0xFFFFFFFF) + b"0",
        b"\x00" + frame(LISTS_TWO)[:20],
    ])

    logic = [frame_body(t) for t in [HEARTBEAT, LOGIN_OK, LOGIN_RETRY, LOGIN_REFUSED, USER, LISTS_ONE,
                                     LISTS_TWO, LISTS_UNEVEN, REQUEST_16, REQUEST_16_EMPTY]]
    logic += [b"", b"0", b"Ac1\n0\nrelayA\n600", b"Ac1;c2\n0;1\nrelayA;relayB\n600;601",
              b"Ac1;c2\n0;0\nrelayA;relayB\n600;601", b"Ac1;c2;\n 0;2147483647;\n127.0.0.1;x;\n1;2;",
              b"Ac1,x\n1a\nrelay}A\n-1",
              b"D" + frame_body(DIRECTORY_REPLY), b"D" + frame_body(HEARTBEAT), b"D"]
    write("logic_messages", logic)

    relay = [frame_body(t) for t in RELAY]
    relay += [b"\xff".join(frame_body(t) for t in RELAY[:3]), b"", b"V\x00\x00\x00\x01",
              frame_body(msg(18, [("Time", "2015-06-01 12:30:45.123456789012345678")]))]
    write("relay_commands", relay)

    write("upload_request", [
        b"scheme://host:8080/up/load.php?x=1\0snap-0001.jpg\0\xff\xd8\xff\xe0JFIF",
        b"scheme://host/up\0a.jpg\0x",
        b"scheme://host:8080\0a.jpg\0",
        b"scheme://:8080/up\0\0",
        b"scheme://host:/up\0" + b"n" * 80 + b"\0data",
        b"http://192.0.2.1:80/a/b/c?d=e:f//g\0file name with spaces.jpg\0\x00\x01\x02",
    ])

    write("upload_status", [
        b"\x00HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\nok",
        b"\x03HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\n\r\n",
        b"\x01HTTP/1.1 100 Continue\r\nX: y\r\n\r\nHTTP/1.1 404 Not Found\r\n\r\n",
        b"\x05\r\nHTTP/1.0 500 Internal Server Error\r\n",
        b"\x00<html>not http</html>\n",
        b"\x02HTTP/1.0 20",
    ])

    t = struct.pack("<I", 1433161845)
    write("alarm_report", [
        t + b"\x01u1\0node7\0c1\0c1_1433161845.jpg\0hall\0cam0",
        t + b"\x02u1\0node7\0c1\0c1_1433161845.jpg\0hall\0cam0",
        b"\xff\xff\xff\xff\x03\0\0\0\0\0",
        t + b"\x01" + b"\0".join([b"v" * 60] * 6),
    ])

    write("discovery_answer", [
        b"00:11:22:33:44:55\x00192.0.2.1\x00SEARCH * QUILMAR",
        b"\x00\x00SEARCH * QUILMAR\n",
        b"02:00:00:00:00:01\x00192.0.2.1\x00SEARCH * QUILMAR\x00trailing",
        b"00:11:22:33:44:55\x00255.255.255.255\x00search * quilmar",
        b"x" * 40 + b"\x00" + b"1" * 15 + b"\x00" + b"SEARCH * QUILMAR",
    ])


if __name__ == "__main__":
    main()
