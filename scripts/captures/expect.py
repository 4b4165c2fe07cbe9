#!/usr/bin/env python3
"""Works out what strevix-cli reports for a capture file, from the detection rules alone.

Usage:
  expect.py CAPTURE.pcap              print the stream lines (what `strevix-cli -r` prints)
  expect.py --sightings CAPTURE.pcap  print every sighting instead
  expect.py --write CAPTURE.pcap [STEM]
                                      write STEM.streams and STEM.sightings (default: beside
                                      the capture, with its name)
  expect.py --trace CAPTURE.pcap      show, per frame, what the tracking step did

This is an independent model of the analyser written for the test data, with the standard
library only; it reads classic pcap files (both byte orders, micro- or nanosecond stamps) of
Ethernet frames (VLAN tags skipped) or Linux cooked v2 frames, TCP over IPv4 or IPv6.
Where it and the C++ analyser disagree on a capture, one of them is wrong: look at --trace.
"""
import struct
import sys

COLLECT_LIMIT = 2048
LINKTYPE_ETHERNET, LINKTYPE_LINUX_SLL, LINKTYPE_LINUX_SLL2 = 1, 113, 276
ETHERTYPE_IPV4, ETHERTYPE_IPV6 = 0x0800, 0x86DD
VLAN_TPIDS = (0x8100, 0x88A8)

STREAM_NONE, STREAM_HTTP, STREAM_RTSP, STREAM_RTMP, STREAM_HLS = -1, 0, 4, 5, 6
PENDING = -2  # a connect command not yet whole
LABELS = {STREAM_RTMP: "RTMP", STREAM_RTSP: "RTSP", STREAM_HTTP: "HTTP", STREAM_HLS: "HLS"}


def read_pcap(path):
    """Yields (frame number from 1, captured bytes) for every record of a classic pcap file."""
    with open(path, "rb") as f:
        head = f.read(24)
        if len(head) < 24:
            raise ValueError(path + ": not a pcap file")
        magic = head[:4]
        if magic in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1"):
            order = "<"
        elif magic in (b"\xa1\xb2\xc3\xd4", b"\xa1\xb2\x3c\x4d"):
            order = ">"
        else:
            raise ValueError(path + ": not a classic pcap file (pcapng is not read here)")
        linktype = struct.unpack(order + "I", head[20:24])[0]
        if linktype not in (LINKTYPE_ETHERNET, LINKTYPE_LINUX_SLL, LINKTYPE_LINUX_SLL2):
            raise ValueError(path + ": link type %d, neither Ethernet nor Linux cooked" % linktype)
        number = 0
        while True:
            rec = f.read(16)
            if len(rec) < 16:
                return
            _, _, caplen, _ = struct.unpack(order + "IIII", rec)
            data = f.read(caplen)
            if len(data) < caplen:
                return
            number += 1
            yield number, network_start(linktype, data), data


def network_start(linktype, data):
    """(EtherType, offset) of the network header, or (None, 0) when the link header is not all
    there. VLAN tags (802.1Q, 802.1ad), any number of them, may follow the link header."""
    if linktype == LINKTYPE_LINUX_SLL2:
        type_at, at = 0, 20
    elif linktype == LINKTYPE_LINUX_SLL:
        type_at, at = 14, 16
    else:
        type_at, at = 12, 14
    if len(data) < at:
        return None, 0
    kind = struct.unpack(">H", data[type_at:type_at + 2])[0]
    while kind in VLAN_TPIDS:
        if len(data) < at + 4:
            return None, 0
        kind = struct.unpack(">H", data[at + 2:at + 4])[0]
        at += 4
    return kind, at


