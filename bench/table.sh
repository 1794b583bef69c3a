#!/usr/bin/env bash
# The benchmark table: every figure of bench/ next to its reference, all measured on
# this machine in one run, printed as a Markdown table (the raw outputs stay in a
# folder named at the end). Not run by CI; takes several minutes.
#
#   bench/table.sh [build dir, default build/]
#   bench/table.sh --print=RAW_FOLDER   prints the table of an earlier run again
#
# Environment: VARNEX_BENCH_STREAMS (concurrent live streams of the load figure,
# default 511), VARNEX_BENCH_MOVIE_MB (movie size, default 256).
# References: a plain read/send loop and a plain fork+exec (in the benchmarks
# themselves), iperf3 over loopback TCP and nginx serving the same movie range.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
reprint=
case ${1:-} in --print=*) reprint=${1#--print=}; shift ;; esac
bin=${1:-$repo/build}/bin
streams=${VARNEX_BENCH_STREAMS:-511}
movie_mb=${VARNEX_BENCH_MOVIE_MB:-256}
raw=${reprint:-$(mktemp -d /tmp/varnex-bench-XXXXXX)}

[ -n "$reprint" ] || for p in relay_bench cinema_bench bench_marshal bench_marshal_child load_marshal; do
    [ -x "$bin/$p" ] || { echo "bench: $bin/$p is not built (cmake --build --preset default)" >&2; exit 2; }
done

say() { printf 'bench: %s\n' "$*" >&2; }
# Field n (1-based, blank-separated) of what follows a label in a raw output.
pick() { # file, label, n
    awk -v label="$2" -v n="$3" '(i = index($0, label)) {
        split(substr($0, i + length(label)), f, " "); v = f[n]; sub(/,$/, "", v); print v; exit }' "$1"
}

if [ -z "$reprint" ]; then
    say "relay (throughput, first byte, CPU at 40 Mbit/s, memory) ..."
    "$bin/relay_bench" >"$raw/relay.txt" 2>&1
    say "movie streamer and nginx ($movie_mb MiB) ..."
    "$bin/cinema_bench" "$movie_mb" 3 >"$raw/cinema.txt" 2>&1
    say "supervisor cost per request ..."
    "$bin/bench_marshal" "$bin/bench_marshal_child" >"$raw/marshal.txt" 2>&1
    say "$streams concurrent live streams through one supervisor ..."
    "$bin/load_marshal" "$streams" 8 >"$raw/load.txt" 2>&1

    if command -v iperf3 >/dev/null; then
        say "iperf3 over loopback ..."
        port=$((20000 + RANDOM % 20000))
        iperf3 -s -1 -B 127.0.0.1 -p "$port" >/dev/null 2>&1 &
        server=$!
        sleep 1
        iperf3 -c 127.0.0.1 -p "$port" -t 5 -f m >"$raw/iperf3.txt" 2>&1
        wait "$server" 2>/dev/null
    fi

    # First-frame time per player and address, from the players' benchmark.
    say "first frame per player ..."
    "$repo/bench/players/players.sh" --build-dir="$(dirname "$bin")" >"$raw/players.txt" 2>&1 ||
        say "players benchmark failed (see $raw/players.txt)"
fi
players="(not measured)"
[ -f "$raw/players.txt" ] && players="see below"
iperf="n/a (iperf3 not installed)"
[ -f "$raw/iperf3.txt" ] && iperf=$(awk '/receiver/ { for (i = 1; i < NF; i++) if ($(i + 1) == "Mbits/sec") v = $i } END { if (v != "") printf "%.1f MiB/s", v * 1e6 / 8 / 1048576 }' "$raw/iperf3.txt")

relay_plain=$(pick "$raw/relay.txt" "plain read(65424)/send loop" 2)
relay_rate=$(pick "$raw/relay.txt" "KVT-Relay                   " 2)
ttfb_header=$(pick "$raw/relay.txt" "first octet (HTTP header)" 2)
ttfb_data=$(pick "$raw/relay.txt" "first transport-stream data" 2)
relay_cpu=$(pick "$raw/relay.txt" "KVT-Relay, 20 s from 45 s" 2)
plain_cpu=$(pick "$raw/relay.txt" "plain loop, same data" 2)
relay_idle=$(pick "$raw/relay.txt" "idle live relay (no chunk files)" 2)
cinema_rate=$(pick "$raw/cinema.txt" "KVT-Cinema          " 1)
cinema_plain=$(pick "$raw/cinema.txt" "plain loop          " 1)
cinema_nginx=$(pick "$raw/cinema.txt" "nginx (sendfile)" 1)
cinema_rss=$(pick "$raw/cinema.txt" "KVT-Cinema peak RSS" 1)
verify_us=$(pick "$raw/marshal.txt" "verify (answer 0)" 2)
child_us=$(pick "$raw/marshal.txt" "stream with sid (child start + message)" 2)
fork_us=$(pick "$raw/marshal.txt" "reference: bare fork+exec (proc_start)" 2)
load_rate=$(pick "$raw/load.txt" "per-player rate over" 6)
load_rss=$(pick "$raw/load.txt" "resident memory per relay" 1)
load_cpu=$(pick "$raw/load.txt" "; per stream" 1)
load_all_cpu=$(pick "$raw/load.txt" "CPU of all relays" 1)
load_extra=$(awk -F': ' '/^  request [0-9]+:/ { print $2; exit }' "$raw/load.txt")
load_after=$(awk '/after all ended/ { print $5, $6, "descriptors,", $NF, "zombies"; exit }' "$raw/load.txt")

cpu=$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)
echo
echo "Taken $(date -u -r "$raw/relay.txt" '+%Y-%m-%d %H:%M UTC') on $(nproc) cores of $cpu, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo) RAM, $(uname -sr)"
echo
echo "| measurement | Varnex | reference, same run |"
echo "|---|---|---|"
echo "| live pipeline: one chunk file to one client | KVT-Relay ${relay_rate:-?} MiB/s | plain read/send loop ${relay_plain:-?} MiB/s; iperf3 loopback TCP $iperf |"
echo "| time to first byte, sid stream request | header ${ttfb_header:-?} ms, first TS data ${ttfb_data:-?} ms | |"
echo "| movie range from the page cache | KVT-Cinema ${cinema_rate:-?} MB/s | same reads in a plain loop ${cinema_plain:-?} MB/s; nginx ${cinema_nginx:-n/a} MB/s |"
echo "| supervisor cost per request (median) | verify ${verify_us:-?} us; child start ${child_us:-?} us | bare fork+exec ${fork_us:-?} us |"
echo "| resident memory | relay idle ${relay_idle:-?} MiB, relay at load ${load_rss:-?} KiB; KVT-Cinema peak ${cinema_rss:-?} MiB | |"
echo "| CPU per stream | relay at 40 Mbit/s ${relay_cpu:-?} % of a core; at $streams x 2 Mbit/s ${load_cpu:-?} % a stream (all relays ${load_all_cpu:-?} %) | plain loop at 40 Mbit/s ${plain_cpu:-?} % |"
echo "| $streams concurrent streams | median ${load_rate:-?} Mbit/s a player; request $((streams + 1)): ${load_extra:-?}; after all ended: ${load_after:-?} | |"
echo "| first-frame time per player | $players | |"
if [ -f "$raw/players.txt" ]; then
    echo
    cat "$raw/players.txt"
fi
echo
echo "Raw outputs: $raw"
