#!/usr/bin/env bash
# Records HTTP stream sessions whose client writes what it received: the truth a recording made
# from the capture is compared with. Each session runs in a network namespace made here (lo only,
# MTU 1500, offloads off), captured with tcpdump on lo.
#
# For every session NAME it writes into OUT (default tests/data/http-record):
#   NAME.pcap      the capture
#   NAME.address   the address to record
#   NAME.framemd5  `ffmpeg -i CLIENT_FILE -c copy -f framemd5 -` of the file the client wrote
#                  (hls-gap has none: it is hls-python with one segment's connection removed)
#
# Sessions:
#   hls-python   Python's http.server (HTTP/1.0, a connection per request), MPEG-TS segments
#   hls-nginx    nginx, one keep-alive connection (-http_persistent 1), 206 to "Range: bytes=0-"
#   hls-chunked  chunked-server.py: HTTP/1.1 keep-alive, chunked bodies, gzip-encoded playlists
#   hls-fmp4     nginx, fMP4 segments after an EXT-X-MAP init section
#   hls-live     http.server while ffmpeg still writes the playlist: reloaded as segments come
#   hls-gap      hls-python without the connection that fetched seg1.ts
#   hls-impaired nginx across a link that loses 4 %, repeats 2 %, reorders and delays segments
#                (scripts/captures/impair.c between the client's and the server's namespaces)
#   flv-ffmpeg   HTTP-FLV from `ffmpeg -f flv -listen 1 http://...`, one endless response
#   mp4-nginx    a progressive MP4 with its index at the end: the client reads it in ranges
#
# Usage: http-record.sh [--out DIR] [SESSION...]
# Run as root. Every namespace and process started here is removed on exit.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$ROOT/scripts/captures/lib.sh"
HELPERS="$ROOT/scripts/captures"
OUT="$ROOT/tests/data/http-record"
SESSIONS=()
while [ "$#" -gt 0 ]; do
  case "$1" in
    --out) OUT="$2"; shift 2 ;;
    -h | --help) sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "usage: $0 [--out DIR] [SESSION...]" >&2; exit 2 ;;
    *) SESSIONS+=("$1"); shift ;;
  esac
done
[ "${#SESSIONS[@]}" -gt 0 ] ||
  SESSIONS=(hls-python hls-nginx hls-chunked hls-fmp4 hls-live hls-gap hls-impaired flv-ffmpeg
    mp4-nginx)

if [ "$(id -u)" -ne 0 ]; then
  echo "http-record.sh: run as root (network namespaces and packet capture need it)" >&2
  exit 1
fi
for tool in ip ethtool tcpdump ffmpeg nginx timeout python3 cc; do
  command -v "$tool" >/dev/null || { echo "http-record.sh: $tool is missing" >&2; exit 1; }
done

WORK="$(mktemp -d /tmp/strevix-http-record.XXXXXX)"
WEB="$WORK/web"
NS=""
LINK_NS=()
PIDS=()

log() { echo "http-record.sh: $*" >&2; }

cleanup() {
  local i
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill "${PIDS[i]}" 2>/dev/null || true; done
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do wait "${PIDS[i]}" 2>/dev/null || true; done
  [ -z "$NS" ] || ip netns del "$NS" 2>/dev/null || true
  for ns in "${LINK_NS[@]}"; do ip netns del "$ns" 2>/dev/null || true; done
  if [ -n "${KEEP_WORK:-}" ]; then log "work folder kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ns_new() {
  NS="strevix-rec-$1-$$"
  ip netns del "$NS" 2>/dev/null || true
  ip netns add "$NS"
  ip -n "$NS" link set lo mtu 1500 up
  ip netns exec "$NS" ethtool -K lo tso off gso off gro off >/dev/null
}

ns_end() {
  ip netns del "$NS" 2>/dev/null || true
  NS=""
}

capture_start() {
  rm -f "$1"
  start_bg "$WORK/tcpdump.log" tcpdump -Z root -i "${2:-lo}" --immediate-mode -U -w "$1" tcp
  CAPTURE_PID=$PID
  wait_for "$WORK/tcpdump.log" "listening on"
}

capture_stop() {
  sleep 0.5
  stop_pid "$CAPTURE_PID" INT
}

client() {
  local limit="$1" logfile="$2"
  shift 2
  timeout -s INT -k 5 "$limit" ip netns exec "$NS" "$@" >"$logfile" 2>&1 </dev/null
}

# The truth: the packets of the file the client wrote.
truth() {
  ffmpeg -nostdin -v error -i "$1" -c copy -f framemd5 - >"$OUT/$2.framemd5"
}

SOURCE=(-f lavfi -i testsrc=size=160x120:rate=10 -f lavfi -i sine=frequency=440:sample_rate=22050)
CODECS=(-c:v libx264 -preset ultrafast -b:v 50k -g 10 -c:a aac -b:a 24k -ac 1)

