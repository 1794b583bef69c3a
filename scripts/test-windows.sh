#!/usr/bin/env bash
# Builds the 64-bit Windows programs (the windows preset, mingw-w64) and runs their
# tests under Wine in a private Wine prefix made for this run:
#   1. the Windows unit tests (ctest --preset windows: platform layer, crypto, QI framing);
#   2. system checks of KVT-Marshal.exe with KVT-Fetcher.exe, KVT-Relay.exe and
#      KVT-Cinema.exe under Wine, the QI server running natively on loopback:
#      the fixed answers byte for byte as the Linux build gives them, a live stream and
#      a movie through a QI login, the fetcher's copy of the QI session, the fetcher's
#      restart and the orderly stop after 13 failed restarts;
#   3. KVT-Keeper.exe as the service VarnexService (install, start, stop, trace mutex);
#   4. KVT-Panel.exe on a Wine desktop under Xvfb (scripts/wine-panel-check.sh): the
#      icon, the menu, both dialogs, balloons, Start/Stop/Trace On through the service
#      control manager, with screenshots in build-windows/test-output/panel_wine/;
#   5. the installer Varnex-Setup-VERSION-x64.exe (scripts/wine-installer-check.sh):
#      an install whose -install step fails (undone), one over a ProgramData\Varnex of
#      a wider list (refused), the silent install, the data folder's and the key's
#      access lists, the service running with its list, the key's values, the Run
#      value, an upgrade, the silent removal, a removal with /ALL over planted links;
#   6. the swarm (tests/system/wine_swarm_test.cpp): in a network namespace, a Windows
#      viewer system under Wine and a Linux viewer fetch a channel from a Linux
#      broadcaster and each other; a player on the Windows supervisor for 60 s, its chunk
#      files against the broadcaster's, then the movie (root, opentracker).
# libtorrent-rasterbar for mingw-w64 is built first from Debian's source package
# (scripts/build-libtorrent-mingw.sh; nothing to do when it is there already).
# Installs what it needs (mingw-w64, wine64) with apt-get. VARNEX_WINE_KEEP=1 keeps the
# run's folder (logs, Wine prefix) in /tmp. VARNEX_WINE_ONLY=panel runs only part 4,
# VARNEX_WINE_ONLY=installer only part 5, VARNEX_WINE_ONLY=swarm only part 6.
# Exit code 0 when everything passed, 1 when a check failed, 2 on a set-up error.
set -uo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

die() {
    printf 'test-windows: error: %s\n' "$*" >&2
    exit 2
}
say() { printf 'test-windows: %s\n' "$*"; }

only=${VARNEX_WINE_ONLY:-}
[[ -z $only || $only == panel || $only == installer || $only == swarm ]] ||
    die "VARNEX_WINE_ONLY is '$only': only 'panel', 'installer' and 'swarm' are known"

# ---- install and build

./scripts/install-deps.sh || die "installing the Linux packages failed"
packages=(g++-mingw-w64-x86-64-posix wine64 nsis)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    as_root=()
    [[ $(id -u) -eq 0 ]] || as_root=(sudo)
    "${as_root[@]}" apt-get update || die "apt-get update failed"
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends \
        "${missing[@]}" || die "installing ${missing[*]} failed"
fi
wine=/usr/lib/wine/wine64
[[ -x $wine ]] || wine=$(command -v wine64) || die "wine64 is not installed"
wineserver=$(dirname "$wine")/wineserver
[[ -x $wineserver ]] || wineserver=$(command -v wineserver) || die "wineserver is not installed"

./scripts/build-libtorrent-mingw.sh build-windows || die "building libtorrent-rasterbar for mingw-w64 failed"
cmake --preset windows >/dev/null && cmake --build --preset windows || die "the Windows build failed"
if [[ -z $only || $only == installer ]]; then
    cmake --build --preset windows --target installer || die "making the installer failed"
fi
# The native QI server and the Linux supervisor the answers are compared with.
cmake --preset default >/dev/null &&
    cmake --build --preset default --target varnex-qi-server KVT-Marshal KVT-Fetcher \
        system_wine_swarm_tests >/dev/null ||
    die "the Linux build of the QI server failed"

# ---- the private Wine prefix and the run's folder

work=$(mktemp -d /tmp/varnex-wine-XXXXXX) || die "cannot make a work folder"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    "$wineserver" -k 2>/dev/null # ends every program of this prefix
    wait 2>/dev/null
    if [[ ${VARNEX_WINE_KEEP:-0} == 1 ]]; then say "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

