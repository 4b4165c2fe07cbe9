#!/usr/bin/env python3
"""Spoils a clean RTMP play capture (classic pcap, Ethernet, IPv4) in repeatable ways.

  damage.py gaps IN.pcap OUT.gaps
      Picks five server-to-client segments with payload, spread over the media, and prints their
      frame numbers (1-based, for `editcap IN OUT N...`, which deletes them). OUT.gaps lists them:
      frame number, sequence number relative to the server's first byte, absolute sequence
      number and payload length.
  damage.py move IN.pcap OUT.pcap
      Writes a copy where one server segment is moved earlier (ahead of the eight frames before
      it) and another is written twice (its copy three frames after it), as a capture taken
      where the link reordered and repeated them. Every byte is still there.

Only the standard library; the choice depends on the capture alone.
"""

import struct
import sys

RTMP_PORT = 1935


def read_pcap(path):
    data = open(path, "rb").read()
    magic = data[:4]
    if magic in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1"):
        endian = "<"
    elif magic in (b"\xa1\xb2\xc3\xd4", b"\xa1\xb2\x3c\x4d"):
        endian = ">"
    else:
        sys.exit(f"damage.py: {path} is not a classic pcap file")
    header = data[:24]
    records = []
    at = 24
    while at + 16 <= len(data):
        ts_sec, ts_frac, caplen, origlen = struct.unpack(endian + "IIII", data[at:at + 16])
        frame = data[at + 16:at + 16 + caplen]
        if len(frame) < caplen:
            break
        records.append([ts_sec, ts_frac, origlen, frame])
        at += 16 + caplen
    return endian, header, records


def write_pcap(path, endian, header, records):
    with open(path, "wb") as out:
        out.write(header)
        for ts_sec, ts_frac, origlen, frame in records:
            out.write(struct.pack(endian + "IIII", ts_sec, ts_frac, len(frame), origlen))
            out.write(frame)


def tcp_fields(frame):
    """(source port, destination port, sequence number, flags, payload length) or None."""
    if len(frame) < 34 or frame[12:14] != b"\x08\x00" or frame[14] >> 4 != 4 or frame[23] != 6:
        return None
    ihl = (frame[14] & 0x0F) * 4
    total = struct.unpack(">H", frame[16:18])[0]
    tcp = 14 + ihl
    if len(frame) < tcp + 20 or total > len(frame) - 14:
        return None
    sport, dport, seq = struct.unpack(">HHI", frame[tcp:tcp + 8])
    offset = (frame[tcp + 12] >> 4) * 4
    flags = frame[tcp + 13]
    return sport, dport, seq, flags, total - ihl - offset


def server_segments(records):
    """Indexes of the server's segments with payload, and the server's first sequence number."""
    segments, first = [], None
    for i, record in enumerate(records):
        fields = tcp_fields(record[3])
        if fields is None or fields[0] != RTMP_PORT:
            continue
        sport, dport, seq, flags, length = fields
        if flags & 0x02 and first is None:  # SYN-ACK
            first = (seq + 1) & 0xFFFFFFFF
        if length > 0:
            segments.append(i)
    if not segments:
        sys.exit("damage.py: no server segments with payload")
    if first is None:
        first = tcp_fields(records[segments[0]][3])[2]
    return segments, first


def single(records, segments, index):
    """Whether no other server segment carries the bytes of segment `index` (no retransmission)."""
    seq = tcp_fields(records[index][3])[2]
    return sum(1 for i in segments if tcp_fields(records[i][3])[2] == seq) == 1


def pick(records, segments, fraction):
    """The first single server segment at or after `fraction` of the way through the media."""
    start = int(len(segments) * fraction)
    for i in segments[start:]:
        if single(records, segments, i):
            return i
    sys.exit("damage.py: no segment to pick")


def server_stream(records, segments, first):
    """The server's byte stream (the capture is clean: every byte once, in order)."""
    data = bytearray()
    for i in segments:
        fields = tcp_fields(records[i][3])
        frame = records[i][3]
        if (fields[2] - first) & 0xFFFFFFFF != len(data):
            sys.exit("damage.py: the clean capture has a hole or a repeat")
        data += frame[len(frame) - fields[4]:] if fields[4] else b""
    return bytes(data)


