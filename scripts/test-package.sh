#!/usr/bin/env bash
# Builds the Debian package (cmake --build --preset default --target package) and tests
# it by installing it on this machine: lintian finds no error; dpkg -i puts the
# programs, the user unit and the desktop entries in place; the installed supervisor
# and fetcher from /usr/bin serve a live stream on loopback to curl (logging in to a QI
# server of the build); varnex-update compares the package's version; an upgrade to a
# next version works; dpkg -r and dpkg -P remove everything.
# It installs a package system-wide, so it is a CI step of its own (.ci/run), not a
# test of ./scripts/test.sh; it runs as root or through sudo.
# Prints "N passed, N failed"; exit code 0 when everything passed, 1 when a check
# failed, 2 on a set-up error.
set -uo pipefail
cd "$(dirname "$0")/.."

die() {
    printf 'test-package: error: %s\n' "$*" >&2
    exit 2
}
say() { printf 'test-package: %s\n' "$*"; }

as_root=()
[[ $(id -u) -eq 0 ]] || as_root=(sudo)
./scripts/install-deps.sh || die "installing the Linux packages failed"
cmake --preset default >/dev/null || die "cmake --preset default failed"
cmake --build --preset default --target package || die "making the package failed"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)
deb=$(ls build/varnex_"$version"_*.deb 2>/dev/null | head -n1)
[[ -f $deb ]] || die "no build/varnex_${version}_*.deb"
say "package $deb"
dpkg-query -W varnex >/dev/null 2>&1 && die "a varnex package is installed already: remove it first"

work=$(mktemp -d /tmp/varnex-package-XXXXXX) || die "cannot make a work folder"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill -- "-$pid" 2>/dev/null; done
    wait 2>/dev/null
    dpkg-query -W varnex >/dev/null 2>&1 && "${as_root[@]}" dpkg -P varnex >/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

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
wait_for() { # file text tenths
    local tenths=$3
    while ((tenths-- > 0)); do
        grep -qF -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}
free_port() { # a loopback port no socket uses
    local p hex
    for _ in $(seq 100); do
        p=$((20000 + RANDOM % 12000))
        hex=$(printf '%04X' "$p")
        grep -qi ":$hex " /proc/net/tcp /proc/net/tcp6 2>/dev/null || {
            echo "$p"
            return
        }
    done
    die "no free port"
}

# ---- lintian
lintian --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1
sed 's/^/  /' "$work/lintian.txt"
check "lintian reports no error" eval '! grep -q "^E: " "$work/lintian.txt"'

# ---- install
programs=(KVT-Marshal KVT-Relay KVT-Cinema KVT-Fetcher KVT-Keeper KVT-Panel varnex-update)
files=(/usr/lib/systemd/user/VarnexService.service /etc/xdg/autostart/kvt-panel.desktop
    /usr/share/applications/kvt-panel.desktop /usr/share/icons/hicolor/scalable/apps/kvt-panel.svg
    /usr/share/doc/varnex/copyright)
for p in "${programs[@]}"; do files+=("/usr/bin/$p"); done
present() { # how many of the files exist; "no-etc": leaving out the configuration files
    local f n=0
    for f in "${files[@]}"; do
        [[ ${1:-} == no-etc && $f == /etc/* ]] && continue
        [[ -e $f ]] && n=$((n + 1))
    done
    echo "$n"
}
"${as_root[@]}" dpkg -i "$deb" >"$work/dpkg.txt" 2>&1
check "dpkg -i installs the package" eval '[ "$(dpkg-query -W -f="\${Status} \${Version}" varnex)" = "install ok installed $version" ]'
check "the programs, the unit and the desktop entries are in place" [ "$(present)" = ${#files[@]} ]
check "the unit runs the installed keeper" grep -qx "ExecStart=/usr/bin/KVT-Keeper" \
    /usr/lib/systemd/user/VarnexService.service

# ---- a live stream from the installed programs
mkdir -p "$work/run" "$work/registry/HKEY_LOCAL_MACHINE/SOFTWARE" "$work/temp" "$work/cache"
chmod 700 "$work/run"
uid=4242
password=0123456789abcdef0123456789abcdef01234567
printf '%s %s\n' "$uid" "$password" >"$work/accounts.txt"
printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex]\n"UserName"=dword:%08x\n"Password"="%s"\n"CachePath"="%s"\n' \
    "$uid" "$password" "$work/cache" >"$work/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Varnex.reg"
export VARNEX_RUNTIME_DIR=$work/run VARNEX_REGISTRY_DIR=$work/registry TEMP=$work/temp TMP=$work/temp
qi_port=$(free_port)
setsid ./build/bin/varnex-qi-server -port="$qi_port" -accounts="$work/accounts.txt" -duration=8 \
    </dev/null >"$work/qi.log" 2>&1 &
pids+=($!)
wait_for "$work/qi.log" "QI server listening on port $qi_port" 100 || die "the QI server did not start"
port=$(free_port)
setsid /usr/bin/KVT-Marshal -port="$port" -host="127.0.0.1:$qi_port" </dev/null >"$work/marshal.log" 2>&1 &
pids+=($!)
check "the installed KVT-Marshal starts its fetcher and listens" \
    wait_for "$work/marshal.log" "Start listening on" 150
curl -s -m 15 -o "$work/live.ts" "http://127.0.0.1:$port/stream?cid=7"
say "live stream: $(stat -c %s "$work/live.ts" 2>/dev/null || echo 0) octets in 15 s"
has_video() {
    local streams
    streams=$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 "$1" 2>/dev/null)
    [[ $streams == *video* ]]
}
check "the installed programs serve a live stream" has_video "$work/live.ts"
for pid in "${pids[@]}"; do kill -- "-$pid" 2>/dev/null; done
wait 2>/dev/null
pids=()

# ---- the version varnex-update compares is the package's
printf '%s\n' "$version" >"$work/same.txt"
printf '%s.1\n' "$version" >"$work/newer.txt"
/usr/bin/varnex-update -source="$work/same.txt" >/dev/null 2>&1
same=$?
/usr/bin/varnex-update -source="$work/newer.txt" >/dev/null 2>&1
newer=$?
check "varnex-update takes $version as installed" eval '[ "$same" = 0 ] && [ "$newer" = 1 ]'

# ---- an upgrade to a next version (the same build packed as VERSION.1), then removed
(cd build && cpack -G DEB -D CPACK_PACKAGE_VERSION="$version.1" -B "$work/next" >/dev/null) ||
    die "packing the next version failed"
"${as_root[@]}" dpkg -i "$work/next/varnex_$version.1_"*.deb >>"$work/dpkg.txt" 2>&1
check "an upgrade to $version.1" eval '[ "$(dpkg-query -W -f="\${Version}" varnex)" = "$version.1" ] && [ "$(present)" = ${#files[@]} ]'
"${as_root[@]}" dpkg -r varnex >>"$work/dpkg.txt" 2>&1
check "dpkg -r removes the programs and the unit" [ "$(present no-etc)" = 0 ]
"${as_root[@]}" dpkg -P varnex >>"$work/dpkg.txt" 2>&1
check "dpkg -P removes the rest" eval '[ "$(present)" = 0 ] && ! dpkg-query -W varnex >/dev/null 2>&1'

if ((failed)); then
    say "dpkg said:"
    cat "$work/dpkg.txt"
    say "the end of the supervisor's log:"
    tail -n 20 "$work/marshal.log"
fi
printf '%d passed, %d failed\n' "$passed" "$failed"
((failed == 0))
