#!/usr/bin/env bash
# Faults injected into strevix-cli while it records or analyses:
#   faults.sh CHECK STREVIX_CLI HARDENING_GEN BUILD_DIR [ROUNDS]
# CHECK is one of
#   kill9       kill -9 while a stream is being recorded: the FLV decodes up to its last tag
#   unwritable  Videos is not a folder: one LOG_ERROR, every stream still reported, exit 0
#   fulldisk    Videos is a 64 KiB tmpfs (root only, else skipped): as above
#   sigint      SIGINT during a file analysis, ROUNDS times (default 20): never a hang, no
#               sanitizer or leak report
# Exit 0 passed, 77 skipped (CTest SKIP_RETURN_CODE), anything else failed.
set -uo pipefail

CHECK="$1" CLI="$2" GEN="$3" BUILD="$4" ROUNDS="${5:-20}"
ADDRESS="rtmp://10.9.0.5/live/fault"
work=$(mktemp -d /tmp/strevix-faults-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do { kill -9 "$p" && wait "$p"; } 2>/dev/null; done
  mountpoint -q "$work/home/Videos" 2>/dev/null && umount "$work/home/Videos"
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  exit 1
}

home="$work/home"
mkdir -p "$home"
cp "$BUILD/QuilletDT.dll" "$home/" || fail "no application database in $BUILD"

# A real H.264/AAC stream as an RTMP play session from 10.9.0.5 (key frame every second).
make_session() {
  ffmpeg -v error -f lavfi -i "testsrc=size=${2:-320x240}:rate=25" -f lavfi -i "sine=frequency=440" \
    -t "${1:-6}" -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -b:a 64k \
    -f flv "$work/source.flv" || fail "ffmpeg could not make the source stream"
  "$GEN" flv2pcap "$work/source.flv" "$work/session.pcap" fault 2>/dev/null ||
    fail "no session capture"
}

# Sanitizer and leak reports, whatever build the program comes from.
no_sanitizer_report() {
  if grep -qE 'Sanitizer|runtime error:' "$1"; then
    sed -n '1,30p' "$1"
    fail "sanitizer report in $1"
  fi
}

errors_in_log() {
  grep -c '^ERROR' "$home/log/log.txt" 2>/dev/null || true
}

record_into_broken_videos() {
  make_session 4
  "$CLI" -r "$work/session.pcap" --record "$ADDRESS" >"$work/out.txt" 2>"$work/err.txt"
  rc=$?
  [ "$rc" -eq 0 ] || fail "exit code $rc: $(cat "$work/err.txt")"
  grep -qx "RTMP-$ADDRESS" "$work/out.txt" || fail "the stream was not reported: $(cat "$work/out.txt")"
  no_sanitizer_report "$work/err.txt"
  n=$(errors_in_log)
  [ "$n" -eq 1 ] || {
    grep '^ERROR' "$home/log/log.txt" | head -5
    fail "$n LOG_ERROR records for the failed recording, expected 1"
  }
  echo "reported once: $(grep '^ERROR' "$home/log/log.txt" | sed 's/^ERROR - //')"
}

