#!/usr/bin/env bash
# Writes the lines strevix-cli must print for a TLS capture, as tshark reads it:
#   NAME.streams    with NAME.keys given: each new stream address (HLS, RTMP), in capture order
#   NAME.sightings  the same for every request (HTTPS captures only: an RTMP leg in plaintext
#                   beside the TLS one is sighted as often as its bytes grow, which tshark
#                   cannot say)
#   NAME.nokeys     without the key log: the lines of the connections in plaintext only
#   NAME.unread     without the key log, the one summary line on stderr: the TLS sessions by
#                   their ClientHellos, named by their server name or else the server address
# HTTP requests come from tshark's decryption with the key log (http.host, http.request.uri, or
# for HTTP/2 :authority and :path; a request naming .ts, .flv, .m3u8 or .mp4 is HLS). RTMP over TLS: tshark does not read
# RTMP inside TLS, so the address is read from the plaintext leg behind the terminator, whose
# bytes equal the decrypted ones (the TLS reader's tests hold them to that); a capture without
# that leg gives its address as RTMP_ADDRESS. RTSP inside TLS: the request lines NAME.truth
# holds, which tshark read from the decrypted control connection.
#
# Usage: tls-lines.sh DIR NAME...   (tls port PORT, default 8443: TLS_PORT=N)
set -euo pipefail
DIR="$1"
shift

names_of() {
  # One name per ClientHello, as the summary lists them: each once, in order.
  # (a HelloRetryRequest draws a second ClientHello on the same connection).
  tshark -r "$1" -Y tls.handshake.type==1 -T fields -e tls.handshake.extensions_server_name \
    -e ip.dst -e tcp.dstport -e tcp.stream 2>/dev/null |
    awk -F'\t' 'stream[$4]++ { next } { n = $1 != "" ? $1 : $2 ":" $3; count++; if (!(n in seen)) { seen[n] = 1; list = list (list == "" ? ": " : ", ") n } }
      END { if (count > 0) printf "%d TLS session%s could not be read (no keys)%s; give their key log with --tls-keylog\n", count, count == 1 ? "" : "s", list }'
}

for name in "$@"; do
  pcap="$DIR/$name.pcap" keys="$DIR/$name.keys"
  plain="$(tshark -r "$pcap" -Y 'rtmpt && tcp.dstport==1935' -T fields -e amf.string 2>/dev/null |
      awk -F',' '$1 == "connect" { for (i = 1; i < NF; ++i) if ($i == "tcUrl") url = $(i + 1) }
        ($1 == "play" || $1 == "publish") && url != "" { print "RTMP-" url "/" $2; exit }')"
  if [ -n "$plain" ]; then
    printf '%s\n' "$plain" >"$DIR/$name.streams"
    printf '%s\n' "$plain" >"$DIR/$name.nokeys"
    rm -f "$DIR/$name.sightings"
  elif h2="$(tshark -r "$pcap" -o "tls.keylog_file:$keys" -d "tcp.port==${TLS_PORT:-8443},tls" \
    -Y 'http2.headers.method' -T fields -e http2.headers.authority -e http2.headers.path \
    2>/dev/null)" && [ -n "$h2" ]; then
    printf '%s\n' "$h2" |
      awk -F'\t' '{ label = $2 ~ /\.(ts|flv|m3u8|mp4)/ ? "HLS" : "HTTP"; print label "-https://" $1 $2 }' \
        >"$DIR/$name.sightings"
    awk '/^HLS-/ && !seen[$0]++' "$DIR/$name.sightings" >"$DIR/$name.streams"
    : >"$DIR/$name.nokeys"
  elif grep -q '^request [A-Z_]* rtsps\{0,1\}://' "$DIR/$name.truth" 2>/dev/null; then
    # RTSP inside TLS: every request line the truth holds (tshark decrypts the control
    # connection as data), an address each.
    awk '$1 == "request" && $3 ~ /^rtsps?:\/\// { print "RTSP-" $3 }' "$DIR/$name.truth" \
      >"$DIR/$name.sightings"
    awk '!seen[$0]++' "$DIR/$name.sightings" >"$DIR/$name.streams"
    : >"$DIR/$name.nokeys"
  elif [ -n "${RTMP_ADDRESS:-}" ]; then
    echo "RTMP-$RTMP_ADDRESS" >"$DIR/$name.streams"
    : >"$DIR/$name.nokeys"
    rm -f "$DIR/$name.sightings"
  else
    tshark -r "$pcap" -o "tls.keylog_file:$keys" -d "tcp.port==${TLS_PORT:-8443},tls" \
      -Y http.request -T fields -e http.host -e http.request.uri 2>/dev/null |
      awk -F'\t' '{ label = $2 ~ /\.(ts|flv|m3u8|mp4)/ ? "HLS" : "HTTP"; print label "-https://" $1 $2 }' \
        >"$DIR/$name.sightings"
    awk '/^HLS-/ && !seen[$0]++' "$DIR/$name.sightings" >"$DIR/$name.streams"
    : >"$DIR/$name.nokeys"
  fi
  names_of "$pcap" >"$DIR/$name.unread"
done