say "making the Wine prefix $WINEPREFIX"
"$wine" wineboot -i >/dev/null 2>&1 || die "wineboot could not make the prefix"
"$wineserver" -w

passed=0
failed=0
check() { # name, then a command that succeeds when the check holds
    local name=$1
    shift
    if "$@"; then
        say "PASS $name"
        passed=$((passed + 1))
    else
        say "FAIL $name"
        failed=$((failed + 1))
    fi
}

# ---- 1. unit tests

# A test program that fails is run once more: under a loaded Wine a supervisor that a
# test ended can still hold its fixed-name objects when the next test starts one.
if [[ -z $only ]]; then
    if ctest --preset windows --repeat until-pass:2; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
fi

# ---- 2. system checks

bin=$work/bin
# The cache lies on the prefix's drive C: the service takes a cache only below folders
# that no other user can change, and /tmp (Z:\tmp) is open to every user.
cache_dir=$WINEPREFIX/drive_c/varnex-cache
mkdir -p "$bin" "$cache_dir" "$work/temp" "$work/linux" "$work/media" || die "cannot make folders"
cp build-windows/bin/KVT-*.exe build-windows/bin/windows_helper.exe build-windows/bin/test-channel.ts \
    "$bin/" || die "cannot copy the programs"
winpath() { printf 'Z:%s' "${1//\//\\}"; } # Wine's drive Z: is the root folder

