#!/usr/bin/env bash
# The benchmark table: every figure of bench/ next to its reference, all measured on
# this machine in one run, printed as a Markdown table (the raw outputs stay in a
# folder named at the end). Not run by CI; takes several minutes.
#
#   bench/table.sh [build dir, default build/]
#
# Environment: VARNEX_BENCH_STREAMS (concurrent live streams of the load figure,
# default 511), VARNEX_BENCH_MOVIE_MB (movie size, default 256).
# References: a plain read/send loop and a plain fork+exec (in the benchmarks
# themselves), iperf3 over loopback TCP and nginx serving the same movie range.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin=${1:-$repo/build}/bin
streams=${VARNEX_BENCH_STREAMS:-511}
movie_mb=${VARNEX_BENCH_MOVIE_MB:-256}
raw=$(mktemp -d /tmp/varnex-bench-XXXXXX)

for p in relay_bench cinema_bench bench_marshal bench_marshal_child load_marshal; do
    [ -x "$bin/$p" ] || { echo "bench: $bin/$p is not built (cmake --build --preset default)" >&2; exit 2; }
done

say() { printf 'bench: %s\n' "$*" >&2; }
# The number after a label in a raw output: field (1-based) after the label's colon.
pick() { # file, label, field
    awk -v label="$2" -v n="$3" 'index($0, label) { sub(".*" label "[^:]*:?", ""); split($0, f, " "); print f[n]; exit }' "$1"
}

say "relay (throughput, first byte, CPU at 40 Mbit/s, memory) ..."
"$bin/relay_bench" >"$raw/relay.txt" 2>&1
say "movie streamer and nginx ($movie_mb MiB) ..."
"$bin/cinema_bench" "$movie_mb" 3 >"$raw/cinema.txt" 2>&1
say "supervisor cost per request ..."
"$bin/bench_marshal" "$bin/bench_marshal_child" >"$raw/marshal.txt" 2>&1
say "$streams concurrent live streams through one supervisor ..."
"$bin/load_marshal" "$streams" 8 >"$raw/load.txt" 2>&1

iperf="n/a (iperf3 not installed)"
if command -v iperf3 >/dev/null; then
    say "iperf3 over loopback ..."
    port=$((20000 + RANDOM % 20000))
    iperf3 -s -1 -B 127.0.0.1 -p "$port" >/dev/null 2>&1 &
    server=$!
    sleep 1
    iperf3 -c 127.0.0.1 -p "$port" -t 5 -f m >"$raw/iperf3.txt" 2>&1
    wait "$server" 2>/dev/null
    mbit=$(awk '/receiver/ { for (i = 1; i < NF; i++) if ($(i + 1) == "Mbits/sec") v = $i } END { print v }' "$raw/iperf3.txt")
    [ -n "$mbit" ] && iperf=$(awk -v m="$mbit" 'BEGIN { printf "%.1f MiB/s", m * 1e6 / 8 / 1048576 }')
fi

# First-frame time per player comes from bench/players (another benchmark) when it
# is built; its own output is added as it is.
players="(bench/players not built)"
for p in "$bin/bench_players" "$bin/players_bench"; do
    if [ -x "$p" ]; then
        say "first frame per player ..."
        "$p" >"$raw/players.txt" 2>&1
        players="see below"
        break
    fi
done

relay_plain=$(pick "$raw/relay.txt" "plain read(65424)/send loop" 1)
relay_rate=$(pick "$raw/relay.txt" "KVT-Relay                   " 1)
ttfb_header=$(pick "$raw/relay.txt" "first octet (HTTP header)" 1)
ttfb_data=$(pick "$raw/relay.txt" "first transport-stream data" 1)
relay_cpu=$(pick "$raw/relay.txt" "KVT-Relay, 20 s from 45 s" 1)
plain_cpu=$(pick "$raw/relay.txt" "plain loop, same data" 1)
relay_idle=$(pick "$raw/relay.txt" "idle live relay (no chunk files)" 1)
cinema_rate=$(pick "$raw/cinema.txt" "KVT-Cinema          " 1)
cinema_plain=$(pick "$raw/cinema.txt" "plain loop          " 1)
cinema_nginx=$(pick "$raw/cinema.txt" "nginx (sendfile)" 1)
cinema_rss=$(pick "$raw/cinema.txt" "KVT-Cinema peak RSS" 1)
verify_us=$(pick "$raw/marshal.txt" "verify (answer 0)" 2)
child_us=$(pick "$raw/marshal.txt" "stream with sid (child start + message)" 2)
fork_us=$(pick "$raw/marshal.txt" "reference: bare fork+exec" 2)
load_rate=$(pick "$raw/load.txt" "per-player rate over" 5)
load_rss=$(pick "$raw/load.txt" "resident memory per relay" 1)
load_cpu=$(pick "$raw/load.txt" "per stream" 1)
load_extra=$(awk -F': ' '/^  request [0-9]+:/ { print $2; exit }' "$raw/load.txt")
load_after=$(awk '/after all ended/ { print $4, $5, "descriptors,", $13, "zombies"; exit }' "$raw/load.txt")

cpu=$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)
echo
echo "Taken $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores of $cpu, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo) RAM, $(uname -sr)"
echo
echo "| measurement | Varnex | reference, same run |"
echo "|---|---|---|"
echo "| live pipeline: one chunk file to one client | KVT-Relay ${relay_rate:-?} MiB/s | plain read/send loop ${relay_plain:-?} MiB/s; iperf3 loopback TCP $iperf |"
echo "| time to first byte, sid stream request | header ${ttfb_header:-?} ms, first TS data ${ttfb_data:-?} ms | |"
echo "| movie range from the page cache | KVT-Cinema ${cinema_rate:-?} MB/s | same reads in a plain loop ${cinema_plain:-?} MB/s; nginx ${cinema_nginx:-n/a} MB/s |"
echo "| supervisor cost per request (median) | verify ${verify_us:-?} us; child start ${child_us:-?} us | bare fork+exec ${fork_us:-?} us |"
echo "| resident memory | relay idle ${relay_idle:-?} MiB, relay at load ${load_rss:-?} KiB; KVT-Cinema peak ${cinema_rss:-?} MiB | |"
echo "| CPU per stream | relay at 40 Mbit/s ${relay_cpu:-?} % of a core; ${load_cpu:-?} % per stream at $streams x 2 Mbit/s | plain loop at 40 Mbit/s ${plain_cpu:-?} % |"
echo "| $streams concurrent streams | median ${load_rate:-?} Mbit/s a player; request $((streams + 1)): ${load_extra:-?}; after all ended: ${load_after:-?} | |"
echo "| first-frame time per player | $players | |"
if [ -f "$raw/players.txt" ]; then
    echo
    cat "$raw/players.txt"
fi
echo
echo "Raw outputs: $raw"
