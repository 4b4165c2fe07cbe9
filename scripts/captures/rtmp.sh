#!/usr/bin/env bash
# Records real RTMP play sessions: a short H.264 + AAC FLV made with ffmpeg's lavfi sources is
# served by an RTMP server and played by an ffmpeg client, inside a network namespace made here
# (lo only, MTU 1500, segmentation and receive offloads off, so segments are Ethernet-sized),
# captured with tcpdump on lo.
#
# For every session NAME it writes, into the output folder:
#   NAME.pcap     the capture (every TCP segment on lo)
#   NAME.flv      the file the server served
#   NAME.streams  the stream line strevix-cli prints for the capture
#   NAME.sightings  its sightings, when scripts/captures/expect.py is there to work them out
#
# Sessions (default: all the short ones):
#   rtmp-ffmpeg-128      ffmpeg in listen mode (announces 128-byte chunks), no B-frames
#   rtmp-ffmpeg-bframes  ffmpeg in listen mode, 2 B-frames, larger pictures
#   rtmp-ffmpeg-large    ffmpeg in listen mode, key frames above 64 KiB
#   rtmp-nginx-4096      nginx's RTMP module (chunk size 4096, audio and video on their own chunk
#                        streams, published by ffmpeg), 3 B-frames; needs nginx and
#                        libnginx-mod-rtmp, skipped without them
#   rtmp-long            like rtmp-ffmpeg-bframes but SECONDS long (default 60); only on request
#
# Usage: rtmp.sh [--out DIR] [--seconds N] [SESSION...]
# Environment: CAPTURE_DIR (default tests/data) when --out is not given.
# Run as root. Every namespace and process started here is removed on exit.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
OUT="${CAPTURE_DIR:-$ROOT/tests/data}"
SECONDS_LONG=60
SESSIONS=()
while [ "$#" -gt 0 ]; do
  case "$1" in
    --out) OUT="$2"; shift 2 ;;
    --seconds) SECONDS_LONG="$2"; shift 2 ;;
    -h | --help) sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    rtmp-*) SESSIONS+=("$1"); shift ;;
    *) echo "usage: $0 [--out DIR] [--seconds N] [SESSION...]" >&2; exit 2 ;;
  esac
done
[ "${#SESSIONS[@]}" -gt 0 ] || SESSIONS=(rtmp-ffmpeg-128 rtmp-ffmpeg-bframes rtmp-ffmpeg-large rtmp-nginx-4096)

if [ "$(id -u)" -ne 0 ]; then
  echo "rtmp.sh: run as root (network namespaces and packet capture need it)" >&2
  exit 1
fi
for tool in ip ss tcpdump ffmpeg timeout; do
  command -v "$tool" >/dev/null || { echo "rtmp.sh: $tool is missing" >&2; exit 1; }
done

ADDRESS="rtmp://127.0.0.1/live/stream1"
LINE="RTMP-rtmp://127.0.0.1/live/stream1"  # what strevix-cli prints: ":1935" is dropped
WORK="$(mktemp -d /tmp/strevix-rtmp.XXXXXX)"
NS=""
PIDS=()

log() { echo "rtmp.sh: $*" >&2; }

