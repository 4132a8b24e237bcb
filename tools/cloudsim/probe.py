"""LAN discovery probe: sends one probe to the camera and collects every
datagram that arrives on port 48000 within a short window; or, with
--flood N, sends N probes spread over --seconds and counts the answers that
arrive at the broadcast address meanwhile and until they stop.

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


def _listener(port):
    listen = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listen.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    listen.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    try:
        listen.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
    except OSError:
        pass
    listen.bind(("0.0.0.0", port))
    return listen


def probe(target, text=DISCOVERY_PROBE, wait=1.5, port=DISCOVERY_PORT):
    listen = _listener(port)
    send = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
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


def _broadcast_answers(listen):
    """Reads what is waiting; returns how many were answers to the
    broadcast address."""
    count = 0
    while True:
        try:
            data, anc, _flags, _addr = listen.recvmsg(2048, 256, socket.MSG_DONTWAIT)
        except BlockingIOError:
            return count
        for level, kind, cdata in anc:
            if (level == socket.IPPROTO_IP and kind == IP_PKTINFO and len(cdata) >= 12
                    and socket.inet_ntoa(cdata[8:12]) == "255.255.255.255"
                    and data.startswith(b"00000{")):
                count += 1


def flood(target, count, seconds, quiet=0.5, port=DISCOVERY_PORT):
    """Sends count probes in batches every 10 ms over about `seconds`, then
    listens until no answer has come for `quiet` seconds."""
    listen = _listener(port)
    send = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        send.bind(("0.0.0.0", 0))
        ticks = max(1, int(seconds * 100))
        sent = answers = 0
        start = time.monotonic()
        for tick in range(ticks):
            for _ in range(count * (tick + 1) // ticks - sent):
                send.sendto(DISCOVERY_PROBE, (target, port))
                sent += 1
            answers += _broadcast_answers(listen)
            pause = start + (tick + 1) / 100.0 - time.monotonic()
            if pause > 0:
                time.sleep(pause)
        flood_end = time.monotonic()
        last = flood_end
        while time.monotonic() - last < quiet:
            time.sleep(0.01)
            got = _broadcast_answers(listen)
            if got:
                answers += got
                last = time.monotonic()
        return {"target": target, "sent": sent, "seconds": round(flood_end - start, 3),
                "answers": answers, "answers_until_s": round(last - start, 3)}
    finally:
        listen.close()
        send.close()


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--target", required=True, help="the camera's address")
    p.add_argument("--newline", action="store_true", help="send the probe with a trailing \\n")
    p.add_argument("--wait", type=float, default=1.5, help="seconds to collect answers")
    p.add_argument("--flood", type=int, metavar="N", help="send N probes and count the answers")
    p.add_argument("--seconds", type=float, default=3.0, help="how long the flood lasts")
    a = p.parse_args(argv)
    if a.flood:
        try:
            result = flood(a.target, a.flood, min(max(a.seconds, 0.01), 60.0))
        except OSError as e:
            result = {"error": str(e)}
        json.dump(result, sys.stdout)
        sys.stdout.write("\n")
        return 0 if "error" not in result else 1
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
