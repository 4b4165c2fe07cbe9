#!/usr/bin/env python3
"""Writes a capture of two RTMP play sessions whose client sends `connect` in 128-byte chunks.

Usage: rtmp-split-tcurl.py OUTPUT.pcap

Every message goes out with the protocol's default chunk size of 128 bytes, so the `connect`
command is cut into chunks and a one-byte continuation header (0xC3, chunk stream 3) lands inside
the long tcUrl value. Session one's tcUrl names the default port (":1935/"), session two's
port 19350, which must stay. The output is byte for byte the same on every run (fixed time stamps and
handshake bytes), standard library only.
"""
import random
import struct
import sys

CHUNK = 128


# ---- AMF0 encoding


def amf_string(text):
    data = text.encode()
    return b"\x02" + struct.pack(">H", len(data)) + data


def amf_number(value):
    return b"\x00" + struct.pack(">d", value)


def amf_bool(value):
    return b"\x01" + (b"\x01" if value else b"\x00")


def amf_object(props):
    out = b"\x03"
    for name, value in props:
        key = name.encode()
        out += struct.pack(">H", len(key)) + key + value
    return out + b"\x00\x00\x09"


AMF_NULL = b"\x05"


# ---- RTMP chunking


def chunk_message(csid, msg_type, stream_id, body, timestamp=0):
    """Type-0 header on the first chunk, one-byte type-3 headers on the rest."""
    assert csid < 64
    out = bytes([csid]) + struct.pack(">I", timestamp)[1:] + struct.pack(">I", len(body))[1:]
    out += bytes([msg_type]) + struct.pack("<I", stream_id)
    for i in range(0, len(body), CHUNK):
        if i:
            out += bytes([0xC0 | csid])
        out += body[i:i + CHUNK]
    return out


def connect_body(app, tc_url):
    return (amf_string("connect") + amf_number(1.0) + amf_object([
        ("app", amf_string(app)),
        ("flashVer", amf_string("LNX 9,0,124,2")),
        ("swfUrl", amf_string("http://player.example.tv/p.swf")),
        ("tcUrl", amf_string(tc_url)),
        ("fpad", amf_bool(False)),
        ("capabilities", amf_number(15.0)),
        ("audioCodecs", amf_number(4071.0)),
        ("videoCodecs", amf_number(252.0)),
        ("videoFunction", amf_number(1.0)),
    ]))


def check_split(body, tc_url):
    """The chunk boundary must fall inside the tcUrl text, past its scheme, and a codec word
    must stay whole, so the segment still reads as a connect."""
    start = body.index(tc_url.encode())
    inside = [b for b in range(CHUNK, len(body), CHUNK) if start + 4 < b < start + len(tc_url)]
    if not inside:
        raise SystemExit("tcUrl %r is not split by a chunk boundary" % tc_url)
    wire = chunk_message(3, 0x14, 0, body)
    if b"audioCodecs" not in wire and b"videoCodecs" not in wire:
        raise SystemExit("both codec words are split")


def server_connect_replies():
    ack_size = chunk_message(2, 5, 0, struct.pack(">I", 2500000))
    bandwidth = chunk_message(2, 6, 0, struct.pack(">I", 2500000) + b"\x02")
    result = chunk_message(3, 0x14, 0, amf_string("_result") + amf_number(1.0) + amf_object([
        ("fmsVer", amf_string("FMS/3,0,1,123")),
        ("capabilities", amf_number(31.0)),
    ]) + amf_object([
        ("level", amf_string("status")),
        ("code", amf_string("NetConnection.Connect.Success")),
        ("description", amf_string("Connection succeeded.")),
        ("objectEncoding", amf_number(0.0)),
    ]))
    return ack_size + bandwidth + result


def create_stream():
    ack_size = chunk_message(2, 5, 0, struct.pack(">I", 2500000))
    return ack_size + chunk_message(3, 0x14, 0, amf_string("createStream") + amf_number(2.0)
                                    + AMF_NULL)


def create_stream_result():
    return chunk_message(3, 0x14, 0, amf_string("_result") + amf_number(2.0) + AMF_NULL
                         + amf_number(1.0))


def play(name):
    return chunk_message(8, 0x14, 1, amf_string("play") + amf_number(3.0) + AMF_NULL
                         + amf_string(name) + amf_number(-2000.0))


def set_buffer_length():
    return chunk_message(2, 4, 0, struct.pack(">HII", 3, 1, 3000))


def play_status(name):
    begin = chunk_message(2, 4, 0, struct.pack(">HI", 0, 1))
    return begin + chunk_message(5, 0x14, 1, amf_string("onStatus") + amf_number(0.0) + AMF_NULL
                                 + amf_object([
                                     ("level", amf_string("status")),
                                     ("code", amf_string("NetStream.Play.Start")),
                                     ("description", amf_string("Started playing " + name + ".")),
                                 ]))


