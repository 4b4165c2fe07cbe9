#!/usr/bin/env bash
# Records the same RTMP play and HLS fetch under other link layers and network layers, an RTMP
# publish, and damaged copies of a small capture. Each session runs in a network namespace made
# here (lo only, MTU 1500, segmentation and receive offloads off, so segments are Ethernet-sized).
#
# Captures written into the output folder (tests/data/README.md tells what each holds):
#   eth-rtmp-hls.pcap    tcpdump -i lo (Ethernet) of an RTMP play (ffmpeg in listen mode) and an
#                        HLS fetch (http-server.py, ffmpeg client), with .streams and .sightings
#   sll2-rtmp-hls.pcap   the same packets, recorded at the same time by tcpdump -i any
#                        (LINUX_SLL2)
#   sll-rtmp-hls.pcap    and by tcpdump -i any -y LINUX_SLL (the first cooked format)
#   vlan-rtmp-hls.pcap   the Ethernet capture with an 802.1Q tag (tcprewrite; vlan.py without it)
#   qinq-rtmp-hls.pcap   the Ethernet capture with an 802.1ad tag and an 802.1Q tag (vlan.py)
#   ipv6-rtmp-hls.pcap   the same sessions over ::1
#   rtmp-publish.pcap    ffmpeg publishing an FLV to nginx-rtmp, with the published file's framemd5
#   damaged/cut-record.pcap, damaged/absurd-length.pcap
#                        hls-ffmpeg.pcap cut inside a record, or with one record's captured
#                        length made absurd
# Each capture's lines go to NAME.streams and NAME.sightings, and the publish's truth to
# rtmp-publish.framemd5.
#
# Usage: links.sh [--cli STREVIX_CLI] [SESSION...]   sessions: rtmp-hls ipv6 publish damaged
#   (default: all). --cli (default build/strevix-cli) works out the damaged captures' lines.
# Environment: CAPTURE_DIR (default tests/data).
# Run as root. Every namespace and process started here is removed on exit.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$ROOT/scripts/captures/lib.sh"
HELPERS="$ROOT/scripts/captures"
OUT="${CAPTURE_DIR:-$ROOT/tests/data}"
CLI="$ROOT/build/strevix-cli"
SESSIONS=()
while [ "$#" -gt 0 ]; do
  case "$1" in
    --cli) CLI="$2"; shift 2 ;;
    -h | --help) sed -n '2,27p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    rtmp-hls | ipv6 | publish | damaged) SESSIONS+=("$1"); shift ;;
    *) echo "usage: $0 [--cli STREVIX_CLI] [rtmp-hls|ipv6|publish|damaged]..." >&2; exit 2 ;;
  esac
done
[ "${#SESSIONS[@]}" -gt 0 ] || SESSIONS=(rtmp-hls ipv6 publish damaged)

if [ "$(id -u)" -ne 0 ]; then
  echo "links.sh: run as root (network namespaces and packet capture need it)" >&2
  exit 1
fi
for tool in ip ss ethtool tcpdump ffmpeg timeout python3; do
  command -v "$tool" >/dev/null || { echo "links.sh: $tool is missing (scripts/setup --captures)" >&2; exit 1; }
done

WORK="$(mktemp -d /tmp/strevix-links.XXXXXX)"
NS=""
PIDS=()
CAPTURES=()

log() { echo "links.sh: $*" >&2; }

cleanup() {
  local i
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill "${PIDS[i]}" 2>/dev/null || true; done
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do wait "${PIDS[i]}" 2>/dev/null || true; done
  [ -z "$NS" ] || ip netns del "$NS" 2>/dev/null || true
  if [ -n "${KEEP_WORK:-}" ]; then log "work folder kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ns_new() {
  NS="strevix-links-$$"
  ip netns del "$NS" 2>/dev/null || true
  ip netns add "$NS"
  ip -n "$NS" link set lo mtu 1500 up
  ip netns exec "$NS" ethtool -K lo tso off gso off gro off >/dev/null
}

ns_del() {
  ip netns del "$NS" 2>/dev/null || true
  NS=""
}

# tcpdump on interface $2 writing file $1, further options after; adds its pid to CAPTURES.
capture_start() {
  local file="$1" dev="$2" logfile
  logfile="$WORK/tcpdump-$(basename "$1").log"
  shift 2
  rm -f "$file"
  start_bg "$logfile" tcpdump -Z root -i "$dev" -B 16384 "$@" --immediate-mode -U -w "$file" tcp
  CAPTURES+=("$PID")
  wait_for "$logfile" "listening on"
}

