#!/bin/sh
# Smoke run of the desktop program on a virtual X display: starts BUILD/strevix, feeds the
# capture-file command the bundled sample, and waits for the sample's stream rows in the list.
#   smoke-xvfb.sh BUILD SOURCE [SCREENSHOT.png]
# With a third argument the main window is saved as a picture. Exit 77: no Xvfb here.
set -eu
build=$1
source=$2
screenshot=${3:-}

command -v xvfb-run >/dev/null 2>&1 || { echo "xvfb-run missing" >&2; exit 77; }
if [ -z "${STREVIX_SMOKE_INNER:-}" ]; then
    export STREVIX_SMOKE_INNER=1
    exec xvfb-run -a -s "-screen 0 1280x800x24" sh "$0" "$@"
fi

work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT

# The rows the sample gives: number, address up to its last '/', the rest; newest first.
awk '{ sub(/^[A-Z]+-/, ""); n = split($0, p, "/"); head = p[1];
       for (i = 2; i < n; i++) head = head "/" p[i];
       rows[NR] = NR "\t" head "\t" p[n] }
     END { for (i = NR; i >= 1; i--) print rows[i] }' "$source/tests/data/sample.streams" \
    >"$work/expected"

# A copy under a name of its own runs the build's program with the build as its application
# folder; any other process named like the program (another build's tests) would count as an
# instance and end this one at once.
program="$work/strevixsmoke$$"
cp "$build/strevix" "$program"
STREVIX_LANG=zh STREVIX_HOME="$build" STREVIX_OPEN_CAPTURE="$source/data/sample.pcap" \
    STREVIX_DUMP_STREAMS="$work/rows" "$program" >"$work/out" 2>&1 &
pid=$!

i=0
while ! cmp -s "$work/expected" "$work/rows" 2>/dev/null; do
    i=$((i + 1))
    if [ "$i" -gt 600 ] || ! kill -0 "$pid" 2>/dev/null; then
        echo "stream rows not found; expected:" >&2
        cat "$work/expected" >&2
        echo "got:" >&2
        cat "$work/rows" >&2 2>/dev/null || true
        cat "$work/out" >&2
        exit 1
    fi
    sleep 0.1
done
echo "found the $(wc -l <"$work/expected") stream rows of the sample"

if [ -n "$screenshot" ]; then
    sleep 1
    window=$(xdotool search --onlyvisible --name "斯瑞维" 2>/dev/null | tail -n 1)
    import -window "${window:-root}" "$screenshot"
    echo "screenshot: $screenshot"
fi

# SIGTERM runs the exit sequence; the program must end cleanly (under the sanitizers: no leak).
kill "$pid"
status=0
wait "$pid" || status=$?
pid=
if [ "$status" -ne 0 ]; then
    echo "the program ended with status $status" >&2
    cat "$work/out" >&2
    exit 1
fi
echo "ended cleanly"