export STREVIX_HOME="$home"
case "$CHECK" in
  kill9)
    mkdir -p "$home/Videos"
    make_session 30 640x480
    mkfifo "$work/live.pcap"
    "$CLI" -r "$work/live.pcap" --record "$ADDRESS" >"$work/out.txt" 2>"$work/err.txt" &
    cli=$!
    pids+=("$cli")
    # About 400 KB a second, so the recording is still growing when the kill comes (the file
    # reader takes the pipe in blocks of up to 1 MiB).
    "$GEN" feed --rate 300 "$work/session.pcap" >"$work/live.pcap" 2>/dev/null &
    pids+=("$!")
    flv=""
    enough=$(($(stat -c %s "$work/source.flv") * 2 / 5))
    for _ in $(seq 1 600); do
      total=$(du -sb "$home/Videos" | cut -f1)
      [ "$total" -gt "$enough" ] && break
      sleep 0.05
    done
    kill -9 "$cli"
    wait "$cli" 2>/dev/null
    files=$(ls "$home/Videos/"*.flv 2>/dev/null | wc -l)
    flv=$(ls -t "$home/Videos/"*.flv 2>/dev/null | head -1)
    [ -n "$flv" ] || fail "no recording appeared: $(cat "$work/err.txt")"
    size=$(stat -c %s "$flv")
    "$GEN" flvcheck "$flv" "$work/cut.flv" || fail "the recording does not parse as FLV"
    ffmpeg -v error -i "$work/cut.flv" -f null - >"$work/ffmpeg.txt" 2>&1
    [ -s "$work/ffmpeg.txt" ] && {
      cat "$work/ffmpeg.txt"
      fail "ffmpeg reports errors up to the last complete tag"
    }
    frames=$(ffprobe -v error -count_frames -select_streams v:0 \
      -show_entries stream=nb_read_frames -of csv=p=0 "$work/cut.flv")
    echo "killed with $files recording(s), the last at $size of $(stat -c %s "$work/source.flv") bytes: $frames video frames decode cleanly"
    [ "${frames:-0}" -gt 0 ] || fail "no video frame decodes"
    ;;
  unwritable)
    : >"$home/Videos"  # a file where the folder should be
    record_into_broken_videos
    ;;
  fulldisk)
    if [ "$(id -u)" -ne 0 ]; then
      echo "skipped: mounting a tmpfs needs root"
      exit 77
    fi
    mkdir -p "$home/Videos"
    mount -t tmpfs -o size=64k tmpfs "$home/Videos" 2>/dev/null || {
      echo "skipped: cannot mount a tmpfs here"
      exit 77
    }
    record_into_broken_videos
    flv=$(ls "$home/Videos/"*.flv | head -1)
    "$GEN" flvcheck "$flv" || fail "the part that fitted is not FLV"
    ;;
  sigint)
    # A capture file big enough to be still in analysis when the signal comes.
    inputs=()
    for f in "$(dirname "$0")/../data/"*.pcap "$(dirname "$0")/../../data/sample.pcap"; do
      [ -f "$f" ] && inputs+=("$f")
    done
    [ "${#inputs[@]}" -gt 0 ] || fail "no captures to replay"
    "$GEN" feed --loops 60 "${inputs[@]}" >"$work/big.pcap" 2>/dev/null
    mkdir -p "$home/Videos"
    hangs=0
    for round in $(seq 1 "$ROUNDS"); do
      "$CLI" -r "$work/big.pcap" >/dev/null 2>"$work/err.txt" &
      cli=$!
      # From at once to well into the analysis.
      sleep "0.$(printf '%03d' $((RANDOM % 600)))"
      kill -INT "$cli" 2>/dev/null
      for _ in $(seq 1 200); do
        kill -0 "$cli" 2>/dev/null || break
        sleep 0.05
      done
      if kill -0 "$cli" 2>/dev/null; then
        hangs=$((hangs + 1))
        kill -9 "$cli"
      fi
      wait "$cli"
      rc=$?
      [ "$rc" -eq 0 ] || [ "$rc" -eq 137 ] || fail "round $round: exit code $rc: $(head -3 "$work/err.txt")"
      no_sanitizer_report "$work/err.txt"
    done
    [ "$hangs" -eq 0 ] || fail "$hangs of $ROUNDS rounds did not end within 10 s of SIGINT"
    echo "$ROUNDS rounds: every one ended on SIGINT, no sanitizer report"
    ;;
  *)
    echo "usage: faults.sh kill9|unwritable|fulldisk|sigint STREVIX_CLI HARDENING_GEN BUILD_DIR [ROUNDS]"
    exit 2
    ;;
esac
echo "passed: $CHECK"
