#!/usr/bin/env bash
# Captures curl fetching an HLS playlist and a segment from nginx over HTTPS (HTTP/1.1, one
# keep-alive connection), with the key log curl wrote: the TLS reader's test captures. nginx and
# curl run in a network namespace made here (lo only, MTU 1500, offloads off), captured with
# tcpdump on lo. The certificate is self-signed, made here; curl sends the server name
# strevix.test (resolved to 127.0.0.1).
#
# For every session NAME it writes into OUT (default tests/data/tls):
#   NAME.pcap    the capture
#   NAME.keys    the key log curl wrote (SSLKEYLOGFILE)
#   NAME.streams, .sightings, .nokeys, .unread: what strevix-cli prints for it (tls-lines.sh)
#   NAME.truth   what tshark reads with the key log: "sni NAME", then a line "request METHOD
#                URI VERSION" for each request and "response CODE" for each response
#
# Sessions (version, cipher suite):
#   tls12-aes128gcm  TLS 1.2, ECDHE-RSA-AES128-GCM-SHA256
#   tls12-aes256gcm  TLS 1.2, ECDHE-RSA-AES256-GCM-SHA384 (the PRF with SHA-384)
#   tls12-chacha20   TLS 1.2, ECDHE-RSA-CHACHA20-POLY1305
#   tls13-aes128gcm  TLS 1.3, TLS_AES_128_GCM_SHA256
#   tls13-aes256gcm  TLS 1.3, TLS_AES_256_GCM_SHA384
#   tls13-chacha20   TLS 1.3, TLS_CHACHA20_POLY1305_SHA256
#   tls13-retry      TLS 1.3, TLS_AES_128_GCM_SHA256, to a server that takes only P-384 for the
#                    key exchange: curl's first key share (X25519) draws a HelloRetryRequest
#   tls13-keyupdate  openssl s_client and s_server (TLS 1.3, TLS_AES_256_GCM_SHA384): each side
#                    sends a line, then a KeyUpdate, then another line; NAME.truth holds
#                    "sni NAME", then "client TEXT" and "server TEXT" for each line tshark reads
#   rtmps-publish    ffmpeg publishing one second of video to rtmps://127.0.0.1:1936/live/stream
#                    (ffmpeg's GnuTLS writes the key log; TLS 1.3); tls-terminate.py ends the TLS
#                    and passes the bytes to nginx's RTMP module on 1935, in the same capture:
#                    NAME.truth says "tls-port 1936" and "plain-port 1935", the connection whose
#                    bytes the decrypted ones must equal
#   rtmps-publish-tls12  the same, the terminator taking TLS 1.2 at most
#   hls-https        ffmpeg's HLS client (GnuTLS, writes the key log) reading a 3-second HLS
#                    made here (H.264 and AAC, 1-second MPEG-TS segments) from nginx over TLS;
#                    NAME.address is the playlist's address, NAME.framemd5 the packets of the
#                    file the client wrote: what a recording from the capture must hold
#   rtmps-play       ffmpeg playing live/watch from nginx-rtmp over TLS: tls-originate.py (the
#                    client's end, Python's ssl writes the key log) to tls-terminate.py on 1936;
#                    it waits for another ffmpeg's 3 seconds of H.264 and AAC published in
#                    plaintext; only the TLS leg is captured. NAME.address and NAME.framemd5 as
#                    for hls-https, of the FLV the player wrote
#   h2-tls13         curl --http2 over TLS 1.3 (ALPN h2) fetching an HLS playlist that ffmpeg
#                    wrote, two of its segments and a page, on one connection; NAME.truth holds
#                    "sni NAME", then "request STREAM METHOD SCHEME AUTHORITY PATH" and
#                    "response STREAM STATUS" for each HEADERS tshark decodes, then
#                    "body PATH MD5" of each file nginx served
#   h2-tls12         the same over TLS 1.2 (ECDHE-RSA-AES128-GCM-SHA256)
#   h2-nokeys        the same as h2-tls13, its key log not kept: NAME.truth holds the sni only
#   h2-parallel      curl --parallel --compressed: the playlist, three segments and the page
#                    requested at once on one connection, their DATA frames interleaved; nginx
#                    gzips the playlist and the page (the MD5 in the truth is of the file);
#                    NAME.address and NAME.framemd5 (of the segments joined) as for hls-https
#   rtsps-play       ffmpeg playing rtsps://127.0.0.1:8322/test (GnuTLS writes the key log) through
#                    tls-terminate.py from GStreamer's RTSP server (H.264 and AAC, interleaved);
#                    only the TLS leg is captured; NAME.truth: "sni", then "request METHOD URL"
#                    of each request line tshark decrypts; NAME.framemd5 the access units of
#                    the file the player wrote
#   hls-ffmpeg-https ffmpeg's HLS client (GnuTLS, HTTP/1.1) reading the same playlist and its
#                    segments over https; NAME.truth as for the curl HTTP/1.1 sessions
#
# Usage: tls.sh [--out DIR] [SESSION...]
# Run as root. Every namespace and process started here is removed on exit.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$ROOT/scripts/captures/lib.sh"
OUT="$ROOT/tests/data/tls"
SESSIONS=()
while [ "$#" -gt 0 ]; do
  case "$1" in
    --out) OUT="$2"; shift 2 ;;
    -h | --help) sed -n '2,62p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "usage: $0 [--out DIR] [SESSION...]" >&2; exit 2 ;;
    *) SESSIONS+=("$1"); shift ;;
  esac