# A loopback port that no socket uses: below the range the system hands out for
# outgoing connections, and in no state in the socket tables (a port that other
# tests' servers left in TIME-WAIT cannot be bound by a server).
free_port() {
    local p first=32768 hex
    read -r first _ </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null
    ((first > 21000)) || first=61000
    for _ in $(seq 100); do
        p=$((20000 + RANDOM % (first - 20000)))
        hex=$(printf '%04X' "$p")
        awk -v h=":$hex" '$2 ~ h"$" { used = 1; exit } END { exit !used }' /proc/net/tcp \
            /proc/net/tcp6 2>/dev/null && continue
        (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || {
            echo "$p"
            return
        }
    done
    die "no free port"
}

# Waits until the file holds text (fixed string): 0 seen, 1 time-out after tenths/10 s.
wait_for() {
    local file=$1 text=$2 tenths=$3
    while ((tenths-- > 0)); do
        grep -qF -- "$text" "$file" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}
count_of() { grep -cF -- "$2" "$1" 2>/dev/null || true; }
wait_for_count() { # file text count tenths
    local tenths=$4
    while ((tenths-- > 0)); do
        (($(count_of "$1" "$2") >= $3)) && return 0
        sleep 0.1
    done
    return 1
}
sc_state() { # the state word of VarnexService that sc query shows (RUNNING, STOPPED, ...)
    "$wine" sc query VarnexService 2>/dev/null | tr -d '\r' | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
}
wait_state() { # state tenths
    local tenths=$2
    while ((tenths-- > 0)); do
        [[ $(sc_state) == "$1" ]] && return 0
        sleep 0.1
    done
    say "VarnexService is '$(sc_state)', not $1"
    return 1
}
verify_on() { curl -s -m 5 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$1/verify" | grep -q 200; }
wait_verify() { # port tenths: the supervisor answers
    local tenths=$2
    while ((tenths-- > 0)); do
        verify_on "$1" && return 0
        sleep 0.2
    done
    return 1
}

# The account, the registry and the QI server.
uid=4242
password=0123456789abcdef0123456789abcdef01234567
# The account that the tray's account dialog gives to varnex-update.exe -auth: the
# server holds the SHA-1 text of its password, which the update program stores.
panel_uid=5151
panel_password=wine-secret
panel_password_stored=$(printf %s "$panel_password" | sha1sum | cut -c1-40)
printf '%s %s\n%s %s\n' "$uid" "$password" "$panel_uid" "$panel_password_stored" >"$work/accounts.txt"
cache_win='C:\varnex-cache'
{
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex]\r\n'
    printf '"CachePath"="%s"\r\n' "${cache_win//\\/\\\\}"
    printf '"UserName"=dword:%08x\r\n' "$uid"
    printf '"Password"="%s"\r\n' "$password"
} >"$work/varnex.reg"
"$wine" regedit /S "$(winpath "$work/varnex.reg")" >/dev/null 2>&1 || die "cannot write the registry"

# A small movie for KVT-Cinema, served by the fetcher for CID 900.
movie=$work/media/movie.avi
ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=160x120:rate=25 \
    -t 5 -c:v mpeg4 -q:v 8 -f avi "$movie" || die "ffmpeg could not make the movie"
printf -- '-movie=900:%s\n' "$(winpath "$movie")" >"$bin/KVT-Fetcher.options"

qi_port=$(free_port)
./build/bin/varnex-qi-server -port="$qi_port" -accounts="$work/accounts.txt" -text="Wine check" \
    -duration=8 -notify=1 </dev/null >"$work/qi.log" 2>&1 &
pids+=($!)
wait_for "$work/qi.log" "QI server listening on port $qi_port" 100 || die "the QI server did not start"

if [[ -z $only ]]; then
    port=$(free_port)
    log=$work/marshal.log
    # Appended: the children write to the same file.
    (cd "$bin" && exec "$wine" "$bin/KVT-Marshal.exe" -port="$port" -host="127.0.0.1:$qi_port" -trace \
        </dev/null >>"$log" 2>&1) &
    marshal_pid=$!
    pids+=("$marshal_pid")
    check "KVT-Marshal.exe starts its fetcher and listens" wait_for "$log" "Start listening on" 300
    check "KVT-Fetcher.exe opened dwnldr-pipe" grep -qF "%MRSHL-S: Fetcher connected to Marshal" "$log"

    # The fixed answers, byte for byte as the Linux build answers (its build time masked).
    linux_log=$work/linux/marshal.log
    linux_port=$(free_port)
    mkdir -p "$work/linux/run" "$work/linux/registry" "$work/linux/temp"
    VARNEX_RUNTIME_DIR=$work/linux/run VARNEX_REGISTRY_DIR=$work/linux/registry TEMP=$work/linux/temp \
        TMP=$work/linux/temp ./build/bin/KVT-Marshal -port="$linux_port" </dev/null >"$linux_log" 2>&1 &
    pids+=($!)
    wait_for "$linux_log" "Start listening on" 150 || {
        tail -n 5 "$linux_log" >&2
        die "the Linux supervisor did not start"
    }
    answer() { # port path file: the raw answer with the build time masked
        curl -s -m 10 --raw -D - -o /dev/null "http://127.0.0.1:$1$2" | sed 's/Build at .*\r$/Build at -\r/' >"$3.head"
        curl -s -m 10 --raw -o "$3.body" "http://127.0.0.1:$1$2"
        cat "$3.head" "$3.body" >"$3"
    }
    same_answer() {
        answer "$port" "$1" "$work/wine-answer" && answer "$linux_port" "$1" "$work/linux-answer" &&
            [[ -s $work/wine-answer ]] && cmp "$work/wine-answer" "$work/linux-answer"
    }
    check "/verify byte for byte as on Linux" same_answer /verify
    check "/crossdomain.xml byte for byte as on Linux" same_answer /crossdomain.xml

    # A live stream: QI login, KVT-Relay.exe takes over the player's socket, the fetcher
    # takes over its copy of the QI session and hears the server on it.
    curl -s -m 25 -o "$work/live.ts" "http://127.0.0.1:$port/stream?cid=7"
    live_size=$(stat -c %s "$work/live.ts" 2>/dev/null || echo 0)
    say "live stream: $live_size octets in 25 s"
    has_video() { # (the whole output first: grep -q could end ffprobe early with SIGPIPE)
        local streams
        streams=$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 "$1" 2>/dev/null)
        [[ $streams == *video* ]]
    }
    check "QI login for the live stream" grep -qF "KVT-Relay.exe -chan=" "$log"
    check "the live stream reaches the player through KVT-Relay.exe" has_video "$work/live.ts"
    check "KVT-Fetcher.exe takes over the QI copy" grep -qE "%FETCH-I: QI CID=7 : took over QI socket" "$log"
    check "KVT-Fetcher.exe reads the QI server on its copy" wait_for "$log" "%FETCH-I: QI CID=7 : PDU code=16" 50

    # HLS: the playlist from a relay in HLS mode, then its segment through the
    # supervisor again (a sid request: no QI exchange).
    sleep 3
    curl -s -m 30 -o "$work/playlist.m3u8" "http://127.0.0.1:$port/hls?cid=7"
    segment=$(grep -m1 '^/hls.chunk' "$work/playlist.m3u8" | tr -d '\r')
    sleep 3
    [[ -n $segment ]] && curl -s -m 30 -o "$work/segment.ts" "http://127.0.0.1:$port$segment"
    say "HLS: playlist of $(stat -c %s "$work/playlist.m3u8" 2>/dev/null || echo 0) octets, segment '$segment' of $(stat -c %s "$work/segment.ts" 2>/dev/null || echo 0) octets"
    check "HLS playlist and its segment through KVT-Relay.exe" has_video "$work/segment.ts"

    # A movie through KVT-Cinema.exe from position 1000.
    sleep 3
    curl -s -m 30 -r 1000- -D "$work/movie.head" -o "$work/movie.part" "http://127.0.0.1:$port/movie?cid=900"
    movie_ok() {
        grep -q '^HTTP/1.1 206' "$work/movie.head" && cmp -s -i 1000:0 "$movie" "$work/movie.part" &&
            [[ $(stat -c %s "$work/movie.part") -eq $(($(stat -c %s "$movie") - 1000)) ]]
    }
    check "the movie from octet 1000 through KVT-Cinema.exe" movie_ok

    # The fetcher killed: restarted; killed again with its program gone: 13 failed
    # restarts, then the supervisor stops in order.
    fetcher_pid() { # the Windows pid of the n-th start of the fetcher
        grep -F 'KVT-Fetcher.exe was started with PID = ' "$log" | sed -n "$1p" | sed 's/.*PID = \([0-9]*\).*/\1/'
    }
    # Lines of severity S wait in the supervisor's output buffer until a line of another
    # kind is written: a request (its trace lines) brings them out.
    flush_log() { curl -s -m 10 -o /dev/null "http://127.0.0.1:$port/verify"; }
    first=$(fetcher_pid 1)
    "$wine" taskkill /F /PID "$first" >/dev/null 2>&1
    wait_for "$log" "KVT-Fetcher (PID=$first)  has stopped, trying to restart..." 100
    sleep 3
    flush_log
    check "the fetcher is restarted after it ended" \
        wait_for_count "$log" "%MRSHL-S: Fetcher connected to Marshal" 2 100
    second=$(fetcher_pid 2)
    rm -f "$bin/KVT-Fetcher.exe"
    [[ -n $second ]] && "$wine" taskkill /F /PID "$second" >/dev/null 2>&1
    check "13 failed restarts, then the monitor stops" \
        wait_for "$log" "%MRSHL-E: Failed to restart KVT-Fetcher 13 times, aborting..." 400
    logged=0
    for i in $(seq 1 13); do
        grep -qF "Failed to restart KVT-Fetcher, retry in 1 seconds ($i/13)" "$log" && logged=$((logged + 1))
    done
    check "each of the 13 failed restarts is logged" [ "$logged" = 13 ]
    # The accept loop sees the stop status after its next connection.
    curl -s -m 10 -o /dev/null "http://127.0.0.1:$port/verify"
    stopped_in_order() {
        local tenths=150
        while ((tenths-- > 0)) && kill -0 "$marshal_pid" 2>/dev/null; do sleep 0.1; done
        kill -0 "$marshal_pid" 2>/dev/null && return 1
        wait "$marshal_pid"
        local code=$?
        say "KVT-Marshal.exe ended with exit code $code"
        ((code == 2)) && grep -qF "%MRSHL-I: Child processes monitor was stopped" "$log"
    }
    check "KVT-Marshal.exe stops in order with exit code 2" stopped_in_order