make_web() {
  mkdir -p "$WEB/hls" "$WEB/fmp4" "$WEB/media" "$WEB/live"
  ffmpeg -nostdin -loglevel error "${SOURCE[@]}" -t 4 "${CODECS[@]}" \
    -f hls -hls_time 1 -hls_playlist_type vod -hls_segment_filename "$WEB/hls/seg%d.ts" \
    "$WEB/hls/index.m3u8"
  ffmpeg -nostdin -loglevel error "${SOURCE[@]}" -t 4 "${CODECS[@]}" \
    -f hls -hls_time 1 -hls_playlist_type vod -hls_segment_type fmp4 \
    -hls_fmp4_init_filename init.mp4 -hls_segment_filename "$WEB/fmp4/seg%d.m4s" \
    "$WEB/fmp4/index.m3u8"
  # The index at the end, as a plain encode leaves it: a player reads the file in ranges.
  ffmpeg -nostdin -loglevel error "${SOURCE[@]}" -t 4 "${CODECS[@]}" "$WEB/media/clip.mp4"
  {
    nginx_http_head
    cat <<NGINX
  types {
    application/vnd.apple.mpegurl m3u8;
    video/mp2t ts;
    video/mp4 mp4 m4s;
  }
  keepalive_requests 1000;
  server {
    listen 8081;
    root $WEB;
  }
}
NGINX
  } >"$WORK/nginx.conf"
}

nginx_start() {
  start_bg "$WORK/nginx.log" nginx -p "$WORK" -c "$WORK/nginx.conf"
  SERVER_PID=$PID
  wait_port 8081
}

python_start() {
  start_bg "$WORK/http-server.log" python3 "$HELPERS/http-server.py" 8000 "$WEB"
  SERVER_PID=$PID
  wait_for "$WORK/http-server.log" ready
}

session_hls_python() {
  ns_new python
  python_start
  capture_start "$OUT/hls-python.pcap"
  client 30 "$WORK/client.log" ffmpeg -nostdin -i http://127.0.0.1:8000/hls/index.m3u8 \
    -c copy -f mpegts -y "$WORK/hls-python.ts"
  capture_stop
  stop_pid "$SERVER_PID"
  ns_end
  echo "http://127.0.0.1:8000/hls/index.m3u8" >"$OUT/hls-python.address"
  truth "$WORK/hls-python.ts" hls-python
}

session_hls_nginx() {
  ns_new nginx
  nginx_start
  capture_start "$OUT/hls-nginx.pcap"
  client 30 "$WORK/client.log" ffmpeg -nostdin -http_persistent 1 \
    -i http://127.0.0.1:8081/hls/index.m3u8 -c copy -f mpegts -y "$WORK/hls-nginx.ts"
  capture_stop
  stop_pid "$SERVER_PID"
  ns_end
  echo "http://127.0.0.1:8081/hls/index.m3u8" >"$OUT/hls-nginx.address"
  truth "$WORK/hls-nginx.ts" hls-nginx
}

session_hls_chunked() {
  ns_new chunked
  start_bg "$WORK/chunked.log" python3 "$HELPERS/chunked-server.py" 8082 "$WEB"
  SERVER_PID=$PID
  wait_for "$WORK/chunked.log" ready
  capture_start "$OUT/hls-chunked.pcap"
  client 30 "$WORK/client.log" ffmpeg -nostdin -http_persistent 1 \
    -i http://127.0.0.1:8082/hls/index.m3u8 -c copy -f mpegts -y "$WORK/hls-chunked.ts"
  capture_stop
  stop_pid "$SERVER_PID"
  ns_end
  echo "http://127.0.0.1:8082/hls/index.m3u8" >"$OUT/hls-chunked.address"
  truth "$WORK/hls-chunked.ts" hls-chunked
}

session_hls_fmp4() {
  ns_new fmp4
  nginx_start
  capture_start "$OUT/hls-fmp4.pcap"
  client 30 "$WORK/client.log" ffmpeg -nostdin -i http://127.0.0.1:8081/fmp4/index.m3u8 \
    -c copy -f mp4 -y "$WORK/hls-fmp4.mp4"
  capture_stop
  stop_pid "$SERVER_PID"
  ns_end
  echo "http://127.0.0.1:8081/fmp4/index.m3u8" >"$OUT/hls-fmp4.address"
  truth "$WORK/hls-fmp4.mp4" hls-fmp4
}

session_hls_live() {
  ns_new live
  python_start
  rm -f "$WEB/live/"*
  start_bg "$WORK/live-writer.log" ffmpeg -nostdin -loglevel error -re "${SOURCE[@]}" -t 7 \
    "${CODECS[@]}" -f hls -hls_time 1 -hls_list_size 3 \
    -hls_segment_filename "$WEB/live/seg%d.ts" "$WEB/live/index.m3u8"
  WRITER_PID=$PID
  until [ -f "$WEB/live/seg2.ts" ]; do sleep 0.1; done
  capture_start "$OUT/hls-live.pcap"
  client 30 "$WORK/client.log" ffmpeg -nostdin -i http://127.0.0.1:8000/live/index.m3u8 \
    -c copy -f mpegts -y "$WORK/hls-live.ts"
  capture_stop
  wait "$WRITER_PID" 2>/dev/null || true
  stop_pid "$SERVER_PID"
  ns_end
  echo "http://127.0.0.1:8000/live/index.m3u8" >"$OUT/hls-live.address"
  truth "$WORK/hls-live.ts" hls-live
}

