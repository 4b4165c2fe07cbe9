#!/bin/sh
# Pictures of the desktop program for docs/: under Xvfb, with trayer as the tray host.
#   screenshots-xvfb.sh BUILD OUTPUT_FOLDER
# Exit 77 when Xvfb or trayer is missing.
set -eu
build=$1
out=$2
command -v xvfb-run >/dev/null 2>&1 || { echo "xvfb-run missing" >&2; exit 77; }
command -v trayer >/dev/null 2>&1 || { echo "trayer missing" >&2; exit 77; }
if [ -z "${STREVIX_SHOTS_INNER:-}" ]; then
    export STREVIX_SHOTS_INNER=1
    exec xvfb-run -a -s "-screen 0 1440x900x24" sh "$0" "$@"
fi
mkdir -p "$out"
trayer --edge bottom --align right --widthtype pixel --width 120 --height 24 &
tray=$!
trap 'kill "$tray" 2>/dev/null' EXIT
sleep 1
QT_QPA_PLATFORM=xcb "$build/tests/app_screenshots" "$out" zh
QT_QPA_PLATFORM=xcb "$build/tests/app_screenshots" "$out" en
