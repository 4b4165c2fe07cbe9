#!/usr/bin/env bash
# Records every capture of DIR (NAME.pcap with NAME.address) with strevix-cli, once with
# --record ADDRESS and once with --record-all, and checks each recording against the file the
# client wrote: the same packets (stream, size and MD5 of each, in order), and a file ffmpeg
# decodes without a word. A capture without NAME.framemd5 lost part of its stream on purpose:
# its packets must be a shorter run of those of the capture named in NAME.truth, and the log must
# say where the gap is. A capture with a TLS key log NAME.keys is read with it.
#
# Usage: check-recordings.sh STREVIX_CLI DIR
set -u
CLI="$1"
DIR="$2"
WORK="$(mktemp -d /tmp/strevix-recordings.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
pass=0
fail=0

ok() { echo "ok   $1"; pass=$((pass + 1)); }
bad() { echo "FAIL $1: $2"; fail=$((fail + 1)); }

# stream, size, md5 of every packet: what a copy keeps whatever its container's timestamps.
packets() {
  ffmpeg -nostdin -v error -i "$1" -c copy -f framemd5 - 2>/dev/null |
    awk -F', *' '!/^#/ && NF >= 6 { print $1, $5, $6 }'
}

check() {
  local name="$1" mode="$2" home="$WORK/$1-$2"
  local pcap="$DIR/$name.pcap" address
  address="$(cat "$DIR/$name.address")"
  mkdir -p "$home"
  local args=(--record "$address")
  [ "$mode" = all ] && args=(--record-all)
  [ -f "$DIR/$name.keys" ] && args+=(--tls-keylog "$DIR/$name.keys")
  if ! STREVIX_HOME="$home" "$CLI" -r "$pcap" "${args[@]}" >"$home/out" 2>"$home/err"; then
    bad "$name ($mode)" "strevix-cli failed: $(head -3 "$home/err")"
    return
  fi
  local files=("$home"/Videos/*)
  if [ "${#files[@]}" -ne 1 ] || [ ! -s "${files[0]}" ]; then
    bad "$name ($mode)" "expected one recording, found: $(ls "$home/Videos" 2>/dev/null | tr '\n' ' ')"
    return
  fi
  local file="${files[0]}"
  local noise
  noise="$(ffmpeg -nostdin -v error -i "$file" -f null - 2>&1)"
  if [ -n "$noise" ]; then
    bad "$name ($mode)" "ffmpeg complains about $(basename "$file"): $(echo "$noise" | head -3)"
    return
  fi
  packets "$file" >"$home/got"
  if [ -f "$DIR/$name.framemd5" ]; then
    awk -F', *' '!/^#/ && NF >= 6 { print $1, $5, $6 }' "$DIR/$name.framemd5" >"$home/want"
    if ! cmp -s "$home/got" "$home/want"; then
      bad "$name ($mode)" "packets differ from the client's ($(wc -l <"$home/got") vs $(wc -l <"$home/want")): $(diff "$home/want" "$home/got" | head -4 | tr '\n' ' ')"
      return
    fi
  else
    local of
    of="$(cat "$DIR/$name.truth")"
    awk -F', *' '!/^#/ && NF >= 6 { print $1, $5, $6 }' "$DIR/$of.framemd5" >"$home/want"
    # Every packet written is one of the client's, in its order, and some are missing.
    if ! awk 'NR == FNR { want[++n] = $0; next } { while (i < n && want[++i] != $0) {} if (want[i] != $0) { exit 1 } }' \
      "$home/want" "$home/got" || [ "$(wc -l <"$home/got")" -ge "$(wc -l <"$home/want")" ] ||
      [ ! -s "$home/got" ]; then
      bad "$name ($mode)" "the packets are not a shorter run of $of's"
      return
    fi
    if ! grep -q "Gap in the recording" "$home/log/log.txt"; then
      bad "$name ($mode)" "no gap in the log"
      return
    fi
  fi
  ok "$name ($mode): $(wc -l <"$home/got") packets in $(basename "$file")"
}

for pcap in "$DIR"/*.pcap; do
  name="$(basename "$pcap" .pcap)"
  [ -f "$DIR/$name.address" ] || continue
  check "$name" one
  check "$name" all
done
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ] && [ "$pass" -gt 0 ]
