#!/usr/bin/env bash
# The main job: installs what is needed, builds, and runs the whole system on this
# machine for a media player -- the QI server, and the supervisor KVT-Marshal with
# its fetcher, relays and movie streamers -- in a demo world of its own folders.
# It stays in the foreground until Ctrl-C or SIGTERM, then stops everything it started.
#
#   scripts/demo.sh             install, build into build/, run until stopped
#   scripts/demo.sh --check     run, probe stream, HLS and movie (and the channel list
#                               and status page), stop; exit 0 or 1
#   scripts/demo.sh --panel     also the tray KVT-Panel on this desktop; the supervisor
#                               then runs as the service, under KVT-Keeper
#   scripts/demo.sh --swarm     the swarm instead: a tracker, a broadcaster and viewer
#                               systems on loopback (scripts/swarm-demo.sh; build first)
#   scripts/demo.sh --modern    the opt-in modes: a standard live playlist of three
#                               segments (-hls_list=3), no hand-over pause
#                               (-handover_ms=0), with chunk files of about 6 s, and
#                               fast admission: an admitted channel's QI session
#                               admits its player's next requests (-qi_reuse=10), no
#                               pause before a QI request (-qi_pause_ms=0) and eight
#                               connections admitted at once (-admit_threads=8)
#
# Options (each also as an environment variable):
#   --check         probe the three addresses and exit        VARNEX_DEMO_CHECK=1
#   --no-setup      skip installing and building               VARNEX_DEMO_NO_SETUP=1
#   --port=N        supervisor port (default 6689)            VARNEX_DEMO_PORT
#   --qi-port=N     QI server port (default 3564)             VARNEX_DEMO_QI_PORT
#   --dir=PATH      demo world folder (default out/demo)      VARNEX_DEMO_DIR
#   --build-dir=P   build folder (default build/)             VARNEX_BUILD_DIR
#   --trace         supervisor and relays write trace lines   VARNEX_DEMO_TRACE=1
#   --follow        print the programs' log as it grows       VARNEX_DEMO_FOLLOW=1
#   --panel         the tray on this desktop (needs DISPLAY)  VARNEX_DEMO_PANEL=1
#   --modern        the opt-in playlist, hand-over, admission VARNEX_DEMO_MODERN=1
#   VARNEX_DEMO_SOURCES=FILE   a sources file copied beside the fetcher as KVT-Sources.txt
#   (with --modern: VARNEX_DEMO_QI_REUSE=10, VARNEX_DEMO_QI_PAUSE_MS=0 and
#    VARNEX_DEMO_ADMIT_THREADS=8 set the admission options; 0, 1000 and 1 leave one off)
#   VARNEX_DEMO_REGISTRY=FILE  more registry values ("name"=dword:HEX lines) of the key
#   VARNEX_DEMO_FETCHER_OPTIONS=FILE  more fetcher options (one a line, e.g. the swarm's),
#                              added to its options file after the demo's own
#   (VARNEX_DEMO_DURATION=8: the duration the QI server gives, 7 to 67 s; HLS segments
#    are announced one second longer, live chunk files last five seconds longer)
#
# The demo folder's bin, cache, logs, registry, runtime and temp subfolders are made
# anew on every start; media/ keeps the generated movie.
# Exit codes: 0 check passed, 1 check failed or a server ended on its own, 2 set-up error,
#   3 a port is in use, 130 / 143 stopped by SIGINT / SIGTERM.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

check=${VARNEX_DEMO_CHECK:-0}
no_setup=${VARNEX_DEMO_NO_SETUP:-0}
port=${VARNEX_DEMO_PORT:-6689}
qi_port=${VARNEX_DEMO_QI_PORT:-3564}
demo_dir=${VARNEX_DEMO_DIR:-$repo/out/demo}
build_dir=${VARNEX_BUILD_DIR:-$repo/build}
trace=${VARNEX_DEMO_TRACE:-0}
follow=${VARNEX_DEMO_FOLLOW:-0}
panel=${VARNEX_DEMO_PANEL:-0}
modern=${VARNEX_DEMO_MODERN:-0}

