#!/usr/bin/env bash
# Watches one live address with one player for a number of seconds, as a viewer
# would, and prints what it saw on one line:
#   RESULT player=P first_frame_ms=N decoded_s=S stalls=N errors=N long_stalls=N skips=N
# first_frame_ms: from the player's launch to its first decoded video frame;
# decoded_s: seconds of video decoded; stalls: pauses of more than 1 s a viewer
# playing from the first frame on would have met, long_stalls those of more than
# 2 s; errors: lines reporting a timestamp jump or a corrupt packet, each also
# printed as "ERROR <line>"; skips: lines reporting segments skipped or the
# position jumping ahead, each also printed as "SKIP <line>".
# "-" marks a figure the player does not give.
#
#   watch.sh ffmpeg|mpv|vlc|chromium URL SECONDS [LIMIT_SECONDS]
# VLC runs as the user varnex-player (it refuses root), made here when missing.
# Chromium runs headless through puppeteer-core with mpegts.js (an address with
# /stream) or hls.js (/hls); NODE_MODULES names the folder holding the three.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
player=$1 url=$2 seconds=$3 limit=${4:-$(($3 + 30))}

# Lines that mean a timestamp jump or a corrupt packet.
error_pattern='corrupt (input )?packet|packet corrupt|discontinuit|non.monoton|out of order|timestamp|PCR'
# Lines that mean content was skipped: ffmpeg's and mpv's HLS reader, and the
# browser's position jumping ahead.
skip_pattern='segments ahead|expired from playlist|^jump '

now_ms() { local t=${EPOCHREALTIME/./}; echo $((t / 1000)); }
start=$(now_ms)
# Each output line as "<ms since launch> <line>".
stamp() { while IFS= read -r line; do echo "$(($(now_ms) - start)) $line"; done; }

out=$(mktemp)
trap 'rm -f "$out"' EXIT
case $player in
ffmpeg)
    timeout -s INT "$limit" ffmpeg -nostdin -hide_banner -loglevel warning -nostats \
        -stats_period 0.2 -progress pipe:1 -i "$url" -t "$seconds" -f null - 2>&1 | stamp >"$out"
    # The first frame, the decoded seconds and the stalls of a viewer who starts
    # watching at the first frame: content behind that viewer's clock is a stall.
    read -r first decoded stalls long_stalls < <(awk '
        $2 ~ /^frame=/ { split($2, f, "="); frames = f[2] }
        $2 ~ /^out_time_us=/ {
            split($2, t, "="); c = t[2] / 1e6
            if (frames > 0 && first == "") { first = $1; w0 = $1; c0 = c; behind = 0 }
            if (first == "") next
            late = ($1 - w0) / 1000 - (c - c0) - lost
            if (late > 0) { behind += late; lost += late } else if (behind > 0) {
                if (behind > 1) stalls++; if (behind > 2) long_stalls++; behind = 0 }
            decoded = c - c0 }
        END { if (behind > 1) stalls++; if (behind > 2) long_stalls++
              printf "%s %.1f %d %d\n", first == "" ? "-" : first, decoded, stalls, long_stalls }' "$out")
    ;;
mpv)
    timeout -s INT "$limit" mpv --no-config --really-quiet --msg-level=all=warn,watch=info \
        --vo=null --ao=null --length="$seconds" --script="$here/watch.lua" "$url" 2>&1 |
        stamp >"$out"
    read -r first decoded stalls long_stalls < <(awk '
        / \[watch\] first-frame/ && first == "" { first = $1 }
        / \[watch\] time-pos / { if (p0 == "") p0 = $NF; decoded = $NF - p0 }
        / \[watch\] paused-for-cache yes/ { since = $1 }
        / \[watch\] paused-for-cache no/ && since != "" {
            if ($1 - since > 1000) stalls++; if ($1 - since > 2000) long_stalls++; since = "" }
        END { printf "%s %.1f %d %d\n", first == "" ? "-" : first, decoded, stalls, long_stalls }' "$out")
    ;;
vlc)
    id varnex-player >/dev/null 2>&1 || useradd -M -r -s /usr/sbin/nologin varnex-player
    runas=()
    [[ $(id -u) -eq 0 ]] && runas=(runuser -u varnex-player --)
    timeout -s INT "$limit" "${runas[@]}" cvlc -I dummy -vv --vout=dummy --aout=dummy \
        --no-video-title-show --run-time="$seconds" "$url" vlc://quit 2>&1 | stamp >"$out"
    first=$(awk '/Received first picture/ { print $1; exit }' "$out")
    # After the first picture, every new buffering of the input is a stall: VLC
    # reports how long it took ("Stream buffering done (N ms in M ms)").
    # A PCR that comes too late makes VLC raise its clock delay ("pts_delay increased
    # to N ms"), holding the picture for the difference: a stall of that length.
    read -r stalls long_stalls < <(awk '
        /Received first picture/ { shown = 1 }
        shown && /Stream buffering done/ { m = $0; sub(/.* in /, "", m); m += 0
            if (m > 1000) stalls++; if (m > 2000) long_stalls++ }
        /pts_delay increased to/ { d = $0; sub(/.*increased to /, "", d); d += 0
            if (d - delay > 1000) stalls++; if (d - delay > 2000) long_stalls++; delay = d }
        END { printf "%d %d\n", stalls, long_stalls }' "$out")
    first=${first:--} decoded=-
    ;;
chromium)
    timeout -s INT "$limit" node "$here/watch-browser.js" "$url" "$seconds" 2>&1 | stamp >"$out"
    read -r first decoded stalls long_stalls < <(awk '
        $2 == "first-frame" && first == "" { first = $1 }
        / decoded / { decoded = $NF }
        $2 == "stall" { stalls++; if ($3 > 2000) long_stalls++ }
        END { printf "%s %.1f %d %d\n", first == "" ? "-" : first, decoded, stalls, long_stalls }' "$out")
    ;;
*)
    echo "watch.sh: unknown player '$player'" >&2
    exit 2
    ;;
esac
errors=0
while IFS= read -r line; do
    echo "ERROR $line"
    errors=$((errors + 1))
done < <(cut -d' ' -f2- "$out" | grep -iE "$error_pattern" | grep -vE '^(time|out_time|progress|frame)' |
    grep -vE ' debug: |pts_delay increased to')
skips=0
while IFS= read -r line; do
    echo "SKIP $line"
    skips=$((skips + 1))
done < <(cut -d' ' -f2- "$out" | grep -iE "$skip_pattern")
# The browser players' own error reports, for a look afterwards.
cut -d' ' -f2- "$out" | grep '^player-error' | sed 's/^/NOTE /'
[[ -n ${WATCH_LOG:-} ]] && cp "$out" "$WATCH_LOG"
# Without a picture, the player's last lines tell why.
[[ $first == - ]] && grep -v ' debug: ' "$out" | tail -n 25 | sed 's/^/LOG /'
echo "RESULT player=$player first_frame_ms=$first decoded_s=$decoded stalls=$stalls errors=$errors long_stalls=$long_stalls skips=$skips"
