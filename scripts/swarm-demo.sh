#!/usr/bin/env bash
# The swarm on this machine's loopback: a tracker (opentracker), an ffmpeg test
# sender, a broadcaster system that reads it, and viewer systems that fetch the
# channel from the broadcaster and from each other over BitTorrent. Every system is a
# whole demo (scripts/demo.sh: QI server, supervisor, fetcher) in its own folder, with
# its own address 127.0.0.N for the swarm; nothing is sent beyond loopback (the DHT,
# local discovery, UPnP and NAT-PMP are off). It stays in the foreground until Ctrl-C.
#
#   scripts/swarm-demo.sh [--viewers=N] [--dir=PATH] [--build-dir=P] [--check]
#   (also scripts/demo.sh --swarm ...)
#
#   --viewers=N   viewer systems (default 3, at most 9)
#   --dir=PATH    the swarm demo's folder (default out/swarm-demo)
#   --build-dir=P build folder (default build/); build first (scripts/demo.sh builds)
#   --check       probe the first viewer's /stream and its status page, stop; exit 0 or 1
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
viewers=3
dir=$repo/out/swarm-demo
build_dir=$repo/build
check=0
for arg in "$@"; do
    case $arg in
    --viewers=*) viewers=${arg#*=} ;;
    --dir=*) dir=${arg#*=} ;;
    --build-dir=*) build_dir=${arg#*=} ;;
    --check) check=1 ;;
    --swarm | --no-setup | --modern | --trace | --follow) ;; # as scripts/demo.sh passes them
    -h | --help)
        awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "${BASH_SOURCE[0]}"
        exit 0
        ;;
    *)
        echo "swarm-demo: unknown argument '$arg'" >&2
        exit 2
        ;;
    esac
done
say() { printf 'swarm-demo: %s\n' "$*"; }
die() {
    printf 'swarm-demo: error: %s\n' "$*" >&2
    exit 2
}
[[ $viewers =~ ^[1-9]$ ]] || die "--viewers is 1 to 9"
for tool in opentracker ffmpeg ffprobe curl; do
    command -v "$tool" >/dev/null || die "'$tool' is not installed (scripts/install-deps.sh installs it)"
done
[[ -x $build_dir/bin/KVT-Fetcher ]] || die "no build in '$build_dir' (run scripts/demo.sh once to build)"