cleanup() {
  local i
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill "${PIDS[i]}" 2>/dev/null || true; done
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do wait "${PIDS[i]}" 2>/dev/null || true; done
  [ -z "$NS" ] || ip netns del "$NS" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ns_new() {
  NS="strevix-rtmp-$$"
  ip netns del "$NS" 2>/dev/null || true
  ip netns add "$NS"
  ip -n "$NS" link set lo mtu 1500 up
  if command -v ethtool >/dev/null; then
    ip netns exec "$NS" ethtool -K lo tso off gso off gro off >/dev/null
  else
    log "ethtool is missing: segments on lo will be larger than on Ethernet"
  fi
}

ns_del() {
  ip netns del "$NS" 2>/dev/null || true
  NS=""
}

# Starts a program inside the namespace in the background, output to file $1; sets PID.
start_bg() {
  local logfile="$1"
  shift
  ip netns exec "$NS" "$@" >"$logfile" 2>&1 </dev/null &
  PID=$!
  PIDS+=("$PID")
}

stop_pid() {
  kill -"${2:-TERM}" "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# Waits until something listens on TCP port 1935 in the namespace ($1 seconds at most).
wait_listen() {
  local n=0
  # Looked up, not connected to: ffmpeg's listen mode takes exactly one connection.
  until ip netns exec "$NS" ss -Hltn 'sport = :1935' 2>/dev/null | grep -q .; do
    n=$((n + 1))
    [ "$n" -lt $(($1 * 10)) ] || { log "no server on port 1935"; return 1; }
    sleep 0.1
  done
}

wait_file_text() {
  local n=0
  until grep -q -- "$2" "$1" 2>/dev/null; do
    n=$((n + 1))
    [ "$n" -lt 100 ] || { log "timed out waiting for '$2' in $1"; return 1; }
    sleep 0.1
  done
}

# The served file: testsrc2 + sine, H.264 (libx264) + AAC, a key frame every second.
# Args: output, seconds, size, B-frames, noise strength (0: none; still noise makes key frames
# large and leaves the other frames small).
make_source() {
  local video="testsrc2=size=$3:rate=25"
  [ "$5" -eq 0 ] || video="$video,noise=alls=$5:allf=u"
  ffmpeg -v error -y -f lavfi -i "$video" -f lavfi \
    -i "sine=frequency=440:sample_rate=44100" -t "$2" -c:v libx264 -preset veryfast \
    -profile:v "$([ "$4" -gt 0 ] && echo main || echo baseline)" -bf "$4" -g 25 \
    -pix_fmt yuv420p -c:a aac -b:a 48k -ac 1 -f flv "$1"
}

capture_start() {
  start_bg "$WORK/tcpdump.log" tcpdump -Z root -i lo --immediate-mode -U -w "$1" tcp
  CAPTURE_PID=$PID
  wait_file_text "$WORK/tcpdump.log" "listening on"
}

capture_stop() {
  sleep 0.5  # the last segments and acknowledgements
  stop_pid "$CAPTURE_PID" INT
}

# ffmpeg serves the file in listen mode; the stream starts when the player connects.
session_ffmpeg() {
  local name="$1" source="$2" seconds="$3"
  ns_new
  capture_start "$WORK/$name.pcap"
  start_bg "$WORK/server.log" timeout -k 5 $((seconds + 30)) \
    ffmpeg -v error -re -i "$source" -c copy -f flv -listen 1 "rtmp://127.0.0.1:1935/live/stream1"
  local server=$PID
  wait_listen 10
  timeout -s INT -k 5 $((seconds + 30)) ip netns exec "$NS" \
    ffmpeg -v error -i "$ADDRESS" -c copy -f null - >"$WORK/client.log" 2>&1 </dev/null || true
  stop_pid "$server"
  capture_stop
  ns_del
}

# nginx's RTMP module relays what ffmpeg publishes; the player connects first and waits.
session_nginx() {
  local name="$1" source="$2" seconds="$3" chunk="$4"
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
    chunk_size $chunk;
    application live { live on; }
  }
}
EOF
  ns_new
  start_bg "$WORK/nginx.log" nginx -c "$WORK/nginx/nginx.conf" -p "$WORK/nginx"
  local server=$PID
  wait_listen 10
  capture_start "$WORK/$name.pcap"
  start_bg "$WORK/client.log" timeout -s INT -k 5 $((seconds + 30)) \
    ffmpeg -v error -i "$ADDRESS" -c copy -f null -
  local player=$PID
  sleep 1
  timeout -s INT -k 5 $((seconds + 30)) ip netns exec "$NS" \
    ffmpeg -v error -re -i "$source" -c copy -f flv "$ADDRESS" >"$WORK/publisher.log" 2>&1 \
    </dev/null || true
  sleep 2  # the tail reaches the player
  stop_pid "$player" INT
  capture_stop
  stop_pid "$server" QUIT
  ns_del
}

write_outputs() {
  local name="$1"
  cp "$WORK/$name.pcap" "$OUT/$name.pcap"
  cp "$WORK/$name.flv" "$OUT/$name.flv"
  echo "$LINE" >"$OUT/$name.streams"
  if [ -f "$ROOT/scripts/captures/expect.py" ] && command -v python3 >/dev/null; then
    python3 "$ROOT/scripts/captures/expect.py" --write "$OUT/$name.pcap" >/dev/null
  fi
  printf '%8d  %s\n' "$(stat -c %s "$OUT/$name.pcap")" "$OUT/$name.pcap" >&2
}

mkdir -p "$OUT"
for name in "${SESSIONS[@]}"; do
  case "$name" in
    rtmp-ffmpeg-128)
      make_source "$WORK/$name.flv" 3 160x120 0 0
      session_ffmpeg "$name" "$WORK/$name.flv" 3 ;;
    rtmp-ffmpeg-bframes)
      make_source "$WORK/$name.flv" 3 320x240 2 12
      session_ffmpeg "$name" "$WORK/$name.flv" 3 ;;
    rtmp-ffmpeg-large)
      make_source "$WORK/$name.flv" 2 640x360 2 30
      session_ffmpeg "$name" "$WORK/$name.flv" 2 ;;
    rtmp-nginx-4096)
      if ! command -v nginx >/dev/null || [ ! -f /usr/lib/nginx/modules/ngx_rtmp_module.so ]; then
        log "nginx with its RTMP module is not installed: $name skipped"
        continue
      fi
      make_source "$WORK/$name.flv" 3 320x240 3 12
      session_nginx "$name" "$WORK/$name.flv" 3 4096 ;;
    rtmp-long)
      make_source "$WORK/$name.flv" "$SECONDS_LONG" 320x240 2 12
      session_ffmpeg "$name" "$WORK/$name.flv" "$SECONDS_LONG" ;;
    *) log "unknown session $name"; exit 2 ;;
  esac
  write_outputs "$name"
done