def media_messages(stream):
    """The audio and video messages of an RTMP server stream after the handshake, as
    (type, first body byte, [(start, end) of each chunk]). Only AVC NAL units and raw AAC: the
    sequence headers become extradata and the end of sequence nothing in ffmpeg's framemd5."""
    at, chunk_size, state, messages, open_ = 1 + 1536 + 1536, 128, {}, [], {}
    while at < len(stream):
        start = at
        fmt, csid = stream[at] >> 6, stream[at] & 0x3F
        at += 1
        if csid == 0:
            csid, at = 64 + stream[at], at + 1
        elif csid == 1:
            csid, at = 64 + stream[at] + 256 * stream[at + 1], at + 2
        s = state.setdefault(csid, {"len": 0, "type": 0, "ext": False})
        if fmt <= 2:
            ts = int.from_bytes(stream[at:at + 3], "big")
            s["ext"] = ts == 0xFFFFFF
        if fmt <= 1:
            s["len"] = int.from_bytes(stream[at + 3:at + 6], "big")
            s["type"] = stream[at + 6]
        at += (11, 7, 3, 0)[fmt]
        if s["ext"]:
            at += 4
        if csid not in open_:
            open_[csid] = {"type": s["type"], "left": s["len"], "chunks": [], "body": b""}
        m = open_[csid]
        take = min(chunk_size, m["left"])
        if not m["body"]:
            m["body"] = stream[at:at + 2]
        at += take
        m["left"] -= take
        m["chunks"].append((start, at))
        if m["left"] == 0:
            del open_[csid]
            body = m["body"]
            if m["type"] == 1:
                chunk_size = int.from_bytes(stream[at - 4:at], "big") & 0x7FFFFFFF
            elif m["type"] in (8, 9) and len(body) == 2 and body[1] == 1:
                messages.append((m["type"], body[0], m["chunks"]))
    return messages


def allowed_losses(messages, start, end):
    """What a recorder may lose to the bytes [start, end) missing: the media messages touching
    them or open across them, and the video from the gap up to its next key frame (whether a
    video message was in the missing bytes cannot be known, so none is trusted until a key
    frame)."""
    lost = set()
    for n, (kind, first_byte, chunks) in enumerate(messages):
        touched = any(a < end and start < b for a, b in chunks)
        spanning = chunks[0][0] < start and chunks[-1][1] > end
        if touched or spanning:
            lost.add(n)
    for n, (kind, first_byte, chunks) in enumerate(messages):
        if kind != 9 or chunks[-1][1] <= start:
            continue
        if first_byte >> 4 == 1 and n not in lost:
            break
        lost.add(n)
    return len(lost)


def gaps(src, gaps_file):
    _, _, records = read_pcap(src)
    segments, first = server_segments(records)
    messages = media_messages(server_stream(records, segments, first))
    chosen = [pick(records, segments, f) for f in (0.15, 0.32, 0.5, 0.67, 0.85)]
    with open(gaps_file, "w") as out:
        out.write("# Server segments deleted from the capture: frame, sequence number relative to\n"
                  "# the server's first byte, sequence number, length, and how many of the\n"
                  f"# {len(messages)} media packets a recorder may lose to it.\n")
        for i in chosen:
            _, _, seq, _, length = tcp_fields(records[i][3])
            rel = (seq - first) & 0xFFFFFFFF
            allowed = allowed_losses(messages, rel, rel + length)
            out.write(f"{i + 1} {rel} {seq} {length} {allowed}\n")
    print(" ".join(str(i + 1) for i in chosen))


def move(src, dst):
    endian, header, records = read_pcap(src)
    segments, _ = server_segments(records)
    moved = pick(records, segments, 0.4)
    repeated = pick(records, segments, 0.7)
    if moved < 8:
        sys.exit("damage.py: capture too short")
    out = list(records)
    # The repeat first (it lies after the move, so the moved frame's index stays right).
    copy = list(records[repeated])
    copy[0], copy[1] = records[repeated + 3][0], records[repeated + 3][1]
    out.insert(repeated + 4, copy)
    frame = out.pop(moved)
    frame = list(frame)
    frame[0], frame[1] = records[moved - 8][0], records[moved - 8][1]
    out.insert(moved - 8, frame)
    write_pcap(dst, endian, header, out)
    sys.stderr.write(
        f"damage.py: frame {moved + 1} moved ahead of frame {moved - 7}; frame {repeated + 1} "
        f"written again after frame {repeated + 4}\n")


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("gaps", "move"):
        sys.exit("usage: damage.py gaps IN.pcap OUT.gaps | damage.py move IN.pcap OUT.pcap")
    if sys.argv[1] == "gaps":
        gaps(sys.argv[2], sys.argv[3])
    else:
        move(sys.argv[2], sys.argv[3])


if __name__ == "__main__":
    main()
