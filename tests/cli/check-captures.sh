#!/usr/bin/env bash
# Runs strevix-cli on every test capture and compares what it prints with the expected lines.
#
# Usage: check-captures.sh STREVIX_CLI DATA_DIR [CAPTURE...]
#
# For every DATA_DIR/NAME.streams: the capture is DATA_DIR/NAME.pcap, or one of the CAPTURE
# arguments named NAME.pcap (for captures kept elsewhere, such as data/sample.pcap).
#   STREVIX_CLI -r NAME.pcap              must print exactly NAME.streams
#   STREVIX_CLI -r NAME.pcap --sightings  must print exactly NAME.sightings (when present)
# A capture with a TLS key log DATA_DIR/NAME.keys is run with --tls-keylog NAME.keys, and must
# then say nothing on stderr about sessions it could not read; without the key log it must print
# exactly NAME.nokeys and say NAME.unread (the one summary line) on stderr. A TLS capture
# without NAME.streams (its lines are not read yet) prints NAME.nokeys either way.
# and both must exit 0. Differences are printed as unified diffs; the exit status is 1 when
# anything differs or is missing, 2 on a usage error.
set -uo pipefail

if [ "$#" -lt 2 ]; then
  echo "usage: $0 STREVIX_CLI DATA_DIR [CAPTURE...]" >&2
  exit 2
fi
CLI="$1"
DATA="$2"
shift 2
EXTRA=("$@")

if [ ! -x "$CLI" ]; then
  echo "check-captures: $CLI is not an executable" >&2
  exit 2
fi
if [ ! -d "$DATA" ]; then
  echo "check-captures: $DATA is not a folder" >&2
  exit 2
fi

TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT

passed=0
failed=0

# Runs the CLI with the given arguments and compares its stdout with the expected file.
check() {
  local label="$1" expected="$2"
  shift 2
  local got="$TMP/got" err="$TMP/err" rc=0
  timeout 300 "$CLI" "$@" >"$got" 2>"$err" || rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "FAIL $label: exit status $rc"
    sed 's/^/  stderr: /' "$err" | head -20
    failed=$((failed + 1))
    return
  fi
  if diff -u --label "expected $(basename "$expected")" --label "strevix-cli $*" \
    "$expected" "$got" >"$TMP/diff"; then
    echo "ok   $label"
    passed=$((passed + 1))
  else
    echo "FAIL $label"
    cat "$TMP/diff"
    failed=$((failed + 1))
  fi
}

# With its key log, a capture's sessions are all read: no summary on stderr.
all_read() {
  if grep -q "TLS session" "$TMP/err"; then
    echo "FAIL $1: with its key log: $(grep "TLS session" "$TMP/err")"
    failed=$((failed + 1))
  fi
}

# Without its key log: exactly NAME.nokeys on stdout, the summary NAME.unread on stderr.
without_keys() {
  local name="$1" capture="$2" said
  [ -f "$DATA/$name.nokeys" ] || return 0
  check "$name without keys" "$DATA/$name.nokeys" -r "$capture"
  said="$(grep "TLS session" "$TMP/err" | sed 's/^strevix-cli: //')"
  if [ "$said" != "$(cat "$DATA/$name.unread" 2>/dev/null)" ]; then
    echo "FAIL $name without keys: stderr says \"$said\", not \"$(cat "$DATA/$name.unread")\""
    failed=$((failed + 1))
  fi
}

found=0
for streams in "$DATA"/*.streams; do
  [ -e "$streams" ] || continue
  found=1
  name="$(basename "$streams" .streams)"
  capture="$DATA/$name.pcap"
  if [ ! -f "$capture" ]; then
    capture=""
    for extra in "${EXTRA[@]}"; do
      if [ "$(basename "$extra")" = "$name.pcap" ] && [ -f "$extra" ]; then
        capture="$extra"
        break
      fi
    done
  fi
  if [ -z "$capture" ]; then
    echo "FAIL $name: no capture $name.pcap for $streams"
    failed=$((failed + 1))
    continue
  fi
  keys=()
  [ -f "$DATA/$name.keys" ] && keys=(--tls-keylog "$DATA/$name.keys")
  check "$name streams" "$streams" -r "$capture" "${keys[@]}"
  [ "${#keys[@]}" -gt 0 ] && all_read "$name"
  if [ -f "$DATA/$name.sightings" ]; then
    check "$name sightings" "$DATA/$name.sightings" -r "$capture" --sightings "${keys[@]}"
  fi
  [ "${#keys[@]}" -gt 0 ] && without_keys "$name" "$capture"
done

# TLS captures whose lines are not read yet (HTTP/2): read with the key log without a word on
# stderr, and without it only the summary.
for keys in "$DATA"/*.keys; do
  [ -e "$keys" ] || continue
  name="$(basename "$keys" .keys)"
  [ -f "$DATA/$name.streams" ] || [ ! -f "$DATA/$name.pcap" ] && continue
  check "$name with keys" "$DATA/$name.nokeys" -r "$DATA/$name.pcap" --tls-keylog "$keys"
  all_read "$name"
  without_keys "$name" "$DATA/$name.pcap"
done

if [ "$found" -eq 0 ]; then
  echo "check-captures: no .streams files in $DATA" >&2
  exit 1
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