def find_bytes(buf, pattern, exact=True, start=0, end=None):
    """First match at or after start, or -1. Without exact the first byte still matches exactly
    and the rest ignores ASCII letter case."""
    if end is None:
        end = len(buf)
    end = min(end, len(buf))
    n = len(pattern)
    if n == 0 or start < 0 or end - start < n:
        return -1
    if exact:
        return buf.find(pattern, start, end)
    first = pattern[:1]
    rest = pattern[1:].lower()
    i = buf.find(first, start, end)
    while i != -1 and i + n <= end:
        if buf[i + 1:i + n].lower() == rest:
            return i
        i = buf.find(first, i + 1, end)
    return -1


class Frame:
    """Header view of one frame whose network header starts at network[1]; layers whose header
    is not all there are absent."""

    def __init__(self, data, network=(ETHERTYPE_IPV4, 14)):
        self.data = data
        self.ip = None
        self.tcp = None
        self.payload_start = 0
        self.payload_len = 0
        self.stream_type = STREAM_NONE
        kind, ip = network
        if kind == ETHERTYPE_IPV4:
            if len(data) < ip + 20:
                return
            ihl = (data[ip] & 0x0F) * 4
            total = struct.unpack(">H", data[ip + 2:ip + 4])[0]
            if ihl < 20 or len(data) < ip + ihl:
                return
            self.src = data[ip + 12:ip + 16]
            self.dst = data[ip + 16:ip + 20]
            protocol = data[ip + 9]
        elif kind == ETHERTYPE_IPV6:
            # TCP right after the fixed header only: the loopback captures have no extension
            # headers.
            if len(data) < ip + 40:
                return
            ihl = 40
            total = 40 + struct.unpack(">H", data[ip + 4:ip + 6])[0]
            self.src = data[ip + 8:ip + 24]
            self.dst = data[ip + 24:ip + 40]
            protocol = data[ip + 6]
        else:
            return
        self.ip = ip
        self.ihl = ihl
        self.total = total
        if protocol != 6:
            return
        tcp = ip + ihl
        if len(data) < tcp + 20:
            return
        thl = (data[tcp + 12] >> 4) * 4
        if thl < 20 or len(data) < tcp + thl:
            return
        self.tcp = tcp
        self.thl = thl
        self.sport, self.dport = struct.unpack(">HH", data[tcp:tcp + 4])
        self.seq = struct.unpack(">I", data[tcp + 4:tcp + 8])[0]
        self.payload_start = tcp + thl
        # Payload as the IPv4 length announces it, never past the captured bytes.
        self.payload_len = max(0, min(total - ihl - thl, len(data) - self.payload_start))
        self.stream_type = self.classify()

    def payload(self):
        return self.data[self.payload_start:self.payload_start + self.payload_len]

    def classify(self):
        p = self.payload()
        if not p:
            return STREAM_NONE
        h = find_bytes(p, b"HTTP/")
        if h != -1:
            for suffix in (b".ts", b".flv", b".m3u8", b".mp4"):
                if find_bytes(p, suffix, end=h) != -1:
                    return STREAM_HLS
            return STREAM_HTTP
        if find_bytes(p, b"RTSP/") != -1:
            return STREAM_RTSP
        if (find_bytes(p, b"connect") != -1
                and (find_bytes(p, b"tcUrl") != -1 or find_bytes(p, b"rtmp") != -1)
                and (find_bytes(p, b"audioCodecs") != -1 or find_bytes(p, b"videoCodecs") != -1)):
            return STREAM_RTMP
        return STREAM_NONE

    def key(self):
        return "%s%d-%s%d" % ("".join("%d" % b for b in self.src), self.sport,
                              "".join("%d" % b for b in self.dst), self.dport)


CONNECT = b"\x02\x00\x07connect"


def opens_connect(p):
    """The AMF0 string "connect" at the start of a segment, after a type-0 chunk header, or after
    that header and a 1536-byte handshake packet."""
    if p[:10] == CONNECT:
        return True
    for at in (0, 1536):
        if len(p) < at + 22:
            return False
        if p[at] & 0xC0 == 0 and p[at] & 0x3F >= 2 and p[at + 12:at + 22] == CONNECT:
            return True
    return False


