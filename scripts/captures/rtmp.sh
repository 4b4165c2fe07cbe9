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
# and across a link (client and server namespaces joined through a forwarding namespace, 6 s of
# 320x240 + AAC; they write NAME.framemd5, the framemd5 of the file the client wrote, instead of
# NAME.flv, and no sightings):
#   rtmp-impaired-ffmpeg ffmpeg listen-mode server; 2 % loss, 1 % duplicates, reordering, jitter
#   rtmp-impaired-nginx  nginx, ffmpeg player; the same impairments
#   rtmp-jitter-nginx    nginx, ffmpeg player; reordering and 8 ms of jitter only
#   rtmp-rtmpdump        nginx, rtmpdump (librtmp) player
#   rtmp-gst             nginx, GStreamer rtmp2src player
#   rtmp-twice           nginx, two ffmpeg players, the second joining 2.5 s later
#                        (NAME.1.framemd5, NAME.2.framemd5)
#   rtmp-gaps, rtmp-moved  a clean nginx session spoiled by damage.py: five server segments
#                        deleted (NAME.gaps lists them), or one moved earlier and one repeated
#
# Usage: rtmp.sh [--out DIR] [--seconds N] [SESSION...]
# Environment: CAPTURE_DIR (default tests/data) when --out is not given.
# Run as root. Every namespace and process started here is removed on exit.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$ROOT/scripts/captures/lib.sh"
OUT="${CAPTURE_DIR:-$ROOT/tests/data}"
SECONDS_LONG=60
SESSIONS=()
while [ "$#" -gt 0 ]; do
  case "$1" in
    --out) OUT="$2"; shift 2 ;;
    --seconds) SECONDS_LONG="$2"; shift 2 ;;
    -h | --help) sed -n '2,36p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    rtmp-*) SESSIONS+=("$1"); shift ;;
    *) echo "usage: $0 [--out DIR] [--seconds N] [SESSION...]" >&2; exit 2 ;;
  esac
done
[ "${#SESSIONS[@]}" -gt 0 ] || SESSIONS=(rtmp-ffmpeg-128 rtmp-ffmpeg-bframes rtmp-ffmpeg-large rtmp-nginx-4096
  rtmp-impaired-ffmpeg rtmp-impaired-nginx rtmp-jitter-nginx rtmp-rtmpdump rtmp-gst rtmp-twice
  rtmp-gaps rtmp-moved)

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
LINK_NS=()
PIDS=()

log() { echo "rtmp.sh: $*" >&2; }

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
  wait_for "$WORK/tcpdump.log" "listening on"
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
  wait_port 1935 10
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
  wait_port 1935 10
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

# ---- Sessions across a link: the client and the server each in a namespace of their own, joined
# by two veth pairs through a third namespace where impair (scripts/captures/impair.c) copies
# every frame from one pair to the other, dropping, duplicating, reordering and delaying TCP
# frames as told. MTU 1500 and no segmentation, receive or checksum offloads, so every segment
# is a whole Ethernet frame with a finished checksum (impair sends the bytes as they are).
# tcpdump listens on the client's veth: the capture holds what the client received,
# retransmissions included, and none of the publisher's traffic (on the server's lo).

CLIENT_IP=10.201.0.1
SERVER_IP=10.201.0.2
LINK_ADDRESS="rtmp://$SERVER_IP/live/stream1"
LINK_LINE="RTMP-$LINK_ADDRESS"

build_impair() {
  [ -x "$WORK/impair" ] || cc -O2 -Wall -Wextra -o "$WORK/impair" "$ROOT/scripts/captures/impair.c"
}

link_ns() {
  local ns="strevix-$1-$$"
  ip netns del "$ns" 2>/dev/null || true
  ip netns add "$ns"
  LINK_NS+=("$ns")
  # Only IPv4 on the link: no router solicitations or neighbour discovery in the captures.
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
  ip -n "$ns" link set lo mtu 1500 up
  ip netns exec "$ns" ethtool -K lo tso off gso off gro off >/dev/null
}