capture_stop() {
  sleep 0.5  # the last segments and acknowledgements
  local p
  for p in "${CAPTURES[@]}"; do stop_pid "$p" INT; done
  CAPTURES=()
}

# The media: 2 s of testsrc 160x120 H.264 (baseline, a key frame a second) + AAC sine for RTMP,
# and a 3 s HLS folder of 1 s segments as make-captures makes for hls-ffmpeg.
make_media() {
  [ -f "$WORK/play.flv" ] && return 0
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=160x120:rate=25 \
    -f lavfi -i sine=frequency=440:sample_rate=44100 -t 2 -c:v libx264 -preset veryfast \
    -profile:v baseline -g 25 -pix_fmt yuv420p -c:a aac -b:a 32k -ac 1 -f flv "$WORK/play.flv"
  mkdir -p "$WORK/web/hls"
  ffmpeg -nostdin -v error -f lavfi -i testsrc=size=160x120:rate=15 \
    -f lavfi -i sine=frequency=440:sample_rate=22050 -t 3 \
    -c:v libx264 -preset ultrafast -b:v 60k -g 15 -c:a aac -b:a 24k -ac 1 \
    -f hls -hls_time 1 -hls_playlist_type vod -hls_segment_filename "$WORK/web/hls/seg%d.ts" \
    "$WORK/web/hls/index.m3u8"
}

# One RTMP play (ffmpeg serving play.flv in listen mode, an ffmpeg player) then one HLS fetch
# (http-server.py, an ffmpeg client), host $1 as the clients write it in their addresses
# (127.0.0.1 or [::1]) and $2 as the servers listen on it. The captures must be running.
play_sessions() {
  local host="$1" bind="$2"
  start_bg "$WORK/rtmp-server.log" timeout -k 5 40 \
    ffmpeg -nostdin -v error -re -i "$WORK/play.flv" -c copy -f flv -listen 1 \
    "rtmp://$host:1935/live/stream1"
  local server=$PID
  wait_port 1935
  timeout -s INT -k 5 40 ip netns exec "$NS" \
    ffmpeg -nostdin -v error -i "rtmp://$host/live/stream1" -c copy -f null - \
    >"$WORK/rtmp-client.log" 2>&1 </dev/null || true
  stop_pid "$server"
  start_bg "$WORK/http-server.log" python3 "$HELPERS/http-server.py" 8000 "$WORK/web" "$bind"
  server=$PID
  wait_for "$WORK/http-server.log" ready
  timeout -s INT -k 5 40 ip netns exec "$NS" \
    ffmpeg -nostdin -v error -i "http://$host:8000/hls/index.m3u8" -c copy -f null - \
    >"$WORK/hls-client.log" 2>&1 </dev/null || true
  stop_pid "$server"
  # A fetch that got nowhere leaves a capture without HLS: the caller records it again.
  local last
  last="$(grep -v '^#' "$WORK/web/hls/index.m3u8" | tail -1)"
  grep -q "GET /hls/$last " "$WORK/http-server.log" ||
    { log "the HLS client did not fetch $last"; cat "$WORK/hls-client.log" >&2; return 1; }
}

# Runs $1 (a session recording) up to three times, until the sessions went as planned.
attempts() {
  local n
  for n in 1 2 3; do
    "$@" && return 0
    capture_stop
    ns_del
    log "attempt $n failed"
  done
  return 1
}

size_line() { printf '%8d  %s\n' "$(stat -c %s "$1")" "${1#"$ROOT"/}" >&2; }

record_rtmp_hls() {
  ns_new
  CAPTURES=()
  capture_start "$WORK/eth-rtmp-hls.pcap" lo
  # Immediate mode rings hold one packet per slot of the snapshot length: a short one leaves
  # room enough that no packet is dropped at this pace.
  capture_start "$WORK/sll2-rtmp-hls.pcap" any -y LINUX_SLL2 -s 4096
  capture_start "$WORK/sll-rtmp-hls.pcap" any -y LINUX_SLL -s 4096
  play_sessions 127.0.0.1 127.0.0.1 || return 1
  capture_stop
  ns_del
}

record_ipv6() {
  ns_new
  CAPTURES=()
  capture_start "$WORK/ipv6-rtmp-hls.pcap" lo
  play_sessions "[::1]" "::1" || return 1
  capture_stop
  ns_del
}

