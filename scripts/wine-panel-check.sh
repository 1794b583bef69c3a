# KVT-Panel.exe on a Wine desktop under Xvfb; sourced by scripts/test-windows.sh, whose
# helpers (say, check, die, wait_for, winpath, sc_state, wait_state, wait_verify) and
# variables (wine, wineserver, work, qi_port, repo) it uses.
#
# The tray runs inside "wine explorer /desktop=shell,1024x768", whose taskbar holds
# the notification area. The checks drive it as a user would, with xdotool: a right
# click on the icon, a left click on a menu item (found from the menu window's
# geometry), clicks and typing into the dialogs (positions from their dialog units).
# Screenshots go to build-windows/test-output/panel_wine/.

panel_checks() {
    local shots=$repo/build-windows/test-output/panel_wine
    rm -rf "$shots"
    mkdir -p "$shots" || die "cannot make $shots"

    # A fresh Wine session for the X display: the earlier parts ran without one.
    "$wineserver" -k 2>/dev/null
    "$wineserver" -w 2>/dev/null

    local pbin=$work/panel
    mkdir -p "$pbin" || die "cannot make $pbin"
    cp build-windows/bin/KVT-Panel.exe build-windows/bin/KVT-Keeper.exe build-windows/bin/KVT-Marshal.exe \
        build-windows/bin/KVT-Fetcher.exe build-windows/bin/varnex-update.exe "$pbin/" ||
        die "cannot copy the tray's programs"
    local keeper_port panel_log=$work/panel.log keeper_log=$work/panel-keeper.log
    keeper_port=$(free_port)
    printf -- '-marshal_args=-port=%s -host=127.0.0.1:%s\r\n-log=%s\r\n' "$keeper_port" "$qi_port" \
        "$(winpath "$keeper_log")" >"$pbin/KVT-Keeper.options"
    printf '2.7.1-wine\n' >"$work/newest-version.txt"
    printf -- '-host=127.0.0.1:%s\r\n-source=%s\r\n' "$qi_port" "$(winpath "$work/newest-version.txt")" \
        >"$pbin/varnex-update.options"
    # The cache that Clear Cache empties: vcache in the tray's TEMP folder.
    local temp_win vcache
    temp_win=$("$wine" cmd /c 'echo %TEMP%' 2>/dev/null | tr -d '\r')
    vcache=$("$wine" winepath -u "$temp_win" 2>/dev/null | tr -d '\r')/vcache
    mkdir -p "$vcache" && touch "$vcache/7---1.dat" "$vcache/7---2.dat" "$vcache/keep.txt" ||
        die "cannot fill the cache folder $vcache"
    "$wine" reg add 'HKLM\SOFTWARE\Varnex' /v Version /t REG_SZ /d 2.7.1-wine /f >/dev/null 2>&1 ||
        die "cannot write Version"

    # The X server on a display it picks itself, as large as the Wine desktop.
    exec {xfd}>"$work/xvfb.display"
    Xvfb -displayfd "$xfd" -screen 0 1024x768x24 -nolisten tcp </dev/null >"$work/xvfb.log" 2>&1 &
    pids+=($!)
    exec {xfd}>&-
    local tenths=100
    while ((tenths-- > 0)) && [[ ! -s $work/xvfb.display ]]; do sleep 0.1; done
    [[ -s $work/xvfb.display ]] || die "Xvfb did not start"
    export DISPLAY=:$(head -n1 "$work/xvfb.display")
    say "Xvfb on $DISPLAY"

    (cd "$pbin" && exec "$wine" explorer /desktop=shell,1024x768 "$pbin/KVT-Panel.exe" \
        </dev/null >>"$panel_log" 2>&1) &
    pids+=($!)

    # ---- helpers on the X side

    # Geometry "w h x y" of the first window whose xwininfo line matches the pattern.
    window_geometry() {
        xwininfo -root -tree 2>/dev/null | grep -E -- "$1" | grep -vE ' 1x1\+' |
            sed -n 's/.* \([0-9]*\)x\([0-9]*\)+\(-*[0-9]*\)+\(-*[0-9]*\) .*/\1 \2 \3 \4/p' | head -n1
    }
    wait_window() { # pattern tenths: prints the geometry once the window is there
        local t=$2 g
        while ((t-- > 0)); do
            g=$(window_geometry "$1")
            [[ -n $g ]] && {
                echo "$g"
                return 0
            }
            sleep 0.1
        done
        return 1
    }
    gone_window() { # pattern tenths
        local t=$2
        while ((t-- > 0)); do
            [[ -z $(window_geometry "$1") ]] && return 0
            sleep 0.1
        done
        return 1
    }
    shot() { import -window root "$shots/$1.png" 2>/dev/null; }
    # The taskbar: the explorer's window as wide as the desktop and lower than 40 pixels.
    local taskbar icon_x=0 icon_y=0
    find_icon() {
        local t=300 w h x y
        while ((t-- > 0)); do
            taskbar=$(xwininfo -root -tree 2>/dev/null | grep -F '("explorer.exe"' |
                sed -n 's/.* \(1024\)x\([0-9]\{2\}\)+\([0-9]*\)+\([0-9]*\) .*/\1 \2 \3 \4/p' | head -n1)
            if [[ -n $taskbar ]]; then
                read -r w h x y <<<"$taskbar"
                # The first notification icon sits at the right end (20 pixels a slot).
                icon_x=$((x + w - 10)) icon_y=$((y + h / 2))
                # The icon is drawn once the slot holds more than the bar's own colours.
                local colours
                colours=$(import -window root png:- 2>/dev/null |
                    convert - -crop "16x16+$((icon_x - 8))+$((icon_y - 8))" -format %k info: 2>/dev/null)
                ((${colours:-0} > 4)) && return 0
            fi
            sleep 0.1
        done
        return 1
    }
    menu_pattern='\(has no name\): \("kvt-panel.exe"'
    open_menu() { # right click on the icon until the menu is up (twice at most)
        local try
        for try in 1 2; do
            xdotool mousemove "$icon_x" "$icon_y" sleep 0.2 click 3
            # Away from the icon, so that its tip does not cover the menu.
            menu=$(wait_window "$menu_pattern" 50) && xdotool mousemove 400 200 && return 0
            xdotool key Escape
        done
        return 1
    }
    # Clicks item i (0-based, separators counted) of the open menu: its items are
    # 12 rows, four of them separators (9 pixels) in the places panel_build_menu gives.
    click_item() {
        local w h x y ih top i
        read -r w h x y <<<"$menu"
        ih=$(((h - 6 - 4 * 9) / 8))
        top=$((y + 3))
        for ((i = 0; i < $1; i++)); do
            case $i in 1 | 5 | 8 | 10) top=$((top + 9)) ;; *) top=$((top + ih)) ;; esac
        done
        xdotool mousemove $((x + w / 2)) $((top + ih / 2)) sleep 0.3 click 1 sleep 0.2 mousemove 400 200
        gone_window "$menu_pattern" 50
    }
    menu_command() { open_menu && click_item "$1"; }
    # The dialog's geometry in $dialog; a point given in dialog units (of a template
    # du_w x du_h) in pixels: MS Shell Dlg 8 gives 7/4 pixels a unit across and 13/8
    # down, so the vertical scale is 13/14 of the horizontal one.
    du_point() { # du_w du_h x y
        local w h x y
        read -r w h x y <<<"$dialog"
        awk -v w="$w" -v h="$h" -v x="$x" -v y="$y" -v dw="$1" -v dh="$2" -v ux="$3" -v uy="$4" 'BEGIN {
            sx = (w - 6) / dw; sy = sx * 13 / 14; top = y + h - 3 - dh * sy
            printf "%d %d\n", x + 3 + ux * sx, top + uy * sy }'
    }
    du_click() { # du_w du_h x y
        local px py
        read -r px py <<<"$(du_point "$@")"
        xdotool mousemove "$px" "$py" sleep 0.2 click 1 sleep 0.2
    }
    type_field() { # du_w du_h cx cy text: replaces the field's text
        du_click "$1" "$2" "$3" "$4"
        xdotool key --delay 20 End $(printf 'BackSpace %.0s' $(seq 20))
        xdotool type --delay 40 -- "$5"
    }
    reg_value() { # name: the data of the value in HKLM\SOFTWARE\Varnex
        "$wine" reg query 'HKLM\SOFTWARE\Varnex' /v "$1" 2>/dev/null | tr -d '\r' |
            sed -n "s/^ *$1 *REG_[A-Z]* *//p"
    }
    balloon_shown() { # text: logged by the tray, then its window on the desktop
        wait_for "$panel_log" "Balloon: $1" 150 || return 1
        # The notification area shows a balloon a moment after it is asked to.
        wait_window '\(has no name\): \("explorer.exe".* [0-9]{3}x([3-9][0-9]|[0-9]{3})\+' 60 >/dev/null ||
            return 1
        sleep 2
    }
    starts() { grep -c "Started KVT-Marshal" "$keeper_log" 2>/dev/null || true; }
    traced_after() { # line: the supervisor wrote trace lines after that line of the log
        local after
        after=$(tail -n +"$1" "$keeper_log")
        grep -qE '\[[^]]*\\[0-9]+\] ' <<<"$after"
    }

    # ---- the checks

    gui_program() { # (the whole output first: grep -q could end objdump early with SIGPIPE)
        local headers
        headers=$(x86_64-w64-mingw32-objdump -p "$pbin/KVT-Panel.exe")
        grep -qE '^Subsystem.*Windows GUI' <<<"$headers"
    }
    check "KVT-Panel.exe is a GUI program (no console)" gui_program
    check "KVT-Panel.exe puts its icon into the notification area" find_icon
    shot icon
    # Explorer restarted: the new taskbar has lost the icon and broadcasts
    # TaskbarCreated; the tray adds its icon again.
    local icon_id helper_exe=$repo/build-windows/bin/windows_helper.exe
    icon_id=$(sed -n 's/.*icon\.id = \([0-9]*\);.*/\1/p' "$repo/panel/startup.cpp")
    icon_absent() { # the icon's slot holds only the bar's own colours
        local t=100 colours
        while ((t-- > 0)); do
            colours=$(import -window root png:- 2>/dev/null |
                convert - -crop "16x16+$((icon_x - 8))+$((icon_y - 8))" -format %k info: 2>/dev/null)
            ((${colours:-99} <= 4)) && return 0
            sleep 0.1
        done
        return 1
    }
    taskbar_restart() {
        "$wine" "$helper_exe" tray-delete shell "Varnex CP" "$icon_id" || {
            say "windows_helper.exe tray-delete -> $?"
            return 1
        }
        icon_absent || {
            say "the icon is still drawn after its deletion"
            return 1
        }
        "$wine" "$helper_exe" broadcast shell TaskbarCreated || {
            say "windows_helper.exe broadcast -> $?"
            return 1
        }
        wait_for "$panel_log" "The taskbar was made again: adding the icon again" 100 && find_icon
    }
    check "TaskbarCreated (Explorer restarted, the icon lost) brings the icon back" taskbar_restart
    shot icon-again
    check "a right click on the icon opens the menu" open_menu
    local expected="Menu: About | - | Start | Check for Updates | Set UID, Password | - | Clear Cache | Trace On | - | Set Limits | - | Exit"
    check "the menu holds the items in order (service stopped, tracing off)" \
        wait_for "$panel_log" "$expected" 50
    sleep 0.5
    shot menu
    (cd "$pbin" && timeout 60 "$wine" "$pbin/KVT-Panel.exe" </dev/null >"$work/panel-second.out" 2>&1)
    local rc=$?
    check "a second KVT-Panel.exe ends with exit code 3" [ "$rc" = 3 ]
    click_item 0 # About
    check "About shows the installed version in a balloon" \
        balloon_shown "Varnex Swarm Node, Version: 2.7.1-wine"
    shot balloon-about

    menu_command 3 # Check for Updates
    check "Check for Updates runs varnex-update.exe: no newer version, its balloon" \
        wait_for "$panel_log" "Balloon: You already have the latest version of Varnex" 150
    menu_command 6 # Clear Cache
    check "Clear Cache deletes the chunk files of the cache, nothing else" \
        eval 'wait_for "$panel_log" "Balloon: Cache has been cleared" 100 && [ ! -e "$vcache/7---1.dat" ] &&
              [ ! -e "$vcache/7---2.dat" ] && [ -e "$vcache/keep.txt" ]'

    # Start before the service is installed: the manager knows no such service.
    menu_command 2 # Start
    check "Start of a service the manager does not know logs OpenSCManager(VarnexService)" \
        wait_for "$panel_log" "%UTILS-F: OpenSCManager(VarnexService) -> 1060" 100
    (cd "$pbin" && "$wine" "$pbin/KVT-Keeper.exe" -install </dev/null >"$work/panel-install.out" 2>&1)
    wait_state STOPPED 100 || die "VarnexService could not be installed for the tray"

    menu_command 2 # Start
    check "Start reaches the service: sc query shows it RUNNING" wait_state RUNNING 200
    check "the tray shows the balloon of Start" wait_for "$panel_log" "Balloon: Starting Varnex Swarm Node ..." 50
    check "a balloon from the running supervisor shows its text" \
        balloon_shown "Varnex SwarmNode is Up & Running"
    shot balloon-supervisor
    check "the service's supervisor answers" wait_verify "$keeper_port" 150

    open_menu
    check "with the service running the menu offers Stop" \
        wait_for "$panel_log" "Menu: About | - | Stop | Check for Updates" 50
    click_item 2 # Stop
    check "Stop reaches the service: sc query shows it STOPPED" wait_state STOPPED 200
    check "the tray shows the balloon of Stop" wait_for "$panel_log" "Balloon: Stoping Varnex Swarm Node ..." 50

    local before
    before=$(($(wc -l <"$keeper_log") + 1))
    menu_command 7 # Trace On: restarts the service
    check "Trace On restarts the service" wait_state RUNNING 250
    check "the tray shows the balloon of Trace On" wait_for "$panel_log" "Balloon: Tracing has been switched on" 50
    check "the restarted service runs its supervisor with -trace" \
        eval 'wait_verify "$keeper_port" 150 && grep "Started KVT-Marshal" "$keeper_log" | tail -n1 | grep -q -- " -trace"'
    check "the supervisor then writes trace lines" traced_after "$before"

    # Dialog 130: three limits typed, OK writes them and restarts the service.
    menu_command 9 # Set Limits
    dialog=$(wait_window '"Set Limits": \("kvt-panel.exe"' 100)
    check "Set Limits opens dialog 130" [ -n "$dialog" ]
    if [[ -n $dialog ]]; then
        type_field 280 135 184 22 64000
        type_field 280 135 185 39 128000
        type_field 280 135 161 62 -5
        sleep 0.5
        shot dialog-limits
        local n
        n=$(starts)
        du_click 280 135 168 102 # OK
        check "OK in Set Limits writes uprate, downrate, maxpeers" \
            eval 'gone_window "\"Set Limits\"" 50 && [ "$(reg_value uprate)" = 0xfa00 ] &&
                  [ "$(reg_value downrate)" = 0x1f400 ] && [ "$(reg_value maxpeers)" = 0xfffffffb ]'
        check "and the service restarts with the new settings" \
            eval 'wait_for_count "$keeper_log" "Started KVT-Marshal" $((n + 1)) 250 && wait_state RUNNING 100'
    fi

    # Dialog 129: the stored account shown; a new one typed, OK runs varnex-update.exe -auth.
    menu_command 4 # Set UID, Password
    dialog=$(wait_window '"Set Varnex Account information": \("kvt-panel.exe"' 100)
    check "Set UID, Password opens dialog 129" [ -n "$dialog" ]
    if [[ -n $dialog ]]; then
        sleep 0.5
        shot dialog-account
        type_field 295 108 165 30 "$panel_uid"
        type_field 295 108 164 48 "$panel_password"
        sleep 0.3
        shot dialog-account-typed
        n=$(starts)
        du_click 295 108 130 94 # OK
        check "OK runs varnex-update.exe -auth with the typed login" \
            wait_for "$panel_log" "varnex-update.exe\" -auth -login=$panel_uid -pass=********" 150
        check "the update program stored the account in the registry" \
            eval 'gone_window "\"Set Varnex Account" 200 && [ "$(reg_value UserName)" = "$(printf 0x%x "$panel_uid")" ] &&
                  [ "$(reg_value Password)" = "$panel_password_stored" ]'
        check "and the service restarts with the new account" \
            eval 'wait_for_count "$keeper_log" "Started KVT-Marshal" $((n + 1)) 250 && wait_state RUNNING 100'
    fi

    menu_command 11 # Exit
    check "Exit removes the icon and ends KVT-Panel.exe" gone_window '"Varnex CP": \("kvt-panel.exe"' 100
    shot after-exit
    (cd "$pbin" && "$wine" "$pbin/KVT-Keeper.exe" -uninstall </dev/null >/dev/null 2>&1)
    say "screenshots: $(cd "$shots" && echo *.png)"
    unset DISPLAY
}
