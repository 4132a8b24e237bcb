"""Small pcap files written from Python: TCP conversations (handshake,
segments cut at any size, in either direction) and UDP datagrams, as raw
IPv4 packets. Packets can be reordered or dropped before writing, so a
test can show what a capture with holes or misplaced segments looks like.
"""
import socket
import struct

LINKTYPE_RAW = 101
SYN, FIN, PSH_ACK, ACK, SYN_ACK = 0x02, 0x01, 0x18, 0x10, 0x12


def _ip(addr):
    return socket.inet_aton(addr)


class Capture:
    def __init__(self, snaplen=65535):
        self.packets = []   # raw IPv4 packets, in capture order
        self.snaplen = snaplen

    def ipv4(self, src, dst, proto, payload):
        head = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 0, 0x4000, 64, proto, 0,
                           _ip(src), _ip(dst))
        self.packets.append(head + payload)
        return len(self.packets) - 1

    def udp(self, src, dst, payload):
        """src, dst: (address, port)."""
        head = struct.pack("!HHHH", src[1], dst[1], 8 + len(payload), 0)
        return self.ipv4(src[0], dst[0], 17, head + payload)

    def tcp(self, client, server, handshake=True):
        return Stream(self, client, server, handshake)

    def write(self, path):
        with open(path, "wb") as f:
            f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, self.snaplen, LINKTYPE_RAW))
            for i, packet in enumerate(self.packets):
                kept = packet[:self.snaplen]
                f.write(struct.pack("<IIII", 1000 + i // 1000, (i % 1000) * 1000, len(kept), len(packet)))
                f.write(kept)
        return path


class Stream:
    """One TCP connection; client and server are (address, port)."""

    def __init__(self, cap, client, server, handshake):
        self.cap = cap
        self.ends = {True: client, False: server}   # keyed by "from the client"
        self.seq = {True: 1000, False: 5000}
        if handshake:
            self._segment(True, b"", SYN)
            self.seq[True] += 1
            self._segment(False, b"", SYN_ACK)
            self.seq[False] += 1
            self._segment(True, b"", ACK)

    def _segment(self, up, payload, flags=PSH_ACK):
        src, dst = self.ends[up], self.ends[not up]
        ack = self.seq[not up] if flags != SYN else 0
        head = struct.pack("!HHIIBBHHH", src[1], dst[1], self.seq[up], ack, 5 << 4, flags, 65535, 0, 0)
        index = self.cap.ipv4(src[0], dst[0], 6, head + payload)
        self.seq[up] = (self.seq[up] + len(payload)) & 0xFFFFFFFF
        return index

    def send(self, data, up=True, mss=None):
        """Sends data from the client (up) or the server, cut into segments
        of at most mss bytes. Returns the indexes of the packets."""
        mss = mss or max(len(data), 1)
        return [self._segment(up, data[i:i + mss]) for i in range(0, len(data), mss)]
