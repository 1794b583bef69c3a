#!/usr/bin/env bash
# Benchmark of the live channel in real players: the time from launching a player
# to its first decoded video frame, per player and address, next to the sum of the
# fixed pauses on the way (the QI exchange's 1 s pause, then for the continuous
# stream the relay's 256 ms before its first read, for HLS the supervisor's 1 s
# hand-over before it accepts the segment request). It runs the demo of this build
# tree on free loopback ports and one player at a time, each on a channel that is
# not running yet (the previous one's stop has gone out).
#
#   bench/players/players.sh [--build-dir=build] [--seconds=15] [--players="ffmpeg mpv vlc chromium"]
set -uo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build_dir=$repo/build
seconds=15
players="ffmpeg mpv vlc chromium"
for arg in "$@"; do
    case $arg in
    --build-dir=*) build_dir=${arg#*=} ;;
    --seconds=*) seconds=${arg#*=} ;;
    --players=*) players=${arg#*=} ;;
    *) echo "usage: $0 [--build-dir=DIR] [--seconds=N] [--players=LIST]" >&2; exit 2 ;;
    esac
done
watch=$repo/tests/system/players/watch.sh
duration=${VARNEX_DEMO_DURATION:-8}

# The browser players' npm packages, from the lock file.
npm_dir=$build_dir/players-npm
if [[ $players == *chromium* && ! -f $npm_dir/node_modules/puppeteer-core/package.json ]]; then
    mkdir -p "$npm_dir" && cp "$repo/tests/system/players/package.json" \
        "$repo/tests/system/players/package-lock.json" "$npm_dir/" &&
        (cd "$npm_dir" && npm ci --no-audit --no-fund >/dev/null) || { echo "npm ci failed" >&2; exit 2; }
fi
export NODE_MODULES=$npm_dir/node_modules

work=$(mktemp -d)
demo_pid=
cleanup() {
    [[ -n $demo_pid ]] && kill -TERM "$demo_pid" 2>/dev/null && wait "$demo_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
for try in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 20000)) qi_port=$((40000 + RANDOM % 20000))
    "$repo/scripts/demo.sh" --no-setup --build-dir="$build_dir" --dir="$work/demo" \
        --port=$port --qi-port=$qi_port >"$work/demo.log" 2>&1 &
    demo_pid=$!
    for _ in $(seq 300); do
        grep -q "Press Ctrl-C to stop." "$work/demo.log" && break
        kill -0 $demo_pid 2>/dev/null || break
        sleep 0.2
    done
    grep -q "Press Ctrl-C to stop." "$work/demo.log" && break
    wait $demo_pid 2>/dev/null
    demo_pid=
done
[[ -n $demo_pid ]] || { cat "$work/demo.log" >&2; exit 1; }

printf '%-9s %-8s %16s %17s %7s\n' player address "first frame ms" "fixed pauses ms" ratio
for address in stream hls; do
    [[ $address == hls ]] && pauses=2000 || pauses=1256
    for p in $players; do
        line=$("$watch" "$p" "http://127.0.0.1:$port/$address?cid=7" "$seconds" $((seconds + 30)) |
            grep '^RESULT')
        first=$(sed -n 's/.*first_frame_ms=\([^ ]*\).*/\1/p' <<<"$line")
        ratio=-
        [[ $first =~ ^[0-9]+$ ]] && ratio=$(awk -v a="$first" -v b="$pauses" 'BEGIN { printf "%.2f", a / b }')
        printf '%-9s %-8s %16s %17s %7s\n' "$p" "/$address" "${first:--}" "$pauses" "$ratio"
        # Let the channel stop (an HLS stop is held for the target duration).
        if [[ $address == hls ]]; then sleep $((duration + 4)); else sleep 2; fi
    done
done
