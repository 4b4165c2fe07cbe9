#!/usr/bin/env bash
# Every RTSP capture with a truth (NAME.framemd5: the access units the client itself wrote) is
# rebuilt by strevix-cli --record into a Matroska file holding exactly those access units, stream
# by stream, bytes equal (size and MD5), and the file decodes without a word from ffmpeg.
# A capture whose RTP was lost on the way (NAME.lossy) is rebuilt without the units the losses
# touched: the rebuilt units must then be a subsequence of the client's, video and audio each
# present, the file still silent in ffmpeg.
# A capture with a TLS key log (NAME.keys: RTSP over TLS) is read with it.
# Usage: check-rtsp-record.sh STREVIX_CLI DATA_DIR
set -uo pipefail
cli="$1"
data="$2"
pass=0
fail=0
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# stream, size, hash of each access unit, stream by stream; the timestamps are the client's own.
units() {
  grep -v '^#' "$1" | awk -F', *' '{ print $1, $5, $6 }' | sort -s -n -k1,1
}

# Whether every line of file $2 is, in order, a line of file $1.
subsequence() {
  awk 'NR == FNR { t[++n] = $0; next }
       { while (i < n && t[++i] != $0) {} if (t[i] != $0) { bad = 1; exit } }
       END { exit bad }' "$1" "$2"
}

for truth in "$data"/rtsp-*.framemd5 "$data"/rtsps-*.framemd5; do
  [ -f "$truth" ] || continue
  name="$(basename "$truth" .framemd5)"
  home="$work/$name"
  mkdir -p "$home"
  address="$(sed -n '1s/^RTSP-//p' "$data/$name.streams")"
  keys=()
  [ -f "$data/$name.keys" ] && keys=(--tls-keylog "$data/$name.keys")
  STREVIX_HOME="$home" "$cli" -r "$data/$name.pcap" --record "$address" "${keys[@]}" >/dev/null 2>&1
  files=("$home"/Videos/*.mkv)
  problem=""
  if [ "${#files[@]}" -ne 1 ] || [ ! -s "${files[0]}" ]; then
    problem="expected one recording, found: ${files[*]}"
  else
    errors="$(ffmpeg -nostdin -v error -i "${files[0]}" -f null - 2>&1)"
    if [ -n "$errors" ]; then
      problem="ffmpeg reports: $(echo "$errors" | head -3)"
    else
      # A truth of decoded pictures is compared decoded.
      copy=(-c copy)
      grep -q '^#codec_id .*: rawvideo' "$truth" && copy=(-c:a copy)
      units "$truth" >"$work/$name.truth"
      ffmpeg -nostdin -v error -i "${files[0]}" -map 0 "${copy[@]}" -f framemd5 - |
        units /dev/stdin >"$work/$name.rebuilt"
      if [ -f "$data/$name.lossy" ]; then
        if ! subsequence "$work/$name.truth" "$work/$name.rebuilt"; then
          problem="a rebuilt unit is not the client's, or out of order"
        elif [ "$(cut -d' ' -f1 "$work/$name.rebuilt" | sort -u | wc -l)" -ne \
               "$(cut -d' ' -f1 "$work/$name.truth" | sort -u | wc -l)" ]; then
          problem="a stream is missing"
        else
          echo "     $name: $(wc -l <"$work/$name.rebuilt") of $(wc -l <"$work/$name.truth") units"
        fi
      elif ! diff "$work/$name.truth" "$work/$name.rebuilt" >"$work/$name.diff"; then
        problem="access units differ: $(head -6 "$work/$name.diff" | tr '\n' ' ')"
      fi
    fi
  fi
  if [ -z "$problem" ]; then
    echo "ok   $name"
    pass=$((pass + 1))
  else
    echo "FAIL $name: $problem"
    fail=$((fail + 1))
  fi
done
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ] && [ "$pass" -gt 0 ]