def be16(buf, at):
    if at < 0 or at + 2 > len(buf):
        return None
    return struct.unpack(">H", buf[at:at + 2])[0]


def copy_dropping_headers(buf, at, count):
    """count bytes of real text from at on, skipping chunk header bytes (0xC0 and above) and
    reading on past them; stops at the end of the buffer."""
    out = bytearray()
    i = at
    while len(out) < count and i < len(buf):
        if buf[i] < 0xC0:
            out.append(buf[i])
        i += 1
    return bytes(out)


def extract_rtmp(buf):
    n = len(buf)
    p = find_bytes(buf, b"tcUrl")
    if p == -1:
        q = find_bytes(buf, b"rtmp", exact=False)
        if q == -1:
            return b""
        p = q - 8
    length = be16(buf, p + 6)
    if length is None or length >= n:
        # A length that does not fit the buffer gives no connection address.
        text = b""
    else:
        text = copy_dropping_headers(buf, p + 8, length)
        if not text.startswith(b"rtmp"):
            if text.find(b"rtmp", 1) != -1:
                text = copy_dropping_headers(buf, p + 9, length)
            else:
                s = text.find(b"://", 1)
                if s != -1:
                    text = b"rtmp" + text[s:]
    nul = text.find(b"\x00")
    address = text if nul == -1 else text[:nul]
    c = find_bytes(buf, b"createStream", exact=False, start=max(p, 0))
    if c == -1:
        return b""
    # The stream a player asks for, or the one an encoder publishes: whichever comes first.
    pl = find_bytes(buf, b"play", start=c)
    pu = find_bytes(buf, b"publish", start=c)
    if pu != -1 and (pl == -1 or pu < pl):
        pl = pu
    if pl == -1:
        return b""
    m = find_bytes(buf, b"\x05\x02", start=pl)
    if m == -1:
        return b""
    name_len = be16(buf, m + 2)
    if name_len is None:
        return b""
    raw = buf[m + 4:m + 4 + name_len]
    name = bytes(b for b in raw if b < 0xC0)
    return address + b"/" + name


def extract_rtsp(buf):
    a = find_bytes(buf, b"rtsp://", exact=False)
    if a == -1:
        a = find_bytes(buf, b"RTSP://")
    if a == -1:
        return b""
    r = find_bytes(buf, b"RTSP/", start=a)
    if r == -1:
        return b""
    return buf[a:max(a, r - 1)]


def extract_http(buf):
    h = find_bytes(buf, b"HTTP/")
    if h == -1:
        return b""
    method = b"GET"
    m = find_bytes(buf, method)
    if m == -1:
        method = b"POST"
        m = find_bytes(buf, method)
    path = b""
    if m != -1 and h - (m + len(method)) >= 2:
        path = buf[m + len(method) + 1:h - 1]
    host = find_bytes(buf, b"Host", start=h)
    if host == -1:
        return b""
    crlf = find_bytes(buf, b"\r\n", start=host)
    if crlf == -1 or crlf - (host + 6) < 0:
        return b""
    return b"http://" + buf[host + 6:crlf] + path


def remove_default_port(address):
    """Drops ":1935" where it is the whole port: followed by "/" or the end."""
    i = address.find(b":1935")
    while i != -1:
        after = i + 5
        if after == len(address) or address[after:after + 1] == b"/":
            return address[:i] + address[after:]
        i = address.find(b":1935", i + 1)
    return address