# link_new IMPAIR_OPTION...: sets NS_C, NS_M, NS_S (NS is the server's, for wait_port).
link_new() {
  build_impair
  link_ns rc; NS_C="${LINK_NS[-1]}"
  link_ns rm; NS_M="${LINK_NS[-1]}"
  link_ns rs; NS_S="${LINK_NS[-1]}"
  NS="$NS_S"
  ip link add c0 netns "$NS_C" mtu 1500 type veth peer name c1 netns "$NS_M" mtu 1500
  ip link add s0 netns "$NS_S" mtu 1500 type veth peer name s1 netns "$NS_M" mtu 1500
  local pair
  for pair in "$NS_C c0" "$NS_M c1" "$NS_M s1" "$NS_S s0"; do
    set -- $pair
    ip netns exec "$1" ethtool -K "$2" tso off gso off gro off tx off rx off >/dev/null 2>&1 || true
    ip -n "$1" link set "$2" up
  done
  ip -n "$NS_C" addr add "$CLIENT_IP/24" dev c0
  ip -n "$NS_S" addr add "$SERVER_IP/24" dev s0
  start_in "$NS_M" "$WORK/impair.log" "$WORK/impair" -a c1 -b s1 -t 120 "${IMPAIR[@]}"
  IMPAIR_PID=$PID
  wait_for "$WORK/impair.log" ready
}

link_del() {
  stop_pid "$IMPAIR_PID"
  log "$(grep '^impair:' "$WORK/impair.log" || true)"
  local ns
  for ns in "${LINK_NS[@]}"; do ip netns del "$ns" 2>/dev/null || true; done
  LINK_NS=()
  NS=""
}

link_capture_start() {
  start_in "$NS_C" "$WORK/tcpdump.log" tcpdump -Z root -i c0 --immediate-mode -U -w "$1" tcp
  CAPTURE_PID=$PID
  wait_for "$WORK/tcpdump.log" "listening on"
}

# A player in the client's namespace, in the background, writing what it receives to file $2.
# Kinds: ffmpeg (-c copy into FLV), rtmpdump (librtmp, live), gst (GStreamer's rtmp2src, whose
# output is the FLV stream itself).
start_player() {
  local kind="$1" file="$2" logfile="$WORK/$(basename "$2").log"
  case "$kind" in
    # A stopped ffmpeg only leaves a blocked read on a second signal, which also cuts the file
    # short: instead it ends by itself once nothing came for 4 s.
    ffmpeg) start_in "$NS_C" "$logfile" ffmpeg -v error -rw_timeout 4000000 -i "$LINK_ADDRESS" \
              -c copy -y "$file" ;;
    rtmpdump) start_in "$NS_C" "$logfile" rtmpdump -v -r "$LINK_ADDRESS" -o "$file" ;;
    gst) start_in "$NS_C" "$logfile" gst-launch-1.0 -q -e rtmp2src location="$LINK_ADDRESS" \
           ! filesink location="$file" ;;
    *) log "unknown player $kind"; return 1 ;;
  esac
}

# Gives a player 5 s to end by itself, then SIGINT (rtmpdump closes its file, gst-launch -e
# sends end-of-stream).
stop_player() {
  local n=0
  while kill -0 "$1" 2>/dev/null && [ "$n" -lt 50 ]; do sleep 0.1; n=$((n + 1)); done
  stop_pid "$1" INT
}

# ffmpeg serves the file in listen mode across the link; the client writes what it received.
session_link_ffmpeg() {
  local name="$1" source="$2" seconds="$3"
  link_new
  link_capture_start "$WORK/$name.pcap"
  start_in "$NS_S" "$WORK/server.log" timeout -k 5 $((seconds + 60)) \
    ffmpeg -v error -re -i "$source" -c copy -f flv -listen 1 "rtmp://$SERVER_IP:1935/live/stream1"
  local server=$PID
  wait_port 1935 10
  timeout -s INT -k 5 $((seconds + 60)) ip netns exec "$NS_C" \
    ffmpeg -v error -i "$LINK_ADDRESS" -c copy -y "$WORK/$name.1.flv" >"$WORK/client.log" 2>&1 \
    </dev/null || true
  stop_pid "$server"
  capture_stop
  link_del
  CLIENT_FILES=("$WORK/$name.1.flv")
}

