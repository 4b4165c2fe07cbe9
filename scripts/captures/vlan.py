#!/usr/bin/env python3
"""Adds VLAN tags to every Ethernet frame of a classic pcap file.

Usage: vlan.py IN.pcap OUT.pcap TAG [TAG...]
Each TAG is TPID:VID (hexadecimal TPID, decimal VLAN id), outermost first, for instance
  vlan.py eth.pcap vlan.pcap 8100:100             one 802.1Q tag
  vlan.py eth.pcap qinq.pcap 88a8:200 8100:100    802.1ad outer tag, 802.1Q inner tag
The tags go between the source MAC address and the frame's own EtherType, priority and DEI 0;
captured and original lengths grow by 4 bytes a tag. Everything else (header, time stamps, byte
order) is kept as it is. Standard library only.
"""
import struct
import sys


def parse_tag(text):
    tpid, _, vid = text.partition(":")
    tpid, vid = int(tpid, 16), int(vid)
    if not 0 <= tpid <= 0xFFFF or not 0 <= vid < 4096:
        raise ValueError("bad tag " + text)
    return struct.pack(">HH", tpid, vid)


def tag_file(src, dst, tags):
    inserted = b"".join(tags)
    with open(src, "rb") as f:
        head = f.read(24)
        if len(head) < 24:
            raise ValueError(src + ": not a pcap file")
        magic = head[:4]
        if magic in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1"):
            order = "<"
        elif magic in (b"\xa1\xb2\xc3\xd4", b"\xa1\xb2\x3c\x4d"):
            order = ">"
        else:
            raise ValueError(src + ": not a classic pcap file")
        if struct.unpack(order + "I", head[20:24])[0] != 1:
            raise ValueError(src + ": link type is not Ethernet")
        out = [head]
        count = 0
        while True:
            rec = f.read(16)
            if not rec:
                break
            if len(rec) < 16:
                raise ValueError(src + ": record header cut short")
            sec, frac, caplen, origlen = struct.unpack(order + "IIII", rec)
            data = f.read(caplen)
            if len(data) < caplen:
                raise ValueError(src + ": record cut short")
            # A frame without its two addresses and EtherType is left as it is.
            if caplen >= 14:
                data = data[:12] + inserted + data[12:]
                caplen += len(inserted)
                origlen += len(inserted)
            out.append(struct.pack(order + "IIII", sec, frac, caplen, origlen))
            out.append(data)
            count += 1
    with open(dst, "wb") as f:
        f.write(b"".join(out))
    return count


def main(argv):
    if len(argv) < 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    count = tag_file(argv[1], argv[2], [parse_tag(t) for t in argv[3:]])
    print("vlan.py: %d frames tagged" % count, file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