done
[ "${#SESSIONS[@]}" -gt 0 ] ||
  SESSIONS=(tls12-aes128gcm tls12-aes256gcm tls12-chacha20 tls13-aes128gcm tls13-aes256gcm
    tls13-chacha20 tls13-retry tls13-keyupdate rtmps-publish rtmps-publish-tls12 hls-https
    rtmps-play h2-tls13 h2-tls12 h2-nokeys h2-parallel hls-ffmpeg-https rtsps-play)

if [ "$(id -u)" -ne 0 ]; then
  echo "tls.sh: run as root (network namespaces and packet capture need it)" >&2
  exit 1
fi
for tool in ip ethtool tcpdump nginx curl openssl tshark timeout ffmpeg python3; do
  command -v "$tool" >/dev/null || { echo "tls.sh: $tool is missing" >&2; exit 1; }
done

WORK="$(mktemp -d /tmp/strevix-tls.XXXXXX)"
WEB="$WORK/web"
NS=""
PIDS=()
PORT=8443
RETRY_PORT=8444
H2_PORT=8445
H2_GZIP_PORT=8446
HOST=strevix.test

log() { echo "tls.sh: $*" >&2; }

cleanup() {
  local i
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill "${PIDS[i]}" 2>/dev/null || true; done
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do wait "${PIDS[i]}" 2>/dev/null || true; done
  [ -z "$NS" ] || ip netns del "$NS" 2>/dev/null || true
  rm -rf "/etc/netns/strevix-tls-$$"
  if [ -n "${KEEP_WORK:-}" ]; then log "work folder kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A small HLS folder (a playlist and two short segments of filler), a certificate, nginx.
make_server() {
  mkdir -p "$WEB/hls"
  cat >"$WEB/hls/index.m3u8" <<M3U8
#EXTM3U
#EXT-X-VERSION:3
#EXT-X-TARGETDURATION:1
#EXT-X-PLAYLIST-TYPE:VOD
#EXTINF:1.0,
seg0.ts
#EXTINF:1.0,
seg1.ts
#EXT-X-ENDLIST
M3U8
  # Segments of 188-byte packets, large enough for several records.
  head -c $((188 * 200)) /dev/zero | tr '\0' 'G' >"$WEB/hls/seg0.ts"
  cp "$WEB/hls/seg0.ts" "$WEB/hls/seg1.ts"
  # A real HLS for the HTTP/2 sessions: three one-second segments of a small picture.
  mkdir -p "$WEB/live"
  ffmpeg -nostdin -loglevel error -f lavfi -i testsrc=size=160x120:rate=10 -t 3 -c:v libx264 \
    -preset ultrafast -b:v 40k -g 10 -f hls -hls_time 1 -hls_playlist_type vod \
    -hls_segment_filename "$WEB/live/seg%d.ts" "$WEB/live/stream.m3u8"
  printf '<!DOCTYPE html>\n<html><head><title>Strevix test</title></head>\n<body><video src="/live/stream.m3u8"></video></body></html>\n' \
    >"$WEB/index.html"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$HOST" \
    -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2>/dev/null
  {
    nginx_http_head
    cat <<NGINX
  types {
    application/vnd.apple.mpegurl m3u8;
    video/mp2t ts;
    text/html html;
  }
  server {
    listen $PORT ssl;
    server_name $HOST;
    ssl_certificate $WORK/cert.pem;
    ssl_certificate_key $WORK/key.pem;
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_ciphers ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-CHACHA20-POLY1305;
    ssl_session_tickets off;
    root $WEB;
  }
  server {
    listen $RETRY_PORT ssl;
    server_name $HOST;
    ssl_certificate $WORK/cert.pem;
    ssl_certificate_key $WORK/key.pem;
    ssl_protocols TLSv1.3;
    ssl_ecdh_curve secp384r1;
    ssl_session_tickets off;
    root $WEB;
  }
  server {
    listen $H2_PORT ssl http2;
    server_name $HOST;
    ssl_certificate $WORK/cert.pem;
    ssl_certificate_key $WORK/key.pem;
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_ciphers ECDHE-RSA-AES128-GCM-SHA256;
    ssl_session_tickets off;
    gzip off;
    root $WEB;
  }
  server {
    listen $H2_GZIP_PORT ssl http2;
    server_name $HOST;
    ssl_certificate $WORK/cert.pem;
    ssl_certificate_key $WORK/key.pem;
    ssl_protocols TLSv1.3;
    ssl_session_tickets off;
    gzip on;
    gzip_min_length 0;
    gzip_types application/vnd.apple.mpegurl;
    root $WEB;
  }
}
NGINX
  } >"$WORK/nginx.conf"
}

