#!/usr/bin/env bash
# Benchmark of the live channel and the movie in real players, in the default
# modes and in the opt-in modes (the demo's --modern: the standard live playlist
# and no hand-over pause):
#   - the time from launching a player to its first decoded video frame, per player,
#     address and mode, each on a channel that is not running yet (the previous
#     one's stop has gone out), next to the sum of the fixed pauses on the way;
#   - the movie's opening time (launch to first frame) in ffmpeg and mpv, which ask
#     for several byte ranges, each a new request with its QI exchange and, in the
#     defaults, the supervisor's 1 s hand-over before the next is accepted;
#   - five ffmpeg viewers started together on the stream: the fifth's first frame.
# Fixed pauses: the QI exchange's 1 s, then for the stream the relay's 256 ms before
# its first read, for HLS the hand-over (1000 ms, or 0 in the opt-in mode) before the
# segment request is accepted.
#
#   bench/players/players.sh [--build-dir=build] [--seconds=15] [--players="ffmpeg mpv vlc chromium"]
#                            [--modes="default modern"]
set -uo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build_dir=$repo/build
seconds=15
players="ffmpeg mpv vlc chromium"
modes="default modern"
for arg in "$@"; do
    case $arg in
    --build-dir=*) build_dir=${arg#*=} ;;
    --seconds=*) seconds=${arg#*=} ;;
    --players=*) players=${arg#*=} ;;
    --modes=*) modes=${arg#*=} ;;
    *) echo "usage: $0 [--build-dir=DIR] [--seconds=N] [--players=LIST] [--modes=LIST]" >&2; exit 2 ;;
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
stop_demo() {
    [[ -n $demo_pid ]] && kill -TERM "$demo_pid" 2>/dev/null && wait "$demo_pid" 2>/dev/null
    demo_pid=
}
cleanup() {
    stop_demo
    rm -rf "$work"
}
trap cleanup EXIT

# Starts the demo (with its extra flags) on free loopback ports; sets port.
start_demo() {
    for try in 1 2 3 4 5; do
        port=$((20000 + RANDOM % 20000)) qi_port=$((40000 + RANDOM % 20000))
        "$repo/scripts/demo.sh" --no-setup --build-dir="$build_dir" --dir="$work/demo" \
            --port=$port --qi-port=$qi_port "$@" >"$work/demo.log" 2>&1 &
        demo_pid=$!
        for _ in $(seq 300); do
            grep -q "Press Ctrl-C to stop." "$work/demo.log" && return 0
            kill -0 $demo_pid 2>/dev/null || break
            sleep 0.2
        done
        wait $demo_pid 2>/dev/null
        demo_pid=
    done
    cat "$work/demo.log" >&2
    return 1
}

first_frame() { # player url seconds
    "$watch" "$1" "$2" "$3" $(($3 + 30)) | sed -n 's/^RESULT.*first_frame_ms=\([^ ]*\).*/\1/p'
}
row() { # mode player address first pauses
    local ratio=-
    [[ $4 =~ ^[0-9]+$ ]] && ratio=$(awk -v a="$4" -v b="$5" 'BEGIN { printf "%.2f", a / b }')
    printf '%-8s %-9s %-18s %16s %17s %7s\n' "$1" "$2" "$3" "${4:--}" "$5" "$ratio"
}

printf '%-8s %-9s %-18s %16s %17s %7s\n' mode player address "first frame ms" "fixed pauses ms" ratio
for mode in $modes; do
    flags=()
    handover=1000
    if [[ $mode == modern ]]; then flags=(--modern) handover=0; fi
    start_demo "${flags[@]}" || exit 1
    for address in stream hls; do
        [[ $address == hls ]] && pauses=$((1000 + handover)) || pauses=1256
        for p in $players; do
            row "$mode" "$p" "/$address" "$(first_frame "$p" "http://127.0.0.1:$port/$address?cid=7" "$seconds")" "$pauses"
            # Let the channel stop (an HLS stop is held for the target duration).
            if [[ $address == hls ]]; then sleep $((duration + 4)); else sleep 2; fi
        done
    done
    # The movie: every range request pays the QI exchange, and the hand-over before
    # the next one is accepted.
    for p in ffmpeg mpv; do
        [[ " $players " == *" $p "* ]] || continue
        row "$mode" "$p" "/movie (open)" "$(first_frame "$p" "http://127.0.0.1:$port/movie?cid=900" 5)" \
            "$((1000 + handover))/range"
        sleep 2
    done
    # Five viewers at once on the stream, one request at a time in the supervisor.
    viewers=()
    for i in 1 2 3 4 5; do
        first_frame ffmpeg "http://127.0.0.1:$port/stream?cid=7" "$seconds" >"$work/five-$i" &
        viewers+=($!)
    done
    wait "${viewers[@]}"
    fifth=$(sort -n "$work"/five-* | tail -n 1)
    row "$mode" ffmpeg "/stream 5th of 5" "$fifth" "$((5000 + 4 * handover + 256))"
    stop_demo
    sleep 2
done