# The demo account, the channel and the movie.
demo_uid=4242
demo_password=$(printf '%s' 'varnex-demo' | sha1sum | cut -c1-40) # 40 characters
live_cid=7
second_cid=8 # any other CID gets the test signal too: a second channel for the list
movie_cid=900
# The QI server's duration: the relay's HLS target duration and idle limit.
chunk_duration=${VARNEX_DEMO_DURATION:-8}
# The opt-in modes of --modern: segments listed, hand-over pause, chunk length, and
# admission: QI session reuse (its linger in seconds), QI pause, admission threads.
modern_hls_list=3
modern_handover_ms=0
modern_chunk_ms=6000
modern_qi_reuse=${VARNEX_DEMO_QI_REUSE:-10}
modern_qi_pause_ms=${VARNEX_DEMO_QI_PAUSE_MS:-0}
modern_admit_threads=${VARNEX_DEMO_ADMIT_THREADS:-8}

say() { printf 'demo: %s\n' "$*"; }
die() {
    printf 'demo: error: %s\n' "$*" >&2
    exit 2
}

usage() { awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "${BASH_SOURCE[0]}"; }

for arg in "$@"; do
    [[ $arg == --swarm ]] && exec "$repo/scripts/swarm-demo.sh" "$@"
done
for arg in "$@"; do
    case $arg in
    --check) check=1 ;;
    --no-setup) no_setup=1 ;;
    --port=*) port=${arg#*=} ;;
    --qi-port=*) qi_port=${arg#*=} ;;
    --dir=*) demo_dir=${arg#*=} ;;
    --build-dir=*) build_dir=${arg#*=} ;;
    --trace) trace=1 ;;
    --follow) follow=1 ;;
    --panel) panel=1 ;;
    --modern) modern=1 ;;
    -h | --help)
        usage
        exit 0
        ;;
    *)
        usage >&2
        die "unknown argument '$arg'"
        ;;
    esac
done

