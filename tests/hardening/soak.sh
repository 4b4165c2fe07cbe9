#!/usr/bin/env bash
# Memory over a long capture: the mixed test captures replayed for SECONDS through strevix-cli,
# every loop on fresh connection directions, read from a pipe as one endless capture file.
#   tests/hardening/soak.sh [SECONDS] [BUILD_DIR]      (default 300 s, build/)
# Prints VmRSS every 10 s and the peak (/usr/bin/time -v); fails when the peak passes LIMIT_MIB
# (default 400) or the program fails.
set -uo pipefail
cd "$(dirname "$0")/../.."
SECONDS_TOTAL="${1:-300}"
BUILD="${2:-build}"
LIMIT_MIB="${LIMIT_MIB:-400}"
CLI="$BUILD/strevix-cli"
GEN="$BUILD/tests/hardening_gen"
[ -x "$CLI" ] && [ -x "$GEN" ] || {
  echo "build strevix-cli and hardening_gen first (cmake --build $BUILD --target strevix-cli hardening_gen)"
  exit 1
}

work=$(mktemp -d /tmp/strevix-soak-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/Videos"
cp "$BUILD/QuilletDT.dll" "$work/"
export STREVIX_HOME="$work"
mkfifo "$work/endless.pcap"

"$GEN" feed --seconds "$SECONDS_TOTAL" tests/data/*.pcap data/sample.pcap \
  >"$work/endless.pcap" 2>"$work/feed.txt" &
/usr/bin/time -v "$CLI" -r "$work/endless.pcap" >"$work/out.txt" 2>"$work/time.txt" &
timer=$!
sleep 1
cli=$(pgrep -P "$timer" | head -1)
start=$(date +%s)
while kill -0 "$timer" 2>/dev/null; do
  if [ -n "$cli" ] && [ -r "/proc/$cli/status" ]; then
    printf '%4d s  %s\n' $(($(date +%s) - start)) "$(grep VmRSS "/proc/$cli/status" | tr -s ' ')"
  fi
  sleep 10
done
wait "$timer"
rc=$?
peak_kib=$(grep 'Maximum resident set size' "$work/time.txt" | grep -o '[0-9]*$')
frames=$(grep -o '^[0-9]* frames' "$work/feed.txt")
echo "exit $rc; $frames in ${SECONDS_TOTAL} s; $(wc -l <"$work/out.txt") streams printed;" \
  "peak RSS $((peak_kib / 1024)) MiB (limit $LIMIT_MIB MiB)"
if grep -qE 'Sanitizer|runtime error:' "$work/time.txt"; then
  sed -n '1,30p' "$work/time.txt"
  exit 1
fi
[ "$rc" -eq 0 ] && [ $((peak_kib / 1024)) -lt "$LIMIT_MIB" ]