# The Ethernet and the Linux cooked captures of the same traffic, then the tagged copies. Only
# the Ethernet capture's lines are worked out (expect.py); the others must give the same.
session_rtmp_hls() {
  make_media
  ns_new
  attempts record_rtmp_hls
  # The tcpdumps must have seen the same packets: the same bytes from the IP header on, in order.
  python3 - "$WORK/eth-rtmp-hls.pcap" "$WORK/sll2-rtmp-hls.pcap" "$WORK/sll-rtmp-hls.pcap" <<'EOF2' || return 1
import struct, sys
def network_bytes(path, link_header):
    data = open(path, "rb").read()
    out, at = [], 24
    while at + 16 <= len(data):
        caplen = struct.unpack("<I", data[at + 8:at + 12])[0]
        out.append(data[at + 16 + link_header:at + 16 + caplen])
        at += 16 + caplen
    return out
eth = network_bytes(sys.argv[1], 14)
for path, header in ((sys.argv[2], 20), (sys.argv[3], 16)):
    cooked = network_bytes(path, header)
    if eth != cooked:
        sys.exit("links.sh: the tcpdumps saw %d and %d frames (%s), not the same"
                 % (len(eth), len(cooked), path))
EOF2
  cp "$WORK/eth-rtmp-hls.pcap" "$WORK/sll2-rtmp-hls.pcap" "$WORK/sll-rtmp-hls.pcap" "$OUT/"
  python3 "$HELPERS/expect.py" --write "$OUT/eth-rtmp-hls.pcap"
  if command -v tcprewrite >/dev/null; then
    tcprewrite --enet-vlan=add --enet-vlan-tag=100 --enet-vlan-pri=0 --enet-vlan-cfi=0 \
      -i "$OUT/eth-rtmp-hls.pcap" -o "$OUT/vlan-rtmp-hls.pcap"
  else
    log "tcprewrite is missing (package tcpreplay): vlan.py adds the 802.1Q tag"
    python3 "$HELPERS/vlan.py" "$OUT/eth-rtmp-hls.pcap" "$OUT/vlan-rtmp-hls.pcap" 8100:100
  fi
  python3 "$HELPERS/vlan.py" "$OUT/eth-rtmp-hls.pcap" "$OUT/qinq-rtmp-hls.pcap" 88a8:200 8100:100
  local name
  for name in sll2 sll vlan qinq; do
    cp "$OUT/eth-rtmp-hls.streams" "$OUT/$name-rtmp-hls.streams"
    cp "$OUT/eth-rtmp-hls.sightings" "$OUT/$name-rtmp-hls.sightings"
    # The model reads the cooked and tagged frames too: it must find the same lines.
    python3 "$HELPERS/expect.py" --write "$OUT/$name-rtmp-hls.pcap" "$WORK/$name"
    if ! cmp -s "$WORK/$name.streams" "$OUT/eth-rtmp-hls.streams" ||
      ! cmp -s "$WORK/$name.sightings" "$OUT/eth-rtmp-hls.sightings"; then
      log "$name-rtmp-hls: expect.py finds other lines than on Ethernet"
      return 1
    fi
  done
  for name in eth sll2 sll vlan qinq; do size_line "$OUT/$name-rtmp-hls.pcap"; done
}

# The same sessions over ::1. The lines are the addresses as the clients wrote them.
session_ipv6() {
  make_media
  attempts record_ipv6
  cp "$WORK/ipv6-rtmp-hls.pcap" "$OUT/"
  local n
  {
    echo "RTMP-rtmp://[::1]/live/stream1"
    echo "HLS-http://[::1]:8000/hls/index.m3u8"
    for n in $(sed -n 's/^seg\([0-9]*\)\.ts$/\1/p' "$WORK/web/hls/index.m3u8"); do
      echo "HLS-http://[::1]:8000/hls/seg$n.ts"
    done
  } >"$OUT/ipv6-rtmp-hls.streams"
  # The sightings come from the model, once it agrees with the requests on the streams.
  python3 "$HELPERS/expect.py" --write "$OUT/ipv6-rtmp-hls.pcap" "$WORK/ipv6"
  cmp -s "$WORK/ipv6.streams" "$OUT/ipv6-rtmp-hls.streams" ||
    { log "ipv6-rtmp-hls: expect.py finds other streams than the clients asked for"; return 1; }
  cp "$WORK/ipv6.sightings" "$OUT/ipv6-rtmp-hls.sightings"
  size_line "$OUT/ipv6-rtmp-hls.pcap"
}