valid_port() { [[ $1 =~ ^[0-9]+$ ]] && ((10#$1 >= 1 && 10#$1 <= 65535)); }
valid_port "$port" || die "supervisor port '$port' is not a port number"
valid_port "$qi_port" || die "QI server port '$qi_port' is not a port number"
port=$((10#$port))
qi_port=$((10#$qi_port))
((port != qi_port)) || die "the supervisor and the QI server need two different ports"
valid_duration() { [[ $1 =~ ^[0-9]+$ ]] && ((10#$1 >= 7 && 10#$1 <= 67)); }
valid_duration "$chunk_duration" || die "VARNEX_DEMO_DURATION '$chunk_duration' is not 7 to 67 seconds"
chunk_duration=$((10#$chunk_duration))

# A port in use is refused before anything is made or started (and again when a
# server cannot bind, for a port taken on another address).
port_busy() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

port_in_use() {
    printf 'demo: error: port %s (%s) is already in use; stop what uses it, or choose another port with %s\n' \
        "$1" "$2" "$3" >&2
    exit 3
}
port_busy "$qi_port" && port_in_use "$qi_port" "QI server" "--qi-port=N"
port_busy "$port" && port_in_use "$port" "supervisor" "--port=N"

# ---- install and build

# The tray, the service host and the update program it runs.
panel_programs=
[[ $panel == 1 ]] && panel_programs="KVT-Panel KVT-Keeper varnex-update"
if [[ $panel == 1 && -z ${DISPLAY:-}${WAYLAND_DISPLAY:-} ]]; then
    die "--panel needs a desktop session (DISPLAY or WAYLAND_DISPLAY is not set)"
fi

if [[ $no_setup != 1 ]]; then
    "$repo/scripts/install-deps.sh" || die "installing the packages failed"
    mkdir -p "$build_dir" || die "cannot create the build folder '$build_dir'"
    build_dir=$(cd "$build_dir" && pwd)
    if [[ $build_dir == "$repo/build" ]]; then
        (cd "$repo" && cmake --preset default && cmake --build --preset default) ||
            die "the build failed"
    else
        (cmake -S "$repo" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
            cmake --build "$build_dir" -j2 --target KVT-Marshal KVT-Relay KVT-Cinema \
                KVT-Fetcher varnex-qi-server $panel_programs) || die "the build failed"
    fi
fi
[[ -d $build_dir ]] || die "no build folder '$build_dir' (run without --no-setup to build)"
build_dir=$(cd "$build_dir" && pwd)
bin=$build_dir/bin
for program in KVT-Marshal KVT-Relay KVT-Cinema KVT-Fetcher varnex-qi-server $panel_programs; do
    [[ -x $bin/$program ]] || die "'$bin/$program' is missing: build first"
done
[[ -f $bin/test-channel.ts ]] || die "'$bin/test-channel.ts' is missing: the build makes it with ffmpeg"
for tool in ffmpeg ffprobe curl sha1sum flock; do
    command -v "$tool" >/dev/null || die "'$tool' is not installed (scripts/install-deps.sh installs it)"
done

# ---- the demo world

mkdir -p "$demo_dir" || die "cannot create the demo folder '$demo_dir'"
demo_dir=$(cd "$demo_dir" && pwd)
# One demo per folder: the lock is held for the script's life.
exec 9>"$demo_dir/demo.lock" || die "cannot open '$demo_dir/demo.lock'"
flock -n 9 || die "another demo is running in '$demo_dir'"

export VARNEX_RUNTIME_DIR=$demo_dir/runtime
export VARNEX_REGISTRY_DIR=$demo_dir/registry
export TEMP=$demo_dir/temp
export TMP=$TEMP
cache_root=$demo_dir/cache # CachePath; the supervisor caches in CachePath/vcache
movie=$demo_dir/media/movie.avi
logs=$demo_dir/logs

rm -rf "${demo_dir:?}/bin" "$VARNEX_RUNTIME_DIR" "$VARNEX_REGISTRY_DIR" "$TEMP" "$cache_root" "$logs"
mkdir -p "$demo_dir/bin" "$VARNEX_RUNTIME_DIR" "$VARNEX_REGISTRY_DIR/HKEY_LOCAL_MACHINE/SOFTWARE" \
    "$TEMP" "$cache_root" "$logs" "$demo_dir/media" || die "cannot create the demo world in '$demo_dir'"

# The supervisor starts its children from its own folder: a copy of the programs.
cp "$bin/KVT-Marshal" "$bin/KVT-Relay" "$bin/KVT-Cinema" "$bin/KVT-Fetcher" \
    "$bin/varnex-qi-server" "$bin/test-channel.ts" "$demo_dir/bin/" ||
    die "cannot copy the programs into '$demo_dir/bin'"
if [[ $panel == 1 ]]; then
    mkdir -p "$demo_dir/bin/icons" &&
        cp "$bin/KVT-Panel" "$bin/KVT-Keeper" "$bin/varnex-update" "$demo_dir/bin/" &&
        cp "$bin/icons/kvt-panel.svg" "$demo_dir/bin/icons/" ||
        die "cannot copy the tray programs into '$demo_dir/bin'"
fi

# Registry text with a backslash and a double quote escaped.
reg_string() {
    local s=${1//\\/\\\\}
    printf '"%s"' "${s//\"/\\\"}"
}
{
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex]\n'
    printf '"CachePath"=%s\n' "$(reg_string "$cache_root")"
    printf '"UserName"=dword:%08x\n' "$demo_uid"
    printf '"Password"=%s\n' "$(reg_string "$demo_password")"
    # The version the tray's About shows and its update check compares.
    if [[ $panel == 1 ]]; then printf '"Version"="1.0.0"\n'; fi
    # More values of the key, as the tray would set them (e.g. "downrate"=dword:...).
    if [[ -n ${VARNEX_DEMO_REGISTRY:-} ]]; then cat "$VARNEX_DEMO_REGISTRY"; fi
} >"$VARNEX_REGISTRY_DIR/HKEY_LOCAL_MACHINE/SOFTWARE/Varnex.reg" || die "cannot write the registry"
printf '# The demo account: UID and stored password text\n%s %s\n' "$demo_uid" "$demo_password" \
    >"$demo_dir/qi-accounts.txt"

# A small movie, made once: 30 s of test picture and tone in AVI.
if [[ ! -s $movie ]]; then
    say "making the demo movie $movie with ffmpeg"
    if ! ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=44100 \
        -t 30 -c:v mpeg4 -q:v 6 -g 25 -c:a mp2 -b:a 96k -f avi "$movie.part"; then
        die "ffmpeg could not make the movie"
    fi
    mv "$movie.part" "$movie" || die "cannot write '$movie'"
fi
# KVT-Fetcher reads its options file next to itself: it serves the movie for its CID;
# every other CID gets the test signal test-channel.ts next to it.
movie_option="-movie=$movie_cid:$movie"
[[ ${#movie_option} -le 255 && $movie != *[\!\;]* ]] ||
    die "the demo folder path is too long or holds '!' or ';': choose another with --dir"
{
    printf '! Options of the demo fetcher (written by scripts/demo.sh)\n%s\n' "$movie_option"
    # Chunk files 4 s longer than the HLS segment the relay announces (duration + 1 s):
    # a player asks for its next segment one segment duration after its last
    # playlist, plus the QI exchange and the supervisor's hand-over (about 2 s), and
    # the relay serves the newest chunk, so a chunk that ended sooner would be skipped.
    # With the standard playlist a segment is one whole chunk file and players keep
    # three of them: shorter chunks shorten the live delay, but every playlist reload
    # costs a QI exchange (1 s) in the supervisor's queue.
    # The fetcher then also writes as many complete chunks as the playlist lists at
    # once on a start, as peers would hand over what the swarm holds, so that a
    # player's first playlist is a whole one.
    if [[ $modern == 1 ]]; then
        printf -- '-chunk_ms=%d\n-history=%d\n' "$modern_chunk_ms" "$modern_hls_list"
    else
        printf -- '-chunk_ms=%d\n' $(((chunk_duration + 5) * 1000))
    fi
    if [[ -n ${VARNEX_DEMO_FETCHER_OPTIONS:-} ]]; then cat "$VARNEX_DEMO_FETCHER_OPTIONS"; fi
} >"$demo_dir/bin/KVT-Fetcher.options"
# Live channels from real sources, when given (see the README's sources file).
if [[ -n ${VARNEX_DEMO_SOURCES:-} ]]; then
    cp "$VARNEX_DEMO_SOURCES" "$demo_dir/bin/KVT-Sources.txt" || die "cannot copy '$VARNEX_DEMO_SOURCES'"
fi
# The channel list beside the supervisor: the playlist /playlist.m3u lists these, the
# status page shows their names.
printf '! The demo channels (written by scripts/demo.sh): CID<TAB>NAME<TAB>GROUP\n%s\t%s\t%s\n%s\t%s\t%s\n' \
    "$live_cid" "Test channel" "Demo" "$second_cid" "Test channel 2" "Demo" >"$demo_dir/bin/KVT-Channels.txt"

# ---- running and stopping

qi_pid=
marshal_pid=
tail_pid=
panel_pid=

# Every process whose program lies in the demo's bin folder: the ones this demo started.
# shellcheck disable=SC2317 # (called from the traps)
demo_pids() {
    find /proc -mindepth 2 -maxdepth 2 -name exe -lname "$demo_dir/bin/*" -printf '%h\n' 2>/dev/null |
        sed 's|^/proc/||'
}

# shellcheck disable=SC2317
stop_all() {
    trap - EXIT INT TERM
    local pid tries left
    [[ -n $tail_pid ]] && kill "$tail_pid" 2>/dev/null
    # The supervisor's children end with it (they are killed when their parent dies).
    for pid in $panel_pid $marshal_pid $qi_pid; do kill -TERM "$pid" 2>/dev/null; done
    for ((tries = 0; tries < 50; tries++)); do
        left=$(demo_pids)
        [[ -z $left ]] && break
        sleep 0.1
    done
    left=$(demo_pids)
    if [[ -n $left ]]; then
        for pid in $left; do kill -KILL "$pid" 2>/dev/null; done
    fi
    wait 2>/dev/null
    [[ -n $qi_pid ]] && say "stopped; logs are in $logs"
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits until log holds text while pid runs; 0 when seen, 1 when the process ended,
# 2 on time-out.
wait_for_line() {
    local pid=$1 log=$2 text=$3 tenths=$4
    while ((tenths-- > 0)); do
        grep -qF -- "$text" "$log" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || {
            grep -qF -- "$text" "$log" 2>/dev/null && return 0
            return 1
        }
        sleep 0.1
    done
    return 2
}

# Explains why a program did not come up, then exits.
not_started() {
    local name=$1 log=$2 want_port=$3 option=$4
    if grep -qE 'errno = 98|Address already in use' "$log"; then
        port_in_use "$want_port" "$name" "$option"
    fi
    printf 'demo: error: %s did not start; the end of %s:\n' "$name" "$log" >&2
    tail -n 15 "$log" >&2
    exit 2
}

cd "$demo_dir" || die "cannot enter '$demo_dir'"
trace_flag=()
[[ $trace == 1 ]] && trace_flag=(-trace)
# The opt-in supervisor options ride along with the trace flag.
if [[ $modern == 1 ]]; then
    trace_flag+=("-hls_list=$modern_hls_list" "-handover_ms=$modern_handover_ms")
    # Admission options at 0/1000/1 are the defaults: left off the command line then.
    [[ $modern_qi_reuse != 0 ]] && trace_flag+=("-qi_reuse=$modern_qi_reuse")
    [[ $modern_qi_pause_ms != 1000 ]] && trace_flag+=("-qi_pause_ms=$modern_qi_pause_ms")
    [[ $modern_admit_threads != 1 ]] && trace_flag+=("-admit_threads=$modern_admit_threads")
fi

# The two servers are killed when this script dies, even by SIGKILL; the
# supervisor's children end with the supervisor.
guard="setpriv --pdeathsig KILL --"
command -v setpriv >/dev/null || guard=

qi_log=$logs/qi-server.log
$guard "$demo_dir/bin/varnex-qi-server" -port="$qi_port" -accounts="$demo_dir/qi-accounts.txt" \
    -text="Varnex demo channel" -duration="$chunk_duration" -notify=1 </dev/null >"$qi_log" 2>&1 9>&- &
qi_pid=$!
wait_for_line "$qi_pid" "$qi_log" "QI server listening on port $qi_port" 100 ||
    not_started "QI server" "$qi_log" "$qi_port" "--qi-port=N"

marshal_log=$logs/marshal.log
if [[ $panel == 1 ]]; then
    # The tray first, so it shows the supervisor's first notification; its own log
    # shows each menu and command.
    "$demo_dir/bin/KVT-Panel" </dev/null >"$logs/panel.log" 2>&1 9>&- &
    panel_pid=$!
    for ((tenths = 100; tenths > 0; tenths--)); do # until it listens on its pipe
        [[ -S $VARNEX_RUNTIME_DIR/pipe/tray-pipe ]] && break
        sleep 0.1
    done
    # The supervisor runs as the service: KVT-Keeper runs it with these options, the
    # tray's Stop, Start and Trace On/Off act on it, and every keeper logs here.
    printf -- '-marshal_args=-port=%s -listen=127.0.0.1 -host=127.0.0.1:%s %s\n-log=%s\n' "$port" "$qi_port" \
        "${trace_flag[*]}" "$marshal_log" >"$demo_dir/bin/KVT-Keeper.options"
    printf '1.0.0\n' >"$demo_dir/newest-version.txt"
    printf -- '-host=127.0.0.1:%s\n-source=%s\n' "$qi_port" "$demo_dir/newest-version.txt" \
        >"$demo_dir/bin/varnex-update.options"
    $guard "$demo_dir/bin/KVT-Keeper" </dev/null >"$marshal_log" 2>&1 9>&- &
else
    # Loopback only: a request with a sid skips the QI check, so no other host may ask.
    $guard "$demo_dir/bin/KVT-Marshal" -port="$port" -listen=127.0.0.1 -host="127.0.0.1:$qi_port" \
        "${trace_flag[@]}" </dev/null >"$marshal_log" 2>&1 9>&- &
fi
marshal_pid=$!
if [[ $panel == 1 ]]; then
    # With the tray running, the supervisor's line may wait in its output buffer:
    # the listening socket itself tells that it is up.
    listening() { grep -qi ":$(printf '%04X' "$port") 00000000:0000 0A" /proc/net/tcp; }
    for ((tenths = 150; tenths > 0; tenths--)); do
        listening && break
        kill -0 "$marshal_pid" 2>/dev/null || break
        sleep 0.1
    done
    listening || not_started "KVT-Marshal" "$marshal_log" "$port" "--port=N"
else
    wait_for_line "$marshal_pid" "$marshal_log" "Start listening on" 150 ||
        not_started "KVT-Marshal" "$marshal_log" "$port" "--port=N"
fi

base=http://127.0.0.1:$port
stream_url="$base/stream?cid=$live_cid"
hls_url="$base/hls?cid=$live_cid"
movie_url="$base/movie?cid=$movie_cid"
playlist_url="$base/playlist.m3u"
status_url="$base/status"

cat <<EOF

Varnex demo is running (demo world: $demo_dir)
  QI server      127.0.0.1:$qi_port  (account UID $demo_uid), pid $qi_pid
  KVT-Marshal    port $port, pid $marshal_pid; it runs KVT-Fetcher, and a KVT-Relay or
                 KVT-Cinema for every request
  logs           $marshal_log, $qi_log

Open in a player:
  live stream    $stream_url
  live HLS       $hls_url
  movie          $movie_url
  channel list   $playlist_url  (with HLS addresses: $playlist_url?hls=1)
  status page    $status_url  (and $status_url.json; for players on this machine only)

For example:
  ffplay '$stream_url'
  mpv '$hls_url'
  vlc '$movie_url'
  vlc '$playlist_url'
  curl -s '$stream_url' | ffprobe -hide_banner -i -
  curl -s -r 0-999 -o /dev/null -D - '$movie_url'

EOF
if [[ $modern == 1 && $modern_qi_reuse != 0 ]]; then
    echo "A player's first request of a channel logs in to the QI server ($modern_qi_pause_ms ms pause)."
elif [[ $modern == 1 ]]; then
    echo "Each request first logs in to the QI server (a $modern_qi_pause_ms ms pause)."
else
    echo "Each request first logs in to the QI server (a 1 s pause)."
fi
# What players do differs between the modes (the README's table of players).
if [[ $modern == 1 ]]; then
    cat <<EOF
The first picture takes about 1.5 s on the stream and 1 to 2.5 s on HLS, where VLC
plays the HLS address too (see the README's table of players).
EOF
else
    cat <<EOF
The first picture takes about 1.5 to 2 s on the stream and 2 to 4 s on HLS in ffmpeg
and mpv (hls.js 12 to 16 s); VLC does
not play the HLS address in this mode, it does with --modern (see the README's table
of players).
EOF
fi
if [[ $modern == 1 ]]; then
    cat <<EOF
Modern mode: HLS answers a standard live playlist of the newest $modern_hls_list complete
chunk files (-hls_list=$modern_hls_list), which VLC and hls.js play too, the live stream
starts with the newest complete chunk, and the supervisor accepts the next request at
once after starting a streamer (-handover_ms=$modern_handover_ms). Admission: a channel's
QI session admits the same player's next requests and lingers $modern_qi_reuse s after its
last streamer (-qi_reuse=$modern_qi_reuse), a QI request waits $modern_qi_pause_ms ms
(-qi_pause_ms=$modern_qi_pause_ms), and $modern_admit_threads connections are admitted at once
(-admit_threads=$modern_admit_threads).
EOF
fi
if [[ $panel == 1 ]]; then
    cat <<EOF
The tray icon KVT-Panel (pid $panel_pid) runs on this desktop, and the supervisor runs
under the service host KVT-Keeper (the pid above). The tray's menu stops, starts
and restarts the demo's service, switches tracing, sets the account (UID $demo_uid,
password varnex-demo) and the limits, and clears the cache. Its Exit ends the demo.
Its log: $logs/panel.log
EOF
fi

# ---- check mode: probe the three addresses

# Stream descriptions that ffprobe finds at an address, one line each.
probe_media() {
    timeout "$1" ffprobe -v error -rw_timeout 20000000 \
        -show_entries stream=codec_type,codec_name,width,height -of compact=p=0 "$2" 2>&1 |
        awk 'NF && !seen[$0]++'
}
indent() { sed '/^$/d; s/^/    /'; }

run_check() {
    local failed=0 out headers playlist
    echo
    say "checking the live stream $stream_url"
    out=$(probe_media 40 "$stream_url")
    printf '%s\n' "$out" | indent
    if grep -q 'codec_type=video' <<<"$out"; then say "live stream: OK"; else
        say "live stream: FAILED"
        failed=1
    fi

    say "checking HLS $hls_url"
    playlist=$(timeout 30 curl -sS --max-time 25 "$hls_url" 2>&1)
    printf '%s\n' "$playlist" | indent
    out=$(probe_media 60 "$hls_url")
    printf '%s\n' "$out" | indent
    # The segment address leads back to the supervisor, which starts a relay with
    # the playlist's sid and chunk number: the relay lists its options at once (the
    # supervisor's start line follows with its next line, at the latest when that
    # relay has sent its chunk, which lasts as long as the chunk is being written).
    local looped=0 tries
    for ((tries = 0; tries < 300; tries++)); do
        grep -qE -- '-sid=[0-9]+ -chunk=[1-9][0-9]* .*-hls|%UTILS-I: chunk = [1-9][0-9]* ' \
            "$marshal_log" && looped=1 && break
        sleep 0.1
    done
    ((looped)) && say "HLS: the segment was served through the supervisor"
    if grep -q '^#EXTM3U' <<<"$playlist" && grep -q 'hls.chunk' <<<"$playlist" &&
        grep -q 'codec_type=video' <<<"$out" && ((looped)); then say "HLS: OK"; else
        say "HLS: FAILED"
        failed=1
    fi

    say "checking the movie $movie_url"
    headers=$(timeout 30 curl -sS --max-time 25 -r 1000- -o "$demo_dir/movie-probe.bin" -D - \
        "$movie_url" 2>&1 | tr -d '\r')
    printf '%s\n' "$headers" | indent
    local got want
    got=$(stat -c %s "$demo_dir/movie-probe.bin" 2>/dev/null || echo 0)
    want=$(($(stat -c %s "$movie") - 1000))
    say "movie: $got octets received from position 1000 (the file holds $want after it)"
    if cmp -s -i 1000:0 "$movie" "$demo_dir/movie-probe.bin"; then say "movie: octets match the file"; fi
    out=$(probe_media 60 "$movie_url")
    printf '%s\n' "$out" | indent
    if grep -q '^HTTP/1.1 206' <<<"$headers" && ((got == want)) &&
        cmp -s -i 1000:0 "$movie" "$demo_dir/movie-probe.bin" &&
        grep -q 'codec_type=video' <<<"$out"; then say "movie: OK"; else
        say "movie: FAILED"
        failed=1
    fi
    rm -f "$demo_dir/movie-probe.bin"

    say "checking the channel list $playlist_url and the status page $status_url.json"
    out=$(timeout 20 curl -sS --max-time 15 "$playlist_url" 2>&1)
    printf '%s\n' "$out" | indent
    local status
    status=$(timeout 20 curl -sS --max-time 15 "$status_url.json" 2>&1)
    printf '%s\n' "$status" | indent
    if grep -qxF "$stream_url" <<<"$out" && grep -qF '"fetcher":{"running":true' <<<"$status"; then
        say "channel list and status page: OK"
    else
        say "channel list and status page: FAILED"
        failed=1
    fi

    if ((failed)); then
        say "CHECK FAILED; the end of $marshal_log:"
        tail -n 30 "$marshal_log" | indent
        return 1
    fi
    say "CHECK PASSED: live stream, HLS and movie answered on loopback"
    return 0
}

if [[ $check == 1 ]]; then
    run_check
    exit $?
fi

if [[ $follow == 1 ]]; then
    tail -n +1 -F "$marshal_log" "$qi_log" 9>&- &
    tail_pid=$!
fi
echo "Press Ctrl-C to stop."
# Runs until a signal, or until one of the two servers ends on its own; with the tray,
# the service may stop and start, and the tray's Exit ends the demo.
if [[ $panel == 1 ]]; then
    wait -n "$qi_pid" "$panel_pid"
    if ! kill -0 "$panel_pid" 2>/dev/null; then
        say "the tray ended"
        exit 0
    fi
else
    wait -n "$qi_pid" "$marshal_pid"
fi
say "a server ended on its own"
[[ $follow == 1 ]] || tail -n 15 "$marshal_log" "$qi_log"
exit 1