ns_start() {
  NS="strevix-tls-$$"
  ip netns del "$NS" 2>/dev/null || true
  ip netns add "$NS"
  # ip netns exec mounts this over /etc/hosts: the server name resolves to loopback in there.
  mkdir -p "/etc/netns/$NS"
  echo "127.0.0.1 $HOST" >"/etc/netns/$NS/hosts"
  ip -n "$NS" link set lo mtu 1500 up
  ip netns exec "$NS" ethtool -K lo tso off gso off gro off >/dev/null
}

capture_begin() {
  rm -f "$OUT/$1.pcap" "$WORK/keys"
  # shellcheck disable=SC2086  # the filter is words
  start_bg "$WORK/tcpdump.log" tcpdump -Z root -i lo --immediate-mode -U -w "$OUT/$1.pcap" \
    ${FILTER:-tcp}
  CAPTURE_PID=$PID
  wait_for "$WORK/tcpdump.log" "listening on"
  sleep 0.5  # "listening" comes a moment before the first packet is taken
}

# capture_end NAME SERVER_PID: stops the capture and the server, keeps the key log.
capture_end() {
  sleep 0.5
  stop_pid "$CAPTURE_PID" INT
  stop_pid "$2"
  ip netns del "$NS"
  NS=""
  cp "$WORK/keys" "$OUT/$1.keys"
}

sni_truth() {
  tshark -r "$OUT/$1.pcap" -Y tls.handshake.type==1 -T fields \
    -e tls.handshake.extensions_server_name | sed 's/^/sni /'
}