# ffmpeg publishing a short FLV to nginx-rtmp; no player. The truth is the published file.
session_publish() {
  if ! command -v nginx >/dev/null || [ ! -f /usr/lib/nginx/modules/ngx_rtmp_module.so ]; then
    log "nginx with its RTMP module is not installed: rtmp-publish skipped"
    return 0
  fi
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 \
    -f lavfi -i sine=frequency=660:sample_rate=44100 -t 3 -c:v libx264 -preset veryfast \
    -profile:v main -bf 2 -g 25 -pix_fmt yuv420p -c:a aac -b:a 32k -ac 1 -f flv "$WORK/publish.flv"
  mkdir -p "$WORK/nginx"
  cat >"$WORK/nginx/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
error_log $WORK/nginx/error.log;
pid $WORK/nginx/nginx.pid;
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
events { worker_connections 64; }
rtmp {
  server {
    listen 127.0.0.1:1935;
    chunk_size 4096;
    application live { live on; }
  }
}
EOF
  ns_new
  start_bg "$WORK/nginx.log" nginx -c "$WORK/nginx/nginx.conf" -p "$WORK/nginx"
  local server=$PID
  wait_port 1935
  CAPTURES=()
  capture_start "$WORK/rtmp-publish.pcap" lo
  timeout -s INT -k 5 40 ip netns exec "$NS" \
    ffmpeg -nostdin -v error -re -i "$WORK/publish.flv" -c copy -f flv \
    rtmp://127.0.0.1/live/cam7-key >"$WORK/publisher.log" 2>&1 </dev/null || true
  capture_stop
  stop_pid "$server" QUIT
  ns_del
  cp "$WORK/rtmp-publish.pcap" "$OUT/"
  # Pending too: decoder_capture_tests records every rtmp-*.pcap that has a NAME.framemd5.
  ffmpeg -v error -i "$WORK/publish.flv" -c copy -f framemd5 - >"$OUT/rtmp-publish.framemd5"
  echo "RTMP-rtmp://127.0.0.1/live/cam7-key" >"$OUT/rtmp-publish.streams"
  size_line "$OUT/rtmp-publish.pcap"
}

# Copies of hls-ffmpeg.pcap, damaged after the frame that gives its second stream line: cut in
# the middle of the next record, or that record's captured length made 0xFFFFFF00. The lines
# are what the program prints up to the damage.
session_damaged() {
  [ -x "$CLI" ] || { log "$CLI is not built: damaged captures skipped"; return 0; }
  mkdir -p "$OUT/damaged"
  python3 - "$OUT/hls-ffmpeg.pcap" "$OUT/damaged" <<'EOF'
import struct, sys
src, out = sys.argv[1], sys.argv[2]
data = open(src, "rb").read()
order = "<" if data[:4] in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1") else ">"
# Offsets of every record header.
offsets, at = [], 24
while at + 16 <= len(data):
    offsets.append(at)
    at += 16 + struct.unpack(order + "I", data[at + 8:at + 12])[0]
# The damaged record: the one after the first segment that names seg0.ts.
def record(o):
    return data[o + 16:o + 16 + struct.unpack(order + "I", data[o + 8:o + 12])[0]]
target = next(i for i, o in enumerate(offsets) if b"GET /hls/seg0.ts" in record(o)) + 1
o = offsets[target]
caplen = struct.unpack(order + "I", data[o + 8:o + 12])[0]
open(out + "/cut-record.pcap", "wb").write(data[:o + 16 + caplen // 2])
absurd = bytearray(data)
absurd[o + 8:o + 12] = struct.pack(order + "I", 0xFFFFFF00)
open(out + "/absurd-length.pcap", "wb").write(bytes(absurd))
print("damaged record: %d of %d (caplen %d)" % (target + 1, len(offsets), caplen), file=sys.stderr)
EOF
  # The program must read the intact capture as its lines say, or its output means nothing here.
  "$CLI" -r "$OUT/hls-ffmpeg.pcap" 2>&1 | cmp -s - "$OUT/hls-ffmpeg.streams" ||
    { log "$CLI does not print hls-ffmpeg.streams for hls-ffmpeg.pcap"; return 1; }
  local name rc
  for name in cut-record absurd-length; do
    rc=0
    "$CLI" -r "$OUT/damaged/$name.pcap" >"$OUT/damaged/$name.streams" 2>"$WORK/$name.err" || rc=$?
    # Exit 0 and silence until the damage is reported; then exit 1 and one line on stderr.
    log "$name: strevix-cli exits $rc, $(wc -l <"$WORK/$name.err") stderr lines"
    [ "$rc" -le 1 ] || { log "$name: unexpected exit status $rc"; return 1; }
    "$CLI" -r "$OUT/damaged/$name.pcap" --sightings >"$OUT/damaged/$name.sightings" 2>/dev/null || true
    size_line "$OUT/damaged/$name.pcap"
  done
}

mkdir -p "$OUT"
for s in "${SESSIONS[@]}"; do
  case "$s" in
    rtmp-hls) session_rtmp_hls ;;
    ipv6) session_ipv6 ;;
    publish) session_publish ;;
    damaged) session_damaged ;;
  esac
done
