"""LAN discovery probe: sends one probe to the camera and collects every
datagram that arrives on port 48000 within a short window.

Run where the camera's broadcast can reach it (the far end of the veth pair),
as python3 -m cloudsim.probe; prints one JSON object.
"""
import argparse
import json
import socket
import struct
import sys
import time

from .catalogue import DISCOVERY_PORT, DISCOVERY_PROBE

IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)


def probe(target, text=DISCOVERY_PROBE, wait=1.5, port=DISCOVERY_PORT):
    listen = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    send = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        listen.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        try:
            listen.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
        except OSError:
            pass
        listen.bind(("0.0.0.0", port))
        # The probe leaves from another port than the one listened on: the
        # answer must go to port 48000 whatever the probe came from.
        send.bind(("0.0.0.0", 0))
        sent_from = send.getsockname()[1]
        send.sendto(text, (target, port))
        answers = []
        deadline = time.monotonic() + wait
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            listen.settimeout(left)
            try:
                data, anc, _flags, addr = listen.recvmsg(2048, 256)
            except socket.timeout:
                break
            dst = None
            for level, kind, cdata in anc:
                if level == socket.IPPROTO_IP and kind == IP_PKTINFO and len(cdata) >= 12:
                    dst = socket.inet_ntoa(cdata[8:12])
            answers.append({"from": [addr[0], addr[1]], "to": dst,
                            "data": data.decode("latin-1"),
                            "at_ms": round((wait - left) * 1000)})
        return {"target": target, "probe": text.decode("latin-1"), "sent_from_port": sent_from,
                "answers": answers}
    finally:
        listen.close()
        send.close()


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--target", required=True, help="the camera's address")
    p.add_argument("--newline", action="store_true", help="send the probe with a trailing \\n")
    p.add_argument("--wait", type=float, default=1.5, help="seconds to collect answers")
    a = p.parse_args(argv)
    text = DISCOVERY_PROBE + (b"\n" if a.newline else b"")
    try:
        result = probe(a.target, text, min(max(a.wait, 0.1), 10.0))
    except OSError as e:
        result = {"error": str(e)}
    json.dump(result, sys.stdout)
    sys.stdout.write("\n")
    return 0 if "error" not in result else 1


if __name__ == "__main__":
    sys.exit(main())