# Logs the size of NAME's capture and the requests its truth holds.
log_requests() {
  log "$1: $(wc -c <"$OUT/$1.pcap") bytes, $(grep -c '^request' "$OUT/$1.truth") requests"
}

# http1_truth NAME PORT: the SNI and the HTTP/1.1 request and status lines tshark decrypts.
http1_truth() {
  local name="$1" port="$2"
  {
    sni_truth "$name"
    tshark -r "$OUT/$name.pcap" -o "tls.keylog_file:$OUT/$name.keys" -d "tcp.port==$port,tls" \
      -Y "http.request || http.response" -T fields -e http.request.method -e http.request.uri \
      -e http.request.version -e http.response.code |
      awk -F'\t' '$1 != "" { print "request " $1 " " $2 " " $3; next } { print "response " $4 }'
  } >"$OUT/$name.truth"
  log_requests "$name"
}

# [SESSION_PORT=N] session NAME CURL_TLS_OPTIONS...
session() {
  local name="$1" port="${SESSION_PORT:-$PORT}"
  shift
  ns_start
  start_bg "$WORK/nginx.log" nginx -p "$WORK" -c "$WORK/nginx.conf"
  local server=$PID
  wait_port "$port"
  capture_begin "$name"
  local base="https://$HOST:$port/hls"
  timeout -k 5 30 ip netns exec "$NS" \
    env SSLKEYLOGFILE="$WORK/keys" curl -sS -k --http1.1 \
    --resolve "$HOST:$port:127.0.0.1" \
    "$@" -o /dev/null "$base/index.m3u8" -o /dev/null "$base/seg0.ts" >"$WORK/curl.log" 2>&1 ||
    { log "curl failed for $name:"; cat "$WORK/curl.log" >&2; return 1; }
  capture_end "$name" "$server"
  http1_truth "$name" "$port"
}

# s_client and s_server, each saying a line, updating its keys ("k" on a line of its own asks
# for it) and saying another; the sleeps keep the lines and the updates in that order.
session_keyupdate() {
  local name=tls13-keyupdate
  ns_start
  (sleep 1.5; printf 'server one\n'; sleep 0.5; printf 'k\n'; sleep 0.5; printf 'server two\n'
    sleep 2) | ip netns exec "$NS" openssl s_server -accept "$PORT" -cert "$WORK/cert.pem" \
    -key "$WORK/key.pem" -tls1_3 -ciphersuites TLS_AES_256_GCM_SHA384 -no_ticket \
    >"$WORK/s_server.log" 2>&1 &
  local server=$!
  PIDS+=("$server")
  wait_port "$PORT"
  capture_begin "$name"
  rm -f "$WORK/keys"
  (sleep 0.5; printf 'client one\n'; sleep 1.2; printf 'k\n'; sleep 0.5; printf 'client two\n'
    sleep 1.5) | timeout -k 5 20 ip netns exec "$NS" openssl s_client -connect "127.0.0.1:$PORT" \
    -servername "$HOST" -tls1_3 -ciphersuites TLS_AES_256_GCM_SHA384 -keylogfile "$WORK/keys" \
    >"$WORK/s_client.log" 2>&1 || true
  capture_end "$name" "$server"
  {
    sni_truth "$name"
    tshark -r "$OUT/$name.pcap" -o "tls.keylog_file:$OUT/$name.keys" -d "tcp.port==$PORT,tls" \
      -o data.show_as_text:TRUE -Y data -T fields -e tcp.srcport -e data.text |
      awk -F'\t' -v port="$PORT" '{ sub(/\\n$/, "", $2); print ($1 == port ? "server " : "client ") $2 }'
  } >"$OUT/$name.truth"
  log "$name: $(wc -c <"$OUT/$name.pcap") bytes, $(grep -c '^client' "$OUT/$name.truth") client lines"
}

