#!/usr/bin/env bash
# Damaged capture files: the lines of everything before the damage (NAME.streams, and
# NAME.sightings with --sightings), then one line on stderr saying where, and exit 1.
#
# Usage: check-damaged.sh STREVIX_CLI DAMAGED_DIR
set -uo pipefail
CLI="$1"
DIR="$2"
TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT
passed=0
failed=0
for capture in "$DIR"/*.pcap; do
  name="${capture%.pcap}"
  for mode in streams sightings; do
    [ -f "$name.$mode" ] || continue
    args=(-r "$capture")
    [ "$mode" = sightings ] && args+=(--sightings)
    "$CLI" "${args[@]}" >"$TMP/out" 2>"$TMP/err"
    rc=$?
    if [ "$rc" -eq 1 ] && cmp -s "$TMP/out" "$name.$mode" && [ "$(wc -l <"$TMP/err")" -eq 1 ] &&
      grep -q "damaged capture: record [0-9]* at offset [0-9]*" "$TMP/err"; then
      echo "ok   $(basename "$name") $mode"
      passed=$((passed + 1))
    else
      echo "FAIL $(basename "$name") $mode: exit $rc"
      diff "$name.$mode" "$TMP/out"
      cat "$TMP/err"
      failed=$((failed + 1))
    fi
  done
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