session_hls_gap() {
  [ -f "$OUT/hls-python.pcap" ] || session_hls_python
  python3 "$HELPERS/drop-connection.py" "$OUT/hls-python.pcap" "GET /hls/seg1.ts" \
    "$OUT/hls-gap.pcap"
  cp "$OUT/hls-python.address" "$OUT/hls-gap.address"
  echo hls-python >"$OUT/hls-gap.truth"
}

# Client and server in namespaces of their own, joined through a third where impair forwards
# every frame (offloads off: each segment a whole frame with its checksum); tcpdump on the
# client's side holds what the client received, retransmissions included.
session_hls_impaired() {
  [ -x "$WORK/impair" ] || cc -O2 -Wall -Wextra -o "$WORK/impair" "$HELPERS/impair.c"
  local role ns pair
  for role in c m s; do
    ns="strevix-rec-link$role-$$"
    ip netns del "$ns" 2>/dev/null || true
    ip netns add "$ns"
    LINK_NS+=("$ns")
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
    ip -n "$ns" link set lo up
  done
  local nc="${LINK_NS[0]}" nm="${LINK_NS[1]}" ns_s="${LINK_NS[2]}"
  ip link add c0 netns "$nc" mtu 1500 type veth peer name c1 netns "$nm" mtu 1500
  ip link add s0 netns "$ns_s" mtu 1500 type veth peer name s1 netns "$nm" mtu 1500
  for pair in "$nc c0" "$nm c1" "$nm s1" "$ns_s s0"; do
    set -- $pair
    ip netns exec "$1" ethtool -K "$2" tso off gso off gro off tx off rx off >/dev/null 2>&1 || true
    ip -n "$1" link set "$2" up
  done
  ip -n "$nc" addr add 10.202.0.1/24 dev c0
  ip -n "$ns_s" addr add 10.202.0.2/24 dev s0
  NS="$nm"
  start_bg "$WORK/impair.log" "$WORK/impair" -a c1 -b s1 -t 120 -l 4 -d 2 -r 4 -D 1 -j 3 -s 21
  local impair=$PID
  wait_for "$WORK/impair.log" ready
  NS="$ns_s"
  nginx_start
  NS="$nc"
  capture_start "$OUT/hls-impaired.pcap" c0
  client 60 "$WORK/client.log" ffmpeg -nostdin -http_persistent 1 \
    -i http://10.202.0.2:8081/hls/index.m3u8 -c copy -f mpegts -y "$WORK/hls-impaired.ts"
  capture_stop
  NS=""
  stop_pid "$SERVER_PID"
  stop_pid "$impair"
  log "$(grep '^impair:' "$WORK/impair.log" || true)"
  for ns in "${LINK_NS[@]}"; do ip netns del "$ns" 2>/dev/null || true; done
  LINK_NS=()
  echo "http://10.202.0.2:8081/hls/index.m3u8" >"$OUT/hls-impaired.address"
  truth "$WORK/hls-impaired.ts" hls-impaired
}

session_flv_ffmpeg() {
  ns_new flv
  start_bg "$WORK/flv-server.log" ffmpeg -nostdin -loglevel error -re "${SOURCE[@]}" -t 4 \
    "${CODECS[@]}" -f flv -listen 1 http://127.0.0.1:8083/live/cam.flv
  SERVER_PID=$PID
  wait_port 8083
  capture_start "$OUT/flv-ffmpeg.pcap"
  client 30 "$WORK/client.log" ffmpeg -nostdin -i http://127.0.0.1:8083/live/cam.flv \
    -c copy -f flv -y "$WORK/flv-ffmpeg.flv"
  capture_stop
  stop_pid "$SERVER_PID"
  ns_end
  echo "http://127.0.0.1:8083/live/cam.flv" >"$OUT/flv-ffmpeg.address"
  truth "$WORK/flv-ffmpeg.flv" flv-ffmpeg
}

session_mp4_nginx() {
  ns_new mp4
  nginx_start
  capture_start "$OUT/mp4-nginx.pcap"
  client 30 "$WORK/client.log" ffmpeg -nostdin -i http://127.0.0.1:8081/media/clip.mp4 \
    -c copy -f mp4 -y "$WORK/mp4-nginx.mp4"
  capture_stop
  stop_pid "$SERVER_PID"
  ns_end
  echo "http://127.0.0.1:8081/media/clip.mp4" >"$OUT/mp4-nginx.address"
  truth "$WORK/mp4-nginx.mp4" mp4-nginx
}

mkdir -p "$OUT"
make_web
for s in "${SESSIONS[@]}"; do
  log "$s"
  "session_${s//-/_}"
done
for s in "${SESSIONS[@]}"; do
  printf '%8d  %s\n' "$(stat -c %s "$OUT/$s.pcap")" "$s.pcap"
done