# rtmp_behind_tls [MAX_VERSION]: a namespace with nginx's RTMP module on 1935 and
# tls-terminate.py taking TLS on 1936 in front of it; sets SERVER and TERMINATOR to their pids.
rtmp_behind_tls() {
  cat >"$WORK/rtmp.conf" <<NGINX
daemon off;
master_process off;
user root;
pid $WORK/nginx-rtmp.pid;
error_log $WORK/nginx-rtmp-error.log;
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
events { worker_connections 64; }
rtmp { server { listen 127.0.0.1:1935; application live { live on; } } }
NGINX
  ns_start
  start_bg "$WORK/nginx-rtmp.log" nginx -p "$WORK" -c "$WORK/rtmp.conf"
  SERVER=$PID
  wait_port 1935
  start_bg "$WORK/terminate.log" python3 "$ROOT/scripts/captures/tls-terminate.py" 1936 1935 \
    "$WORK/cert.pem" "$WORK/key.pem" ${1:-}
  TERMINATOR=$PID
  wait_for "$WORK/terminate.log" ready
}

# session_rtmps NAME [MAX_VERSION]
session_rtmps() {
  local name="$1"
  rtmp_behind_tls "${2:-}"
  local server=$SERVER terminator=$TERMINATOR
  capture_begin "$name"
  timeout -k 5 30 ip netns exec "$NS" env SSLKEYLOGFILE="$WORK/keys" ffmpeg -nostdin \
    -loglevel error -re -f lavfi -i testsrc=size=160x120:rate=10 -t 1 -c:v libx264 \
    -preset ultrafast -b:v 50k -g 10 -f flv rtmps://127.0.0.1:1936/live/stream \
    >"$WORK/ffmpeg.log" 2>&1 || { log "ffmpeg failed for $name:"; cat "$WORK/ffmpeg.log" >&2; return 1; }
  stop_pid "$terminator"
  capture_end "$name" "$server"
  {
    sni_truth "$name"
    echo "tls-port 1936"
    echo "plain-port 1935"
  } >"$OUT/$name.truth"
  log "$name: $(wc -c <"$OUT/$name.pcap") bytes"
}

# The packets (stream, size, MD5) of a file the client wrote.
framemd5() {
  ffmpeg -nostdin -v error -i "$1" -c copy -f framemd5 - >"$OUT/$2.framemd5"
}

session_hls_https() {
  local name=hls-https
  mkdir -p "$WEB/vod"
  ffmpeg -nostdin -v error -f lavfi -i testsrc=size=160x120:rate=10 -f lavfi \
    -i sine=frequency=440:sample_rate=22050 -t 3 -c:v libx264 -preset ultrafast -g 10 \
    -c:a aac -b:a 32k -f hls -hls_time 1 -hls_playlist_type vod \
    -hls_segment_filename "$WEB/vod/seg%d.ts" "$WEB/vod/index.m3u8"
  ns_start
  start_bg "$WORK/nginx.log" nginx -p "$WORK" -c "$WORK/nginx.conf"
  local server=$PID
  wait_port "$PORT"
  capture_begin "$name"
  timeout -k 5 30 ip netns exec "$NS" env SSLKEYLOGFILE="$WORK/keys" ffmpeg -nostdin -v error \
    -i "https://127.0.0.1:$PORT/vod/index.m3u8" -c copy -f mpegts -y "$WORK/$name.ts" \
    >"$WORK/ffmpeg.log" 2>&1 || { log "ffmpeg failed for $name:"; cat "$WORK/ffmpeg.log" >&2; return 1; }
  capture_end "$name" "$server"
  echo "https://127.0.0.1:$PORT/vod/index.m3u8" >"$OUT/$name.address"
  framemd5 "$WORK/$name.ts" "$name"
  log "$name: $(wc -c <"$OUT/$name.pcap") bytes, $(grep -vc '^#' "$OUT/$name.framemd5") packets"
}

