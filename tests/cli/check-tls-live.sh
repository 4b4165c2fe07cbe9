#!/usr/bin/env bash
# Live capture on lo with a TLS key log that is empty when the capture starts: curl appends its
# session's secrets as it connects to a local HTTPS server, and the request must still be read
# (the key log is read again when a session's secrets are missing). A second session, whose keys
# curl writes elsewhere, is named in the summary on stderr.
#
# Usage: check-tls-live.sh STREVIX_CLI
set -u
CLI="$1"
WORK="$(mktemp -d /tmp/strevix-tls-live.XXXXXX)"
PIDS=()
cleanup() {
  local p
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

mkdir -p "$WORK/web/live" "$WORK/home"
printf '#EXTM3U\n#EXT-X-ENDLIST\n' >"$WORK/web/live/x.m3u8"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
  -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2>/dev/null || fail "openssl could not make a certificate"
python3 - "$WORK/web" "$WORK/cert.pem" "$WORK/key.pem" >"$WORK/port" 2>"$WORK/server.log" <<'PY' &
import http.server, os, ssl, sys
os.chdir(sys.argv[1])
server = http.server.HTTPServer(("127.0.0.1", 0), http.server.SimpleHTTPRequestHandler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(sys.argv[2], sys.argv[3])
server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
PY
PIDS+=($!)
for _ in $(seq 50); do [ -s "$WORK/port" ] && break; sleep 0.1; done
PORT="$(cat "$WORK/port")"
[ -n "$PORT" ] || fail "the HTTPS server did not start: $(cat "$WORK/server.log")"

: >"$WORK/keys"
STREVIX_HOME="$WORK/home" "$CLI" -i lo --tls-keylog "$WORK/keys" >"$WORK/out" 2>"$WORK/err" &
CLI_PID=$!
PIDS+=("$CLI_PID")
sleep 2
URL="https://127.0.0.1:$PORT/live/x.m3u8"
SSLKEYLOGFILE="$WORK/keys" curl -sk --http1.1 -o /dev/null "$URL" || fail "curl failed"
SSLKEYLOGFILE="$WORK/other-keys" curl -sk --http1.1 -o /dev/null "$URL" || fail "curl failed"
sleep 1
kill -INT "$CLI_PID"
wait "$CLI_PID" || fail "strevix-cli exited $?: $(cat "$WORK/err")"

[ "$(cat "$WORK/out")" = "HLS-$URL" ] || fail "stdout is \"$(cat "$WORK/out")\", not HLS-$URL"
want="strevix-cli: 1 TLS session could not be read (no keys): 127.0.0.1:$PORT; give their key log with --tls-keylog"
grep -qxF "$want" "$WORK/err" || fail "stderr lacks \"$want\": $(cat "$WORK/err")"
echo "ok   a live HTTPS request read with a key log written during the capture; the other session in the summary"