fi

# ---- 3. KVT-Keeper.exe as the service VarnexService
if [[ -z $only ]]; then

    # Its own program folder: the one above has lost its fetcher. The options come from
    # KVT-Keeper.options, since the service is started without a command line.
    kbin=$work/keeper
    mkdir -p "$kbin" || die "cannot make $kbin"
    cp build-windows/bin/KVT-Keeper.exe build-windows/bin/KVT-Marshal.exe build-windows/bin/KVT-Fetcher.exe \
        build-windows/bin/windows_helper.exe build-windows/bin/platform_helper.exe "$kbin/" ||
        die "cannot copy the keeper's programs"
    keeper_port=$(free_port)
    keeper_log=$work/keeper.log
    printf -- '-marshal_args=-port=%s -host=127.0.0.1:%s\r\n-log=%s\r\n' "$keeper_port" "$qi_port" \
        "$(winpath "$keeper_log")" >"$kbin/KVT-Keeper.options"
    helper() { (cd "$kbin" && "$wine" "$kbin/windows_helper.exe" "$@" </dev/null); }

    # The service is recorded as started with the system: were the Wine prefix to end and
    # start again in between (it ends when no program runs), it would start on its own.
    # A program kept running holds the prefix up until the end of the run.
    (cd "$kbin" && exec "$wine" "$kbin/windows_helper.exe" sleep 900000 </dev/null >/dev/null 2>&1) &
    pids+=($!)
    # -install made to fail after it recorded the service: a settings key that nobody
    # may write (its owner may still give the list back). The record goes again.
    key='HKEY_LOCAL_MACHINE\SOFTWARE\Varnex'
    helper setaccess key "$key" 'D:P' >"$work/setaccess.out"
    (cd "$kbin" && "$wine" "$kbin/KVT-Keeper.exe" -install </dev/null >"$work/install-fail.out" 2>&1)
    rc=$?
    # The list given back is the set-up of every check below: tried until it holds.
    restore_key() {
        local i
        for i in 1 2 3 4 5; do
            helper setaccess key "$key" 'D:(A;CI;KA;;;SY)(A;CI;KA;;;BA)' >>"$work/setaccess.out" && return 0
            sleep 1
        done
        return 1
    }
    restore_key || say "the settings key's access list could not be given back: $(tr '\n' ' ' <"$work/setaccess.out")"
    check "an -install that fails after recording the service removes the record" \
        eval '[ "$rc" = 4 ] && grep -qF "Installed VarnexService" "$work/install-fail.out" &&
              grep -qF "Removed VarnexService again" "$work/install-fail.out" && [ -z "$(sc_state)" ]'
    (cd "$kbin" && "$wine" "$kbin/KVT-Keeper.exe" -install </dev/null >"$work/install.out" 2>&1)
    check "KVT-Keeper.exe -install records VarnexService, stopped" wait_state STOPPED 50
    (cd "$kbin" && "$wine" "$kbin/KVT-Keeper.exe" -install </dev/null >"$work/install2.out" 2>&1)
    rc=$?
    check "a second -install fails with exit code 4" [ "$rc" = 4 ]

    # A cache path that a standard user could set in CachePath: the service's
    # supervisor refuses it (exit 4) and touches nothing there. A UNC path, then a
    # folder that is a link to another (Wine takes no junctions, but shows a Unix
    # symbolic link to a folder as a reparse point).
    set_cache_path() { "$wine" reg add 'HKLM\SOFTWARE\Varnex' /v CachePath /t REG_SZ /d "$1" /f >/dev/null 2>&1; }
    refused_cache() { # CachePath, then the folder the refusal names and its reason
        local before
        before=$(count_of "$keeper_log" "ended with exit code 4")
        set_cache_path "$1" && helper service start VarnexService >/dev/null &&
            wait_for_count "$keeper_log" "ended with exit code 4" $((before + 1)) 200 &&
            grep -qF "Cache folder '$1\vcache' $2 ('$3'): the service's cache must be" "$keeper_log" &&
            grep -qF "Started KVT-Marshal, pid" "$keeper_log" &&
            grep "Started KVT-Marshal" "$keeper_log" | tail -n1 | grep -q -- " -service"
        local ok=$?
        helper service stop VarnexService >/dev/null
        wait_state STOPPED 150 >/dev/null
        return $ok
    }
    check "the service refuses a UNC CachePath" \
        refused_cache '\\127.0.0.1\varnex' "is not a path on a local drive" '\\127.0.0.1\varnex\vcache'
    mkdir -p "$work/elsewhere" && ln -s "$work/elsewhere" "$WINEPREFIX/drive_c/planted"
    check "the service refuses a cache below a link, and makes nothing in its target" \
        eval 'refused_cache "C:\planted" "lies in a folder that is a link or that other users can rename, replace or empty" "C:\planted" &&
              [ ! -e "$work/elsewhere/vcache" ]'
    check "the service refuses a cache below a folder every user may change (Z:\tmp)" \
        refused_cache "$(winpath "$work")" "lies in a folder that is a link or that other users can rename, replace or empty" 'Z:\tmp'
    set_cache_path "$cache_win"

    # The tray's Trace On: the trace mutex held while the service starts.
    (cd "$kbin" && exec "$wine" "$kbin/platform_helper.exe" mutex 'Global\Varnex Trace=ON' \
        </dev/null >"$work/trace-mutex.out" 2>&1) &
    trace_holder=$!
    pids+=("$trace_holder")
    wait_for "$work/trace-mutex.out" created 100 || die "the trace mutex could not be made"

    check "the tray's start reaches the service control manager" helper service start VarnexService
    check "VarnexService runs" wait_state RUNNING 100
    check "the service's KVT-Marshal.exe answers" wait_verify "$keeper_port" 150
    check "the keeper saw the trace mutex and runs KVT-Marshal.exe with -trace" \
        grep -qE "Started KVT-Marshal, pid [0-9]+: .*KVT-Marshal.exe.* -trace" "$keeper_log"
    check "the service counts as running for the tray" helper service running VarnexService
    helper service start VarnexService >"$work/start2.out"
    check "a second start is refused while it runs" grep -q "service start VarnexService -> 1056" \
        "$work/start2.out"

    check "the tray's stop reaches the service" helper service stop VarnexService
    check "VarnexService stops" wait_state STOPPED 150
    check "its KVT-Marshal.exe is ended with it" eval '! verify_on "$keeper_port"'
    check "the keeper logs the stop" grep -qF "Stop requested: ending KVT-Marshal" "$keeper_log"

    # Trace Off: without the mutex the next start runs the supervisor without -trace.
    kill "$trace_holder" 2>/dev/null
    wait "$trace_holder" 2>/dev/null
    sleep 1
    helper service start VarnexService
    check "started again without the trace mutex: no -trace" \
        eval 'wait_verify "$keeper_port" 150 && grep "Started KVT-Marshal" "$keeper_log" | tail -n1 | grep -vq -- " -trace"'
    helper service stop VarnexService
    wait_state STOPPED 150
    (cd "$kbin" && "$wine" "$kbin/KVT-Keeper.exe" -uninstall </dev/null >"$work/uninstall.out" 2>&1)
    rc=$?
    check "KVT-Keeper.exe -uninstall removes VarnexService" \
        eval '[ "$rc" = 0 ] && [ -z "$(sc_state)" ] && ! helper service running VarnexService >/dev/null'