session_rtmps_play() {
  local name=rtmps-play
  rtmp_behind_tls
  local server=$SERVER terminator=$TERMINATOR
  FILTER="tcp port 1936" capture_begin "$name"
  start_bg "$WORK/originate.log" python3 "$ROOT/scripts/captures/tls-originate.py" 1937 1936 \
    "$WORK/keys"
  local originator=$PID
  wait_for "$WORK/originate.log" ready
  # Neither ffmpeg's nor librtmp's GnuTLS reader keeps up with a stream read over TLS, so the
  # player reads in plaintext through tls-originate.py, which carries its bytes over TLS (the
  # captured leg) and writes the key log. It asks first and waits for the stream; a stopped
  # ffmpeg cuts its file short, so it ends by itself once nothing came for 4 s.
  start_bg "$WORK/player.log" timeout -s INT -k 5 40 ffmpeg -nostdin -v error \
    -rw_timeout 4000000 -i rtmp://127.0.0.1:1937/live/watch -c copy -f flv -y "$WORK/$name.flv"
  local player=$PID
  sleep 1
  # The audio starts a moment after the first picture: a recording begins at a key frame.
  timeout -k 5 30 ip netns exec "$NS" ffmpeg -nostdin -v error -re -f lavfi \
    -i testsrc=size=160x120:rate=10 -itsoffset 0.1 -f lavfi \
    -i sine=frequency=440:sample_rate=22050 -t 3 \
    -c:v libx264 -preset ultrafast -b:v 50k -g 10 -c:a aac -b:a 32k \
    -f flv rtmp://127.0.0.1:1935/live/watch >"$WORK/publisher.log" 2>&1 ||
    { log "publisher failed for $name:"; cat "$WORK/publisher.log" >&2; return 1; }
  wait "$player" 2>/dev/null || true
  stop_pid "$originator"
  [ -s "$WORK/$name.flv" ] || { log "player wrote nothing for $name:"; cat "$WORK/player.log" >&2; return 1; }
  stop_pid "$terminator"
  capture_end "$name" "$server"
  # The tcUrl the player wrote names the originator's port, with the scheme of the leg.
  echo "rtmps://127.0.0.1:1937/live/watch" >"$OUT/$name.address"
  framemd5 "$WORK/$name.flv" "$name"
  log "$name: $(wc -c <"$OUT/$name.pcap") bytes, $(grep -vc '^#' "$OUT/$name.framemd5") packets"
}

session_rtsps_play() {
  local name=rtsps-play
  ns_start
  start_bg "$WORK/rtsp-server.log" "$ROOT/scripts/captures/rtsp-server.py" 8554 h264-aac
  local server=$PID
  wait_for "$WORK/rtsp-server.log" ready
  start_bg "$WORK/terminate.log" python3 "$ROOT/scripts/captures/tls-terminate.py" 8322 8554 \
    "$WORK/cert.pem" "$WORK/key.pem"
  local terminator=$PID
  wait_for "$WORK/terminate.log" ready
  FILTER="tcp port 8322" capture_begin "$name"
  timeout -k 5 30 ip netns exec "$NS" env SSLKEYLOGFILE="$WORK/keys" ffmpeg -nostdin -v error \
    -i rtsps://127.0.0.1:8322/test -c copy -y "$WORK/$name.mkv" >"$WORK/player.log" 2>&1 ||
    { log "player failed for $name:"; cat "$WORK/player.log" >&2; return 1; }
  stop_pid "$terminator"
  capture_end "$name" "$server"
  # What a recording of the session must hold: the access units the player wrote.
  framemd5 "$WORK/$name.mkv" "$name"
  {
    sni_truth "$name"
    # The request lines of the decrypted control connection.
    tshark -r "$OUT/$name.pcap" -o "tls.keylog_file:$OUT/$name.keys" -d tcp.port==8322,tls \
      -o data.show_as_text:TRUE -Y "tcp.dstport==8322 && data" -T fields -e data.text 2>/dev/null |
      sed 's/\\r\\n/\n/g' | awk '$3 ~ /^RTSP\/1\./ { print "request " $1 " " $2 }'
  } >"$OUT/$name.truth"
  log_requests "$name"
}

