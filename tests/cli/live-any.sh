#!/usr/bin/env bash
# Live capture on the "any" device (Linux cooked frames) finds requests made after it started,
# over IPv4 and IPv6, inside a network namespace made here.
#
# Usage: live-any.sh STREVIX_CLI APP_FOLDER
# Exit 77 (skipped) without root or network namespaces.
set -uo pipefail
CLI="$1"
HOME_DIR="$2"
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root"; exit 77; }
command -v ip >/dev/null && command -v curl >/dev/null || { echo "skipped: needs ip and curl"; exit 77; }

NS="strevix-any-$$"
ip netns add "$NS" 2>/dev/null || { echo "skipped: network namespaces cannot be made here"; exit 77; }
WORK="$(mktemp -d)"
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  ip netns del "$NS" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
ip -n "$NS" link set lo up

STREVIX_HOME="$HOME_DIR" ip netns exec "$NS" "$CLI" -i any >"$WORK/out" 2>"$WORK/err" &
CLI_PID=$!
PIDS+=("$CLI_PID")
ip netns exec "$NS" python3 -m http.server --bind :: 8000 --directory "$WORK" >/dev/null 2>&1 &
PIDS+=("$!")
sleep 1.5
if ! kill -0 "$CLI_PID" 2>/dev/null; then
  echo "skipped: live capture not permitted: $(cat "$WORK/err")"
  exit 77
fi

# The requests come after the capture began.
ip netns exec "$NS" curl -s -o /dev/null "http://127.0.0.1:8000/live/four.m3u8"
ip netns exec "$NS" curl -s -o /dev/null "http://[::1]:8000/live/six.m3u8"
sleep 1.5
kill -INT "$CLI_PID"
wait "$CLI_PID"
status=$?
PIDS=("${PIDS[@]:1}")

expected=$'HLS-http://127.0.0.1:8000/live/four.m3u8\nHLS-http://[::1]:8000/live/six.m3u8'
if [ "$status" -ne 0 ] || [ "$(cat "$WORK/out")" != "$expected" ]; then
  echo "FAIL: exit $status; printed:"
  cat "$WORK/out"
  echo "stderr:"
  cat "$WORK/err"
  exit 1
fi
echo "ok: both requests found on the any device"
