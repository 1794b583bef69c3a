#!/usr/bin/env bash
# Builds libtorrent-rasterbar as a static library for the Windows build (mingw-w64, the
# toolchain of the windows preset) from Debian's own source package, and installs it into
# BUILD/third_party/libtorrent/{include,lib} (BUILD: the first argument, build-windows/
# by default). Nothing is built when that prefix already holds the same version with the
# same settings (its stamp file).
#   - the source: `apt-get source libtorrent-rasterbar`, the version of the installed
#     Linux libtorrent-rasterbar-dev (else apt's candidate); a deb-src entry for the
#     suites that the machine's Debian entries use is added when apt has none;
#   - Boost: Debian's headers (Asio and System are header-only), through a folder that
#     holds only a link boost/: naming /usr/include would put the host's C library
#     headers before mingw-w64's;
#   - no OpenSSL (Debian has none for mingw-w64): encryption off; SHA-1 and SHA-256 then
#     come from Windows' CNG (bcrypt), as libtorrent does on Windows without a crypto
#     library; deprecated functions off, Release.
# The build runs under nice -n 19 with VARNEX_JOBS jobs (2 by default): about 17 minutes
# of CPU time, 9 minutes on 2 free cores. CCACHE_* and CMAKE_*_COMPILER_LAUNCHER are
# used as given.
# Exit code 0 when the library is there, 1 when the build failed, 2 on a set-up error.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
repo=$(pwd)

die() {
    printf 'build-libtorrent-mingw: error: %s\n' "$*" >&2
    exit "${2:-2}"
}
say() { printf 'build-libtorrent-mingw: %s\n' "$*"; }

build=${1:-$repo/build-windows}
mkdir -p "$build" || die "cannot make $build"
build=$(cd "$build" && pwd)
third=$build/third_party
prefix=$third/libtorrent
jobs=${VARNEX_JOBS:-2}
toolchain=$repo/cmake/mingw-w64-x86_64.cmake
package=libtorrent-rasterbar

as_root=()
[[ $(id -u) -eq 0 ]] || as_root=(sudo)
install_packages() {
    local p missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    "${as_root[@]}" apt-get update || return 1
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
}
# dpkg-dev unpacks the source package; libboost-dev gives the headers.
install_packages g++-mingw-w64-x86-64-posix cmake dpkg-dev libboost-dev ||
    die "installing the build's packages failed"

# ---- the source package's version