# ---- TCP/IPv4/Ethernet frames and the pcap file


def checksum(data):
    if len(data) % 2:
        data += b"\x00"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


class Capture:
    def __init__(self):
        self.records = []
        self.time = 1767261600.0  # 2026-01-01 10:00:00 UTC
        self.ip_id = 0x4000

    def frame(self, src, dst, sport, dport, seq, ack, flags, payload=b""):
        self.time += 0.0004
        self.ip_id = (self.ip_id + 1) & 0xFFFF
        options = b""
        if flags & 0x02:  # SYN: announce the MSS of a 1500-byte link
            options = b"\x02\x04\x05\xb4"
        offset = (20 + len(options)) // 4
        tcp = struct.pack("!HHIIBBHHH", sport, dport, seq, ack, offset << 4, flags, 65483, 0, 0)
        tcp += options
        srcb = bytes(map(int, src.split(".")))
        dstb = bytes(map(int, dst.split(".")))
        pseudo = srcb + dstb + struct.pack("!BBH", 0, 6, len(tcp) + len(payload))
        tcp = tcp[:16] + struct.pack("!H", checksum(pseudo + tcp + payload)) + tcp[18:]
        total = 20 + len(tcp) + len(payload)
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, total, self.ip_id, 0x4000, 64, 6, 0, srcb, dstb)
        ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
        eth = b"\x00" * 12 + b"\x08\x00"
        self.records.append((self.time, eth + ip + tcp + payload))

    def write(self, path):
        with open(path, "wb") as f:
            f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, 1))
            for t, data in self.records:
                sec = int(t)
                usec = int(round((t - sec) * 1e6))
                f.write(struct.pack("<IIII", sec, usec, len(data), len(data)))
                f.write(data)


class Connection:
    """One TCP connection; sends split data into MSS-sized segments, each acknowledged."""

    MSS = 1460

    def __init__(self, cap, client, cport, server, sport):
        self.cap = cap
        self.ends = {"c": (client, cport), "s": (server, sport)}
        self.seq = {"c": 0x1A2B0000 + cport, "s": 0x5E6F0000 + sport}
        c, s = self.ends["c"], self.ends["s"]
        cap.frame(c[0], s[0], c[1], s[1], self.seq["c"], 0, 0x02)
        self.seq["c"] += 1
        cap.frame(s[0], c[0], s[1], c[1], self.seq["s"], self.seq["c"], 0x12)
        self.seq["s"] += 1
        self.ack_only("c")

    def other(self, side):
        return "s" if side == "c" else "c"

    def ack_only(self, side):
        a, b = self.ends[side], self.ends[self.other(side)]
        self.cap.frame(a[0], b[0], a[1], b[1], self.seq[side], self.seq[self.other(side)], 0x10)

    def send(self, side, data):
        a, b = self.ends[side], self.ends[self.other(side)]
        for i in range(0, len(data), self.MSS):
            part = data[i:i + self.MSS]
            self.cap.frame(a[0], b[0], a[1], b[1], self.seq[side], self.seq[self.other(side)],
                           0x18, part)
            self.seq[side] += len(part)
        self.ack_only(self.other(side))

    def close(self):
        for side in ("c", "s"):
            a, b = self.ends[side], self.ends[self.other(side)]
            self.cap.frame(a[0], b[0], a[1], b[1], self.seq[side], self.seq[self.other(side)],
                           0x11)
            self.seq[side] += 1
        self.ack_only("c")


def session(cap, rng, cport, sport, app, tc_url, stream, split):
    body = connect_body(app, tc_url)
    if split:
        check_split(body, tc_url)
    conn = Connection(cap, "127.0.0.1", cport, "127.0.0.1", sport)
    # Handshake: version 3, then 1536-byte blocks of time, zero and random bytes.
    c1 = struct.pack(">II", 0, 0) + bytes(rng.getrandbits(8) for _ in range(1528))
    s1 = struct.pack(">II", 0, 0) + bytes(rng.getrandbits(8) for _ in range(1528))
    conn.send("c", b"\x03" + c1)
    conn.send("s", b"\x03" + s1 + c1)
    conn.send("c", s1)
    conn.send("c", chunk_message(3, 0x14, 0, body))
    conn.send("s", server_connect_replies())
    conn.send("c", create_stream())
    conn.send("s", create_stream_result())
    conn.send("c", play(stream))
    conn.send("c", set_buffer_length())
    conn.send("s", play_status(stream))
    conn.close()


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    rng = random.Random(20260101)
    cap = Capture()
    session(cap, rng, 50712, 1935, "liveshow-hd",
            "rtmp://rtmp19.example.tv:1935/liveshow-hd/channel-seven-backup", "cam1_720p", True)
    session(cap, rng, 50714, 19350, "vod", "rtmp://127.0.0.1:19350/vod", "clip", False)
    cap.write(argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