# nginx's RTMP module on the server side, published by ffmpeg on the server's lo. The players
# (kinds of start_player) connect first and wait; with a second kind, a second player joins
# $4 seconds after the publisher started (wait_key: it starts at a key frame). Both play to the
# end of the stream and are stopped a few seconds after it, so they wrote all they received.
session_link_nginx() {
  local name="$1" source="$2" seconds="$3" kind="$4" kind2="${5:-}" join="${6:-0}"
  mkdir -p "$WORK/nginx"
  cat >"$WORK/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
error_log $WORK/nginx/error.log;
pid $WORK/nginx/nginx.pid;
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
events { worker_connections 64; }
rtmp {
  server {
    listen 1935;
    chunk_size 4096;
    application live { live on; wait_key on; wait_video on; }
  }
}
CONF
  link_new
  start_in "$NS_S" "$WORK/nginx.log" nginx -c "$WORK/nginx/nginx.conf" -p "$WORK/nginx"
  local server=$PID
  wait_port 1935 10
  link_capture_start "$WORK/$name.pcap"
  CLIENT_FILES=("$WORK/$name.1.flv")
  start_player "$kind" "$WORK/$name.1.flv"
  local players=("$PID")
  sleep 1.5
  start_in "$NS_S" "$WORK/publisher.log" timeout -s INT -k 5 $((seconds + 30)) \
    ffmpeg -v error -re -i "$source" -c copy -f flv "rtmp://127.0.0.1/live/stream1"
  local publisher=$PID
  if [ -n "$kind2" ]; then
    sleep "$join"
    CLIENT_FILES+=("$WORK/$name.2.flv")
    start_player "$kind2" "$WORK/$name.2.flv"
    players+=("$PID")
  fi
  wait "$publisher" || true
  sleep 3  # the tail and its retransmissions reach the players
  local p
  for p in "${players[@]}"; do stop_player "$p"; done
  capture_stop
  stop_pid "$server" QUIT
  link_del
}

# The capture, its stream line and the framemd5 of each client's file, in connection order.
# The first player saw the whole stream over a link that lost nothing in the end, so what it
# wrote falls short of the source only by what it received and kept to itself: that count goes
# to NAME.unwritten.
write_truth() {
  local name="$1" source="$2" i=0 f
  cp "$WORK/$name.pcap" "$OUT/$name.pcap"
  echo "$LINK_LINE" >"$OUT/$name.streams"
  rm -f "$OUT/$name.framemd5" "$OUT/$name".[0-9].framemd5 "$OUT/$name.sightings" \
    "$OUT/$name.unwritten"
  for f in "${CLIENT_FILES[@]}"; do
    i=$((i + 1))
    local truth="$OUT/$name.framemd5"
    [ "${#CLIENT_FILES[@]}" -eq 1 ] || truth="$OUT/$name.$i.framemd5"
    ffmpeg -v error -i "$f" -c copy -f framemd5 - >"$truth"
    local wrote sent
    wrote="$(grep -vc '^#' "$truth")"
    log "$name: client $i wrote $wrote packets"
    [ "$i" -eq 1 ] || continue
    sent="$(ffmpeg -v error -i "$source" -c copy -f framemd5 - | grep -vc '^#')"
    if [ "$wrote" -lt "$sent" ]; then
      log "$name: the player wrote $wrote of the $sent packets sent"
      {
        echo "# Packets at the end of the stream that the player received (they are in the"
        echo "# capture) but did not write."
        echo $((sent - wrote))
      } >"$OUT/$name.unwritten"
    fi
  done
  printf '%8d  %s\n' "$(stat -c %s "$OUT/$name.pcap")" "$OUT/$name.pcap" >&2
}