# [SESSION_PORT=N] [H2_FILES="..."] [H2_RECORDED="..."] session_h2 NAME KEEP_KEYS CURL_OPTIONS...
session_h2() {
  local name="$1" keep="$2" port="${SESSION_PORT:-$H2_PORT}" f
  local files
  read -r -a files <<<"${H2_FILES:-live/stream.m3u8 live/seg0.ts live/seg1.ts index.html}"
  local fetch=()
  shift 2
  ns_start
  start_bg "$WORK/nginx.log" nginx -p "$WORK" -c "$WORK/nginx.conf"
  local server=$PID
  wait_port "$port"
  capture_begin "$name"
  for f in "${files[@]}"; do fetch+=(-o /dev/null "https://$HOST:$port/$f"); done
  timeout -k 5 30 ip netns exec "$NS" \
    env SSLKEYLOGFILE="$WORK/keys" curl -sS -k --http2 --resolve "$HOST:$port:127.0.0.1" "$@" \
    "${fetch[@]}" >"$WORK/curl.log" 2>&1 ||
    { log "curl failed for $name:"; cat "$WORK/curl.log" >&2; return 1; }
  capture_end "$name" "$server"
  {
    sni_truth "$name"
    # One line per segment with HEADERS; several frames in one come as |-separated lists.
    tshark -r "$OUT/$name.pcap" -o "tls.keylog_file:$OUT/$name.keys" -d "tcp.port==$port,tls" \
      -Y http2.header -T fields -E occurrence=a -E aggregator='|' -e http2.type -e http2.streamid \
      -e http2.headers.method -e http2.headers.scheme -e http2.headers.authority \
      -e http2.headers.path -e http2.headers.status |
      python3 -c '
import sys
for line in sys.stdin:
    f = line.rstrip("\n").split("\t")
    # The streams of the HEADERS frames (type 1) alone: a segment carries other frames too.
    streams = [s for t, s in zip(f[0].split("|"), f[1].split("|")) if t == "1"]
    cols = [c.split("|") if c else [] for c in f[2:]]
    methods, schemes, authorities, paths, statuses = cols
    # Requests and responses are never in one HEADERS frame: client and server segments differ.
    if methods:
        for i, m in enumerate(methods):
            print("request", streams[i], m, schemes[i], authorities[i], paths[i])
    for i, s in enumerate(statuses):
        print("response", streams[i], s)
'
    for f in "${files[@]}"; do
      echo "body /$f $(md5sum <"$WEB/$f" | cut -c1-32)"
    done
  } >"$OUT/$name.truth"
  [ "$keep" = keep ] || { rm -f "$OUT/$name.keys"; sni_truth "$name" >"$OUT/$name.truth"; }
  if [ -n "${H2_RECORDED:-}" ]; then
    # Every segment the playlist names was fetched: what a recording of it must hold.
    local segments=()
    for f in $H2_RECORDED; do segments+=("$WEB/$f"); done
    cat "${segments[@]}" >"$WORK/$name.ts"
    echo "https://$HOST:$port/live/stream.m3u8" >"$OUT/$name.address"
    framemd5 "$WORK/$name.ts" "$name"
  fi
  log_requests "$name"
}

# ffmpeg's HLS demuxer over https (HTTP/1.1; GnuTLS writes SSLKEYLOGFILE).
session_ffmpeg_https() {
  local name=hls-ffmpeg-https port=$H2_PORT
  ns_start
  start_bg "$WORK/nginx.log" nginx -p "$WORK" -c "$WORK/nginx.conf"
  local server=$PID
  wait_port "$port"
  capture_begin "$name"
  timeout -k 5 30 ip netns exec "$NS" env SSLKEYLOGFILE="$WORK/keys" ffmpeg -nostdin \
    -loglevel error -tls_verify 0 -i "https://$HOST:$port/live/stream.m3u8" -c copy -f null - \
    >"$WORK/ffmpeg.log" 2>&1 || { log "ffmpeg failed for $name:"; cat "$WORK/ffmpeg.log" >&2; return 1; }
  capture_end "$name" "$server"
  http1_truth "$name" "$port"
}