class Analyser:
    def __init__(self, trace=False):
        self.table = {}  # key -> [stream type, collected bytes, next sequence number]
        self.recorded = set()
        self.streams = []
        self.sightings = []
        self.trace = trace

    def log(self, text):
        if self.trace:
            print("    " + text.decode("latin-1"))

    def on_frame(self, number, data, network=(ETHERTYPE_IPV4, 14)):
        f = Frame(data, network)
        if f.tcp is None:
            return
        key = f.key()
        t = f.stream_type
        d = f.total - f.thl - f.ihl
        entry = self.table.get(key)
        # Bytes the direction already had (a retransmission) add nothing, start nothing.
        if entry is not None and d > 0 and ((f.seq - entry[2]) & 0xFFFFFFFF) >= 0x80000000:
            return
        if t in (STREAM_RTMP, STREAM_RTSP, STREAM_HTTP, STREAM_HLS):
            self.table[key] = [t, bytes(data), (f.seq + max(d, 0)) & 0xFFFFFFFF]
            if self.trace:
                print("%5d %s start %s" % (number, key, LABELS[t]))
            if t in (STREAM_RTSP, STREAM_HLS):
                self.analyse(key)
            return
        if entry is None:
            # A connect command whose other words come later (librtmp), or an encoder's, which
            # has no codec words: collected until they, or its publish, come.
            if d > 0 and opens_connect(f.payload()):
                self.table[key] = [PENDING, bytes(data), (f.seq + d) & 0xFFFFFFFF]
                if self.trace:
                    print("%5d %s start pending connect" % (number, key))
            return
        if len(entry[1]) >= COLLECT_LIMIT or d <= 0:
            return
        entry[1] += f.payload()
        entry[2] = (f.seq + d) & 0xFFFFFFFF
        if self.trace:
            print("%5d %s +%d -> %d" % (number, key, f.payload_len, len(entry[1])))
        if entry[0] == PENDING:
            b = entry[1]
            if ((find_bytes(b, b"tcUrl") != -1 or find_bytes(b, b"rtmp") != -1)
                    and (find_bytes(b, b"audioCodecs") != -1 or find_bytes(b, b"videoCodecs") != -1
                         or find_bytes(b, b"publish") != -1)):
                entry[0] = STREAM_RTMP
                if self.trace:
                    print("%5d %s the connect is whole: RTMP" % (number, key))
            else:
                return
        self.analyse(key)

    def analyse(self, key):
        t, buf, _ = self.table[key]
        if t == STREAM_RTMP:
            address = extract_rtmp(buf)
        elif t == STREAM_RTSP:
            address = extract_rtsp(buf)
        elif t in (STREAM_HTTP, STREAM_HLS):
            address = extract_http(buf)
        else:
            return
        if not address:
            return
        address = remove_default_port(address)
        text = LABELS[t].encode() + b"-" + address
        self.sightings.append(text)
        self.log(b"sighting " + text)
        if address not in self.recorded:
            self.recorded.add(address)
            if t in (STREAM_RTMP, STREAM_HLS, STREAM_RTSP):
                self.streams.append(text)
                self.log(b"stream " + text)


def analyse_file(path, trace=False):
    a = Analyser(trace)
    for number, network, data in read_pcap(path):
        a.on_frame(number, data, network)
    return a


def main(argv):
    mode = "streams"
    args = argv[1:]
    if args and args[0] in ("--sightings", "--write", "--trace"):
        mode = args.pop(0)[2:]
    stem = None
    if mode == "write" and len(args) == 2:
        stem = args.pop()
    if len(args) != 1:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    path = args[0]
    a = analyse_file(path, trace=(mode == "trace"))
    out = sys.stdout.buffer
    if mode == "write":
        if stem is None:
            stem = path[:-5] if path.endswith(".pcap") else path
        with open(stem + ".streams", "wb") as f:
            f.write(b"".join(line + b"\n" for line in a.streams))
        with open(stem + ".sightings", "wb") as f:
            f.write(b"".join(line + b"\n" for line in a.sightings))
    elif mode == "sightings":
        out.write(b"".join(line + b"\n" for line in a.sightings))
    elif mode == "streams":
        out.write(b"".join(line + b"\n" for line in a.streams))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