# rtmp-gaps and rtmp-moved: a clean session across the link (nothing impaired), then spoiled by
# scripts/captures/damage.py: five server segments deleted (editcap), or one moved earlier and
# one repeated. Nothing is missing from what the client wrote, so its framemd5 is the truth of
# both; rtmp-gaps.gaps lists the deleted segments.
session_damaged() {
  local source="$1" clean="$WORK/rtmp-clean.pcap"
  IMPAIR=()
  session_link_nginx rtmp-clean "$source" 6 ffmpeg
  local frames
  frames="$(python3 "$ROOT/scripts/captures/damage.py" gaps "$clean" "$OUT/rtmp-gaps.gaps")"
  editcap -F pcap "$clean" "$WORK/rtmp-gaps.pcap" $frames
  python3 "$ROOT/scripts/captures/damage.py" move "$clean" "$WORK/rtmp-moved.pcap"
  local name
  for name in rtmp-gaps rtmp-moved; do
    CLIENT_FILES=("$WORK/rtmp-clean.1.flv")
    write_truth "$name" "$source"
  done
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

# need SESSION TOOL...: whether the tools are there; the session is skipped if not.
need() {
  local name="$1" tool
  shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null && continue
    log "$tool is missing (scripts/setup --captures): $name skipped"
    return 1
  done
}

need_nginx() {
  command -v nginx >/dev/null && [ -f /usr/lib/nginx/modules/ngx_rtmp_module.so ] && return 0
  log "nginx with its RTMP module is not installed: $1 skipped"
  return 1
}

mkdir -p "$OUT"
DAMAGED=0
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
    rtmp-impaired-ffmpeg)
      need "$name" cc ethtool || continue
      make_source "$WORK/$name.src.flv" 6 320x240 2 8
      IMPAIR=(-l 2 -d 1 -r 2 -D 1 -j 3 -s 11)
      session_link_ffmpeg "$name" "$WORK/$name.src.flv" 6
      write_truth "$name" "$WORK/$name.src.flv"
      continue ;;
    rtmp-impaired-nginx | rtmp-jitter-nginx | rtmp-rtmpdump | rtmp-gst | rtmp-twice)
      need_nginx "$name" && need "$name" cc ethtool || continue
      [ "$name" != rtmp-rtmpdump ] || need "$name" rtmpdump || continue
      if [ "$name" = rtmp-gst ] && ! gst-inspect-1.0 rtmp2src >/dev/null 2>&1; then
        log "GStreamer's rtmp2src is missing (gstreamer1.0-plugins-bad): $name skipped"
        continue
      fi
      make_source "$WORK/$name.src.flv" 6 320x240 2 8
      case "$name" in
        rtmp-impaired-nginx) IMPAIR=(-l 2 -d 1 -r 2 -D 1 -j 3 -s 12); players=(ffmpeg) ;;
        rtmp-jitter-nginx) IMPAIR=(-r 3 -D 1 -j 8 -s 13); players=(ffmpeg) ;;
        rtmp-rtmpdump) IMPAIR=(); players=(rtmpdump) ;;
        rtmp-gst) IMPAIR=(); players=(gst) ;;
        rtmp-twice) IMPAIR=(); players=(ffmpeg ffmpeg 2.5) ;;
      esac
      session_link_nginx "$name" "$WORK/$name.src.flv" 6 "${players[@]}"
      write_truth "$name" "$WORK/$name.src.flv"
      continue ;;
    rtmp-gaps | rtmp-moved)
      need_nginx "$name" && need "$name" cc ethtool editcap python3 || continue
      [ "$DAMAGED" -eq 0 ] || continue
      DAMAGED=1
      make_source "$WORK/rtmp-clean.src.flv" 6 320x240 2 8
      session_damaged "$WORK/rtmp-clean.src.flv"
      continue ;;
    *) log "unknown session $name"; exit 2 ;;
  esac
  write_outputs "$name"
done