mkdir -p "$OUT"
make_server
for s in "${SESSIONS[@]}"; do
  case "$s" in
    tls12-aes128gcm) session "$s" --tlsv1.2 --tls-max 1.2 --ciphers ECDHE-RSA-AES128-GCM-SHA256 ;;
    tls12-aes256gcm) session "$s" --tlsv1.2 --tls-max 1.2 --ciphers ECDHE-RSA-AES256-GCM-SHA384 ;;
    tls12-chacha20) session "$s" --tlsv1.2 --tls-max 1.2 --ciphers ECDHE-RSA-CHACHA20-POLY1305 ;;
    tls13-aes128gcm) session "$s" --tlsv1.3 --tls13-ciphers TLS_AES_128_GCM_SHA256 ;;
    tls13-aes256gcm) session "$s" --tlsv1.3 --tls13-ciphers TLS_AES_256_GCM_SHA384 ;;
    tls13-chacha20) session "$s" --tlsv1.3 --tls13-ciphers TLS_CHACHA20_POLY1305_SHA256 ;;
    tls13-retry)
      SESSION_PORT=$RETRY_PORT session "$s" --tlsv1.3 --tls13-ciphers TLS_AES_128_GCM_SHA256 \
        --curves X25519:P-384 ;;
    tls13-keyupdate) session_keyupdate ;;
    rtmps-publish) session_rtmps "$s" ;;
    rtmps-publish-tls12) session_rtmps "$s" 1.2 ;;
    hls-https) session_hls_https ;;
    rtmps-play) session_rtmps_play ;;
    h2-tls13) session_h2 "$s" keep --tlsv1.3 ;;
    h2-tls12) session_h2 "$s" keep --tlsv1.2 --tls-max 1.2 ;;
    h2-nokeys) session_h2 "$s" drop --tlsv1.3 ;;
    h2-parallel)
      SESSION_PORT=$H2_GZIP_PORT H2_FILES="live/stream.m3u8 live/seg0.ts live/seg1.ts live/seg2.ts index.html" \
        H2_RECORDED="live/seg0.ts live/seg1.ts live/seg2.ts" \
        session_h2 "$s" keep --tlsv1.3 --parallel --compressed ;;
    hls-ffmpeg-https) session_ffmpeg_https ;;
    rtsps-play) session_rtsps_play ;;
    *) log "unknown session $s"; exit 2 ;;
  esac
  # The lines strevix-cli must print for it, with and without its key log.
  case "$s" in
    tls13-retry) TLS_PORT=$RETRY_PORT bash "$ROOT/scripts/captures/tls-lines.sh" "$OUT" "$s" ;;
    h2-tls13 | h2-tls12 | h2-nokeys)
      TLS_PORT=$H2_PORT bash "$ROOT/scripts/captures/tls-lines.sh" "$OUT" "$s" ;;
    h2-parallel) TLS_PORT=$H2_GZIP_PORT bash "$ROOT/scripts/captures/tls-lines.sh" "$OUT" "$s" ;;
    hls-ffmpeg-https) TLS_PORT=$H2_PORT bash "$ROOT/scripts/captures/tls-lines.sh" "$OUT" "$s" ;;
    rtsps-play) TLS_PORT=8322 bash "$ROOT/scripts/captures/tls-lines.sh" "$OUT" "$s" ;;
    rtmps-play)
      RTMP_ADDRESS="$(cat "$OUT/$s.address")" bash "$ROOT/scripts/captures/tls-lines.sh" "$OUT" "$s" ;;
    *) bash "$ROOT/scripts/captures/tls-lines.sh" "$OUT" "$s" ;;
  esac
done