fi

# ---- 4. KVT-Panel.exe on a Wine desktop under Xvfb

if [[ -z $only || $only == panel ]]; then
    source scripts/wine-panel-check.sh
    panel_checks
fi

# ---- 5. the installer

if [[ -z $only || $only == installer ]]; then
    source scripts/wine-installer-check.sh
    installer_checks
fi

# ---- 6. the swarm

if [[ -z $only || $only == swarm ]]; then
    # libtorrent is linked in: the installer has no DLL of it (or of the compiler) to ship.
    system_dlls_only() {
        local dlls
        dlls=$(x86_64-w64-mingw32-objdump -p build-windows/bin/KVT-Fetcher.exe |
            sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
        say "KVT-Fetcher.exe imports: $(echo $dlls)"
        [[ -n $dlls ]] && ! grep -qvxE '(advapi32|bcrypt|crypt32|dbghelp|iphlpapi|kernel32|msvcrt|mswsock|ole32|shell32|user32|ws2_32)\.dll' <<<"$dlls"
    }
    check "KVT-Fetcher.exe needs no DLL beyond Windows' own" system_dlls_only
    # A prefix, a wineserver and a network namespace of the test's own.
    check "a Windows viewer plays a channel from the swarm, its chunk files the broadcaster's" \
        env VARNEX_WINE="$wine" VARNEX_WINESERVER="$wineserver" VARNEX_WIN_BIN="$repo/build-windows/bin" \
        ./build/bin/system_wine_swarm_tests
fi

if ((failed)); then
    for out in install-fail install install2 uninstall; do
        [[ -s $work/$out.out ]] && { say "KVT-Keeper.exe's $out.out:"; cat "$work/$out.out"; }
    done
    [[ -f ${keeper_log:-} ]] && { say "the end of $keeper_log:"; tail -n 20 "$keeper_log"; }
    [[ -f ${log:-} ]] && { say "the end of $log:"; tail -n 40 "$log"; }
    [[ -f $work/panel.log ]] && { say "the end of $work/panel.log:"; tail -n 30 "$work/panel.log"; }
fi
printf '%d passed, %d failed\n' "$passed" "$failed"
((failed == 0))