mkdir -p "$dir" && dir=$(cd "$dir" && pwd) || die "cannot create '$dir'"
# What an earlier run made, and nothing else of the folder.
rm -rf "${dir:?}"/broadcaster "$dir"/viewer[1-9] "$dir"/tracker "$dir"/*.log "$dir"/*-sources.txt \
    "$dir"/*-options.txt "$dir"/broadcaster.key "$dir"/broadcaster.key.pub &&
    mkdir -p "$dir/tracker" || die "cannot clear '$dir'"
tracker_port=16969
sender_port=15555
base_port=16700 # system i: supervisor base+10i, QI server base+10i+1
wl=$dir/tracker/wl
: >"$wl"
chmod 755 "$dir/tracker" && chmod 644 "$wl"

pids=()
stop_all() {
    trap - EXIT INT TERM
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    wait 2>/dev/null
    say "stopped; logs are in $dir"
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Debian's opentracker tracks only the info-hashes listed in its whitelist and reads
# it again on SIGHUP: the broadcaster appends each one it publishes; this loop signals.
tracker_args=(-i 127.0.0.1 -p "$tracker_port" -P "$tracker_port")
if [[ $(id -u) == 0 ]]; then
    tracker_args+=(-d "$dir/tracker" -w /wl) # root: it chroots there and drops to nobody
else
    tracker_args+=(-w "$wl")
fi
opentracker "${tracker_args[@]}" >"$dir/tracker.log" 2>&1 &
tracker_pid=$!
pids+=("$tracker_pid")
(
    n=0
    while kill -0 "$tracker_pid" 2>/dev/null; do
        m=$(wc -l <"$wl")
        [[ $m != "$n" ]] && kill -HUP "$tracker_pid" && n=$m
        sleep 0.1
    done
) &
pids+=($!)

ffmpeg -nostdin -hide_banner -loglevel error -re -f lavfi -i testsrc=size=320x240:rate=25 \
    -f lavfi -i sine=frequency=1000:sample_rate=48000 -c:v libx264 -preset ultrafast \
    -tune zerolatency -pix_fmt yuv420p -g 25 -b:v 500k -c:a aac -b:a 64k -f mpegts \
    "udp://127.0.0.1:$sender_port?pkt_size=1316" >"$dir/sender.log" 2>&1 &
pids+=($!)

# System i (0: the broadcaster) as a whole demo of its own.
start_system() {
    local i=$1 sources=$2 options=$3 name
    name=$([[ $i == 0 ]] && echo broadcaster || echo "viewer$i")
    printf '%s' "$sources" >"$dir/$name-sources.txt"
    printf '%s' "$options" >"$dir/$name-options.txt"
    VARNEX_DEMO_SOURCES=$dir/$name-sources.txt VARNEX_DEMO_FETCHER_OPTIONS=$dir/$name-options.txt \
        "$repo/scripts/demo.sh" --no-setup --modern --build-dir="$build_dir" --dir="$dir/$name" \
        --port=$((base_port + 10 * i)) --qi-port=$((base_port + 10 * i + 1)) \
        >"$dir/$name.log" 2>&1 &
    pids+=($!)
}
ready() { # waits until system i's demo is up
    local log=$1 tenths
    for ((tenths = 900; tenths > 0; tenths--)); do
        grep -q 'Press Ctrl-C to stop.' "$log" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

key=$dir/broadcaster.key
start_system 0 "7	udp://127.0.0.1:$sender_port
" "-swarm_listen=127.0.0.2:6881
-swarm_tracker=http://127.0.0.1:$tracker_port/announce
-swarm_feed=127.0.0.2:7000
-swarm_whitelist=$wl
-swarm_key=$key
"
ready "$dir/broadcaster.log" || die "the broadcaster did not start: $dir/broadcaster.log"
for ((tenths = 300; tenths > 0; tenths--)); do
    [[ -s $key.pub ]] && break
    sleep 0.1
done
pub=$(head -c 64 "$key.pub" 2>/dev/null) || die "no broadcaster key"
for ((i = 1; i <= viewers; i++)); do
    start_system "$i" "7	swarm:http://127.0.0.2:7000/7	key=$pub
" "-swarm_listen=127.0.0.$((10 + i)):6881
"
done
for ((i = 1; i <= viewers; i++)); do
    ready "$dir/viewer$i.log" || die "viewer $i did not start: $dir/viewer$i.log"
done

cat <<EOF

Varnex swarm demo is running (folder $dir)
  tracker        opentracker on 127.0.0.1:$tracker_port
  broadcaster    http://127.0.0.1:$base_port/stream?cid=7 (its own source: ffmpeg over UDP),
                 swarm address 127.0.0.2:6881, feed http://127.0.0.2:7000/7
EOF
for ((i = 1; i <= viewers; i++)); do
    printf '  viewer %d       http://127.0.0.1:%d/stream?cid=7  (status: /status), swarm address 127.0.0.%d:6881\n' \
        "$i" $((base_port + 10 * i)) $((10 + i))
done
cat <<EOF

Each viewer's fetcher fetches channel 7 from the swarm when a player asks for it; the
first picture takes about 6.5 s (the relay's start delay), the live delay is about 7 s.
For example: ffplay 'http://127.0.0.1:$((base_port + 10))/stream?cid=7'
EOF

if [[ $check == 1 ]]; then
    url=http://127.0.0.1:$((base_port + 10))/stream?cid=7
    say "checking $url"
    out=$(timeout 40 ffprobe -v error -show_entries stream=codec_type -of csv=p=0 "$url" 2>&1)
    status=$(curl -s --max-time 10 "http://127.0.0.1:$((base_port + 10))/status.json")
    if grep -q video <<<"$out" && grep -q '"swarm":\[{"cid":7,"role":"viewer"' <<<"$status"; then
        say "CHECK PASSED: viewer 1 played channel 7 from the swarm"
        exit 0
    fi
    say "CHECK FAILED: $out $status"
    exit 1
fi
echo "Press Ctrl-C to stop."
wait -n "${pids[@]}"
say "a part of the swarm ended on its own"
exit 1
