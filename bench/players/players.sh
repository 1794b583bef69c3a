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
#   - ffmpeg seeking to the middle of the movie (a fresh ffmpeg with -ss, right after
#     the movie was opened): launch to its first decoded frame;
#   - a channel switch: ffmpeg on a CID that no streamer serves, while another
#     channel plays;
#   - ten ffmpeg viewers started together on one channel and on ten channels: the
#     last one's first frame (each a channel not running yet).
# Fixed pauses: the QI exchange's 1 s, then for the stream the relay's 256 ms before
# its first read, for HLS the hand-over (1000 ms, or 0 in the opt-in mode) before the
# segment request is accepted.
#
# Modes: default; modern0, the demo's --modern without the fast admission options (its
# playlist and hand-over only); reuse, pause, threads: modern0 with one of -qi_reuse,
# -qi_pause_ms=0 and -admit_threads alone; modern: the demo's --modern, all of them.
#
#   bench/players/players.sh [--build-dir=build] [--seconds=15] [--players="ffmpeg mpv vlc chromium"]
#                            [--modes="default modern0 reuse pause threads modern"] [--live=1]
# --live=0 leaves out the per-player rows of /stream and /hls (the admission rows only).
set -uo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build_dir=$repo/build
seconds=15
players="ffmpeg mpv vlc chromium"
modes="default modern0 reuse pause threads modern"
live=1
for arg in "$@"; do
    case $arg in
    --build-dir=*) build_dir=${arg#*=} ;;
    --seconds=*) seconds=${arg#*=} ;;
    --players=*) players=${arg#*=} ;;
    --modes=*) modes=${arg#*=} ;;
    --live=*) live=${arg#*=} ;;
    *) echo "usage: $0 [--build-dir=DIR] [--seconds=N] [--players=LIST] [--modes=LIST] [--live=0|1]" >&2; exit 2 ;;
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

# ffmpeg from its launch to its first decoded video frame of url from position
# seconds (-ss), in ms; "-" without one within 30 s.
seek_frame() { # url seconds
    local t0=${EPOCHREALTIME/./}
    timeout 30 ffmpeg -nostdin -hide_banner -loglevel error -ss "$2" -i "$1" -frames:v 1 -f null - \
        >/dev/null 2>&1 || { echo -; return; }
    local t1=${EPOCHREALTIME/./}
    echo $(((t1 - t0) / 1000))
}
# The slowest first frame of n ffmpeg viewers launched together; cid_of i gives the
# CID of viewer i (one channel: the same for all).
together() { # n first_cid spread
    local n=$1 viewers=() i
    for ((i = 0; i < n; i++)); do
        first_frame ffmpeg "http://127.0.0.1:$port/stream?cid=$(($2 + i * $3))" "$seconds" >"$work/together-$i" &
        viewers+=($!)
    done
    wait "${viewers[@]}"
    if grep -qv '^[0-9]' "$work"/together-* || [[ $(cat "$work"/together-* | wc -l) -lt $n ]]; then
        echo -
    else
        sort -n "$work"/together-* | tail -n 1
    fi
    rm -f "$work"/together-*
}

printf '%-8s %-9s %-18s %16s %17s %7s\n' mode player address "first frame ms" "fixed pauses ms" ratio
for mode in $modes; do
    flags=()
    handover=1000 qi_pause=1000
    # The admission options of each mode (demo.sh reads them with --modern).
    export VARNEX_DEMO_QI_REUSE=0 VARNEX_DEMO_QI_PAUSE_MS=1000 VARNEX_DEMO_ADMIT_THREADS=1
    case $mode in
    default) ;;
    modern0) flags=(--modern) handover=0 ;;
    reuse) flags=(--modern) handover=0 VARNEX_DEMO_QI_REUSE=10 ;;
    pause) flags=(--modern) handover=0 qi_pause=0 VARNEX_DEMO_QI_PAUSE_MS=0 ;;
    threads) flags=(--modern) handover=0 VARNEX_DEMO_ADMIT_THREADS=8 ;;
    modern) flags=(--modern) handover=0 qi_pause=0 VARNEX_DEMO_QI_REUSE=10 VARNEX_DEMO_QI_PAUSE_MS=0 \
        VARNEX_DEMO_ADMIT_THREADS=8 ;;
    *) echo "unknown mode '$mode'" >&2; exit 2 ;;
    esac
    start_demo "${flags[@]}" || exit 1
    if [[ $live == 1 ]]; then
        for address in stream hls; do
            [[ $address == hls ]] && pauses=$((qi_pause + handover)) || pauses=$((qi_pause + 256))
            for p in $players; do
                row "$mode" "$p" "/$address" "$(first_frame "$p" "http://127.0.0.1:$port/$address?cid=7" "$seconds")" "$pauses"
                # Let the channel stop (an HLS stop is held for the target duration).
                if [[ $address == hls ]]; then sleep $((duration + 4)); else sleep 2; fi
            done
        done
    fi
    # The movie: every range request pays the QI exchange (unless its session is
    # reused), and the hand-over before the next one is accepted.
    for p in ffmpeg mpv; do
        [[ " $players " == *" $p "* ]] || continue
        row "$mode" "$p" "/movie (open)" "$(first_frame "$p" "http://127.0.0.1:$port/movie?cid=900" 5)" \
            "$((qi_pause + handover))/range"
        if [[ $p == ffmpeg ]]; then
            middle=$(ffprobe -v error -show_entries format=duration -of csv=p=0 \
                "http://127.0.0.1:$port/movie?cid=900" | cut -d. -f1)
            row "$mode" ffmpeg "/movie (seek)" "$(seek_frame "http://127.0.0.1:$port/movie?cid=900" $((${middle:-30} / 2)))" \
                "$((qi_pause + handover))/range"
        fi
        sleep 2
    done
    # A channel switch: a CID no streamer serves, while channel 7 plays.
    first_frame ffmpeg "http://127.0.0.1:$port/stream?cid=7" $((seconds + 10)) >/dev/null &
    playing=$!
    sleep 5
    row "$mode" ffmpeg "/stream switch" "$(first_frame ffmpeg "http://127.0.0.1:$port/stream?cid=$((200 + RANDOM % 1000))" "$seconds")" \
        "$((qi_pause + 256))"
    wait $playing
    # Ten viewers at once, on one channel and on ten, each channel not running yet.
    base=$((2000 + RANDOM % 1000 * 20))
    row "$mode" ffmpeg "/stream 10 on 1" "$(together 10 $base 0)" "$((10 * qi_pause + 256))"
    row "$mode" ffmpeg "/stream 10 on 10" "$(together 10 $((base + 1)) 1)" "$((10 * qi_pause + 256))"
    stop_demo
    sleep 2
done