src_list=/etc/apt/sources.list.d/varnex-deb-src.sources
source_version() {
    apt-cache showsrc "$package" 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -n1
}
# Writes a deb-src entry for every Debian entry of the machine (deb822 stanzas and
# one-line entries alike), same addresses, suites and components, to its own file.
add_deb_src() {
    local tmp
    tmp=$(mktemp) || return 1
    {
        printf '# deb-src entries for the Debian suites of the other entries, for apt-get source\n'
        printf '# (scripts/build-libtorrent-mingw.sh of Varnex).\n'
        for f in /etc/apt/sources.list.d/*.sources; do
            [[ -f $f && $f != "$src_list" ]] || continue
            # A stanza ends at an empty line; only those of type deb from a Debian archive.
            awk 'function flush() {
                     if (stanza != "" && deb && debian) { printf "%s\n", stanza }
                     stanza = ""; deb = 0; debian = 0
                 }
                 /^[ \t]*$/ { flush(); next }
                 /^#/ { next }
                 /^Types:/ { if ($0 ~ /[ \t]deb([ \t]|$)/) deb = 1; stanza = stanza "Types: deb-src\n"; next }
                 /^URIs:/ { if ($0 ~ /debian/) debian = 1 }
                 { stanza = stanza $0 "\n" }
                 END { flush() }' "$f"
        done
        [[ -f /etc/apt/sources.list ]] &&
            awk '$1 == "deb" && $2 !~ /^\[/ && $2 ~ /debian/ {
                     printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents:", $2, $3
                     for (i = 4; i <= NF; i++) printf " %s", $i
                     printf "\n\n"
                 }' /etc/apt/sources.list
    } >"$tmp"
    grep -q '^Types: deb-src' "$tmp" || {
        rm -f "$tmp"
        return 1
    }
    "${as_root[@]}" install -m 644 "$tmp" "$src_list" && rm -f "$tmp" || return 1
    # Only the new entries' lists are fetched.
    "${as_root[@]}" apt-get update -o Dir::Etc::sourcelist="$src_list" -o Dir::Etc::sourceparts=- \
        -o APT::Get::List-Cleanup=0
}

version=$(dpkg-query -W -f='${source:Version}' libtorrent-rasterbar-dev 2>/dev/null)
[[ -n $version ]] || version=$(source_version)
settings="mingw-w64 $(x86_64-w64-mingw32-g++-posix -dumpversion) static Release encryption=OFF"
settings+=" deprecated-functions=OFF"
stamp=$prefix/varnex-stamp
if [[ -n $version && -f $prefix/lib/libtorrent-rasterbar.a &&
    $(cat "$stamp" 2>/dev/null) == "$package $version $settings" ]]; then
    say "$package $version is already built in $prefix"
    exit 0
fi

# ---- the source

if [[ -z $(source_version) ]]; then
    say "apt knows no source package $package: adding deb-src entries in $src_list"
    add_deb_src || die "cannot add deb-src entries for the machine's Debian suites"
fi
[[ -n $version ]] || version=$(source_version)
[[ -n $version ]] || die "apt knows no source package $package"
src=$third/libtorrent-src
rm -rf "$src" "$prefix" "$third/libtorrent-build" || die "cannot clear $third"
mkdir -p "$src" || die "cannot make $src"
say "fetching the source package $package $version"
(cd "$src" && apt-get source --only-source "$package=$version" >"$src/apt-get-source.log" 2>&1) || {
    tail -n 20 "$src/apt-get-source.log" >&2
    die "apt-get source $package=$version failed"
}
upstream=${version#*:}
upstream=${upstream%-*}
tree=$src/$package-$upstream
[[ -f $tree/CMakeLists.txt ]] || die "no $tree/CMakeLists.txt after apt-get source"

# ---- Boost through a folder that holds only boost/

boost=$third/boost-include
[[ -f /usr/include/boost/version.hpp ]] || die "Debian's Boost headers are not in /usr/include/boost"
mkdir -p "$boost" && ln -sfn /usr/include/boost "$boost/boost" || die "cannot make $boost"

# ---- configure, build, install

lt_build=$third/libtorrent-build
say "building $package $version for x86_64-w64-mingw32 with $jobs jobs (about 9 minutes on 2 free cores)"
started=$(date +%s)
nice -n 19 cmake -S "$tree" -B "$lt_build" -G "Unix Makefiles" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF \
    -Dencryption=OFF \
    -Ddeprecated-functions=OFF \
    -Dpython-bindings=OFF \
    -Dbuild_tests=OFF \
    -Dbuild_examples=OFF \
    -Dbuild_tools=OFF \
    -DBoost_NO_BOOST_CMAKE=ON \
    -DBoost_INCLUDE_DIR="$boost" \
    >"$third/libtorrent-configure.log" 2>&1 || {
    tail -n 30 "$third/libtorrent-configure.log" >&2
    die "configuring $package failed" 1
}
nice -n 19 cmake --build "$lt_build" -j "$jobs" >"$third/libtorrent-build.log" 2>&1 || {
    grep -m 20 -B 2 -A 8 'error' "$third/libtorrent-build.log" >&2
    die "building $package failed (the whole log: $third/libtorrent-build.log)" 1
}
cmake --install "$lt_build" >"$third/libtorrent-install.log" 2>&1 || die "installing $package failed" 1
[[ -f $prefix/lib/libtorrent-rasterbar.a ]] || die "no $prefix/lib/libtorrent-rasterbar.a after the install" 1
printf '%s\n' "$package $version $settings" >"$stamp"
say "built $package $version in $(($(date +%s) - started)) s: $prefix/lib/libtorrent-rasterbar.a," \
    "$(stat -c %s "$prefix/lib/libtorrent-rasterbar.a") octets"
