# The installer's part of scripts/test-windows.sh (sourced there; VARNEX_WINE_ONLY=installer
# runs it alone): an install whose -install step fails (undone), one over a
# ProgramData\Varnex of a wider list (refused under Wine), Varnex-Setup-VERSION-x64.exe /S
# into the run's private Wine prefix, an upgrade over it, Uninstall.exe /S, then an install
# and Uninstall.exe /S /ALL over links planted in the cache and ProgramData\Varnex.
# Uses the caller's wine, wineserver, check, sc_state, wait_state, wait_verify, free_port,
# winpath, work and qi_port.
#
# Wine 8 makes no junction or symbolic link (mklink /J fails, FSCTL_SET_REPARSE_POINT
# answers 50, CreateSymbolicLinkW is a stub); it shows a Unix symbolic link to a folder
# as a folder with FILE_ATTRIBUTE_REPARSE_POINT, so such links stand for junctions here.
# Wine keeps no access list of files or folders either: it reports one made from the
# Unix mode (the Wine user as owner, SYSTEM, Everyone for the "other" bits), sets that
# mode from the list given at creation, and changes nothing on SetNamedSecurityInfo.

installer_checks() {
    local version setup dir data menu iport rc
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-windows/CMakeCache.txt)
    setup=$repo/build-windows/Varnex-Setup-$version-x64.exe
    dir=$WINEPREFIX/drive_c/Program\ Files/Varnex
    data=$WINEPREFIX/drive_c/ProgramData/Varnex
    menu=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/Varnex
    [[ -f $setup ]] || die "no $setup"
    say "installer $setup"
    # A fresh Wine session without the tray part's X display and desktop.
    "$wineserver" -k 2>/dev/null
    "$wineserver" -w 2>/dev/null

    # The account stays, CachePath is the installer's to write.
    "$wine" reg delete 'HKLM\SOFTWARE\Varnex' /v CachePath /f >/dev/null 2>&1
    # A program kept running holds the prefix (and so the service) up between steps.
    cp build-windows/bin/windows_helper.exe "$work/" || die "cannot copy windows_helper.exe"
    (cd "$work" && exec "$wine" "$work/windows_helper.exe" sleep 900000 </dev/null >/dev/null 2>&1) &
    pids+=($!)
    whelper() { (cd "$work" && "$wine" "$work/windows_helper.exe" "$@" </dev/null | tr -d '\r'); }
    reg_value() { # key value: the data that reg query shows
        "$wine" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
            awk -v n="$2" '$1 == n { sub(/^ *[^ ]+ +REG_[A-Z_]+ +/, ""); print; exit }'
    }
    local key='HKLM\SOFTWARE\Varnex' run_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
    local programs=(KVT-Marshal.exe KVT-Relay.exe KVT-Cinema.exe KVT-Fetcher.exe KVT-Keeper.exe
        KVT-Panel.exe varnex-update.exe test-channel.ts icons/kvt-panel-107.ico Uninstall.exe)
    all_installed() {
        local p
        for p in "${programs[@]}"; do [[ -f $dir/$p ]] || {
            say "missing $dir/$p"
            return 1
        }; done
    }
    installed_runs() { # processes of this prefix started from the program folder
        local pid
        for pid in $(ls /proc | grep -E '^[0-9]+$'); do
            grep -qzx "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" 2>/dev/null &&
                tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qi 'Program Files.Varnex' &&
                echo "$pid $(tr '\0' ' ' <"/proc/$pid/cmdline")"
        done
    }

    local account
    account=$(reg_value "$key" UserName)
    local apps_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Varnex'
    nothing_left() { # no program, service, Apps entry, Run value, menu or Version
        local left=()
        [[ -e $dir ]] && left+=("$(ls "$dir" | tr '\n' ' ')in $dir")
        [[ -n $(sc_state) ]] && left+=("VarnexService $(sc_state)")
        "$wine" reg query "$apps_key" >/dev/null 2>&1 && left+=("the Apps entry")
        [[ -n $(reg_value "$run_key" KVT-Panel) ]] && left+=("the Run value")
        [[ -e $menu ]] && left+=("the menu")
        [[ -n $(reg_value "$key" Version) ]] && left+=("Version")
        [[ -n $(reg_value "$key" CachePath) ]] && left+=("CachePath")
        ((${#left[@]} == 0)) && return 0
        say "left behind: ${left[*]}"
        return 1
    }
    # The owner and access list of the folder (SDDL, windows_helper.exe access file):
    # the owner and every entry SYSTEM, the administrators or the owner itself when it
    # is an account (S-1-5-21-...: Wine's user), no other SID; at least one entry.
    data_access_ok() {
        local text owner sid n=0
        text=$(whelper access file 'C:\ProgramData\Varnex')
        say "C:\ProgramData\Varnex: $text (mode $(stat -c %a "$data"))"
        [[ $text =~ ^O:([^D]*)D: ]] || return 1
        owner=${BASH_REMATCH[1]}
        [[ $owner == SY || $owner == BA || $owner == S-1-5-21-* ]] || return 1
        for sid in $(grep -o ';[^;()]*)' <<<"$text" | tr -d ';)'); do
            [[ $sid == SY || $sid == BA || $sid == "$owner" ]] || return 1
            n=$((n + 1))
        done
        ((n > 0))
    }

    # 1. An install whose KVT-Keeper.exe -install records the service and then fails
    # (windows_helper.exe -install in its place) undoes itself: nothing stays behind.
    local stub=$work/stub-bin failing=$work/Varnex-Setup-failing.exe
    mkdir -p "$stub" && cp build-windows/bin/*.exe build-windows/bin/test-channel.ts "$stub/" &&
        cp build-windows/bin/windows_helper.exe "$stub/KVT-Keeper.exe" || die "cannot make $stub"
    makensis -V1 -DVERSION="$version" -DBIN="$stub" -DICONS="$repo/panel/icons" -DOUT="$failing" \
        "$repo/packaging/windows/varnex.nsi" >"$work/makensis-failing.out" 2>&1 ||
        die "makensis of the failing installer failed"
    "$wine" "$failing" /S </dev/null >"$work/setup-failing.out" 2>&1
    rc=$?
    check "an install whose -install step fails ends with 2" [ "$rc" = 2 ]
    check "the failing -install step had recorded the service" \
        grep -qF "Setting the access of VarnexService -> 1060" "$data/install.log"
    check "the failed install leaves no program, service, Apps entry, Run value or menu" nothing_left
    check "install.log tells the install failed and was undone" \
        grep -qF "the install failed; what it had put in place was removed" "$data/install.log"
    check "the failed install keeps the account" [ "$(reg_value "$key" UserName)" = "$account" ]

    # 2. A ProgramData\Varnex that a user made first (Everyone may read it: Wine's
    # rendition of mode 0775), holding a hard link install.log to a file of another's.
    # Windows repairs its list; Wine cannot set it, so the installer refuses the folder,
    # writes nothing through it and undoes its run.
    rm -rf "$data"
    mkdir -m 0775 "$data" && printf 'keep me\n' >"$work/precious" && ln "$work/precious" "$data/install.log" ||
        die "cannot plant $data"
    "$wine" "$setup" /S </dev/null >"$work/setup-wide.out" 2>&1
    rc=$?
    check "a ProgramData\\Varnex of a wider list that cannot be repaired is refused (exit 2)" [ "$rc" = 2 ]
    check "nothing is written through the refused folder's hard link" \
        eval '[ "$(cat "$work/precious")" = "keep me" ] && [ "$(stat -c %h "$work/precious")" = 2 ]'
    check "the refused install leaves nothing behind" nothing_left
    local temp_log
    temp_log=$(find "$WINEPREFIX/drive_c/users" -name Varnex-install.log 2>/dev/null | head -n1)
    check "the refusal is told in the administrator's Temp\\Varnex-install.log" \
        grep -qF 'C:\ProgramData\Varnex has the owner and access list' "$temp_log"
    rm -rf "$data"

    # The service's options are made before the install, as an administrator would:
    # the installer keeps an existing options file. Port and QI server are this run's.
    iport=$(free_port)
    mkdir -p "$dir" || die "cannot make $dir"
    printf -- '-marshal_args=-port=%s -host=127.0.0.1:%s\r\n' "$iport" "$qi_port" >"$dir/KVT-Keeper.options"

    # 3. The install.
    local run_value
    "$wine" "$setup" /S </dev/null >"$work/setup.out" 2>&1
    rc=$?
    check "the silent install ends with 0" [ "$rc" = 0 ]
    check "the programs and icons are in Program Files\\Varnex" all_installed
    check "the installed VarnexService runs" wait_state RUNNING 150
    check "the installed supervisor answers /verify" wait_verify "$iport" 150
    check "the key holds Version $version" [ "$(reg_value "$key" Version)" = "$version" ]
    check "the key holds CachePath" [ "$(reg_value "$key" CachePath)" = 'C:\ProgramData\Varnex' ]
    run_value=$(reg_value "$run_key" KVT-Panel)
    say "the Run value KVT-Panel: $run_value"
    check "the Run value names the installed tray" [ "$run_value" = '"C:\Program Files\Varnex\KVT-Panel.exe"' ]
    check "the Start-menu entries" [ -f "$menu/Varnex Control Program.lnk" ]
    check "ProgramData\\Varnex: owner and entries SYSTEM, administrators or the owner only (read back)" \
        data_access_ok
    check "ProgramData\\Varnex: no access for group or others in Wine's mode" \
        eval '[ $(( 0$(stat -c %a "$data") & 07 )) = 0 ]'

    # The key's list: protected, SYSTEM and administrators all, interactive users the
    # value rights (0x3 reads back as CCDC), nobody else.
    local key_acl
    key_acl=$(whelper access key 'HKEY_LOCAL_MACHINE\SOFTWARE\Varnex')
    say "the key's access list: $key_acl"
    key_acl_ok() {
        [[ $key_acl == D:P* && $key_acl == *"(A;CI;KA;;;SY)"* && $key_acl == *"(A;CI;KA;;;BA)"* ]] &&
            [[ $key_acl == *"(A;CI;CCDC;;;IU)"* || $key_acl == *"(A;CI;0x3;;;IU)"* ]] &&
            [[ $(grep -o '(A;' <<<"$key_acl" | wc -l) == 3 ]]
    }
    check "the key's access list: interactive users query and set values, no one else but SYSTEM and administrators" key_acl_ok
    # The service's list. Wine keeps none (its QueryServiceObjectSecurity answers an
    # empty list, its SetServiceObjectSecurity does nothing), and its sc has no sdshow:
    # then the list KVT-Keeper.exe -install set is read from the installer's log.
    local service_acl iu_grant='(A;;CCLCSWRPWPLOCRRC;;;IU)'
    service_acl=$(whelper access service VarnexService)
    say "the service's access list: $service_acl"
    service_acl_ok() {
        [[ $service_acl == *"$iu_grant"* ]] && return 0
        say "(the manager returned no list: checking the one -install set, in ProgramData\\Varnex\\install.log)"
        grep -F "Access of VarnexService: D:" "$data/install.log" | grep -qF "$iu_grant"
    }
    check "the service grants interactive users start, stop and query" service_acl_ok

    # 4. An upgrade over it keeps the account and the limits. A hard link install.log
    # to another's file (planted from outside Wine) is not written through.
    printf 'keep me\n' >"$work/precious2"
    ln -f "$work/precious2" "$data/install.log" || die "cannot plant the hard link"
    "$wine" reg add "$key" /v uprate /t REG_DWORD /d 1000 /f >/dev/null 2>&1
    local password_before
    password_before=$(reg_value "$key" Password)
    "$wine" "$setup" /S </dev/null >"$work/setup2.out" 2>&1
    rc=$?
    check "the upgrade ends with 0" [ "$rc" = 0 ]
    check "after the upgrade VarnexService runs again" wait_state RUNNING 150
    check "after the upgrade the supervisor answers" wait_verify "$iport" 150
    check "the upgrade keeps the account and the limits" eval \
        '[ -n "$account" ] && [ "$(reg_value "$key" UserName)" = "$account" ] && [ "$(reg_value "$key" Password)" = "$password_before" ] && [ -n "$password_before" ] && [ "$(reg_value "$key" uprate)" = 0x3e8 ]'

    check "the upgrade writes install.log anew, not through its hard link" \
        eval '[ "$(cat "$work/precious2")" = "keep me" ] && [ "$(stat -c %h "$data/install.log")" = 1 ] && grep -qF "had 2 names: made anew" "$data/install.log"'
    check "the installed programs are seen running" eval '[ -n "$(installed_runs)" ]'

    # 5. The silent removal; the uninstaller runs from a copy of itself, so its end is
    # awaited through the folder.
    "$wine" "$dir/Uninstall.exe" /S </dev/null >"$work/uninstall.out" 2>&1
    gone() {
        local tenths=300
        while ((tenths-- > 0)) && [[ -e $dir ]]; do sleep 0.1; done
        [[ ! -e $dir ]]
    }
    check "the silent removal leaves no program file" gone
    check "no VarnexService is left" [ -z "$(sc_state)" ]
    check "nothing from the program folder runs" eval '[ -z "$(installed_runs)" ]'
    check "no Run value and no menu entries are left" \
        eval '[ -z "$(reg_value "$run_key" KVT-Panel)" ] && [ ! -e "$menu" ]'
    check "a silent removal keeps the account" \
        eval '[ "$(reg_value "$key" UserName)" = "$account" ] && [ -z "$(reg_value "$key" Version)" ]'
    # 6. Installed again, then removed with the cache and the account (/S /ALL) over
    # "junctions" (Unix links Wine shows as reparse points) in the cache and in
    # ProgramData\Varnex to a folder of another's holding cache-like names: their
    # targets stay whole; the cache's own files go, a file of another name stays.
    "$wine" "$setup" /S </dev/null >"$work/setup3.out" 2>&1
    rc=$?
    check "installed again, ends with 0" [ "$rc" = 0 ]
    wait_state RUNNING 150 && wait_verify "$iport" 150
    local target=$WINEPREFIX/drive_c/others
    mkdir -p "$target/sub" "$data/vcache" || die "cannot make $target"
    local f
    for f in 1---1.dat 5.avi sub/2---2.dat notes.txt; do printf 'keep me\n' >"$target/$f"; done
    for f in 7---1.dat 900.avi notes.txt; do printf 'cache\n' >"$data/vcache/$f"; done
    ln -sfn "$target" "$data/vcache/jn"
    ln -sfn "$target" "$data/jx"
    ln -sfn "$target/sub" "$data/vcache/12---1.dat"
    whelper attributes 'C:\ProgramData\Varnex\vcache\jn' >"$work/attributes.out"
    check "Wine shows the planted link as a reparse point (attribute 0x400)" \
        eval '(( $(tr -d "\r" <"$work/attributes.out") & 0x400 ))'
    "$wine" "$dir/Uninstall.exe" /S /ALL </dev/null >"$work/uninstall2.out" 2>&1
    check "the removal with /ALL leaves no program file" gone
    targets_whole() {
        local f
        for f in 1---1.dat 5.avi sub/2---2.dat notes.txt; do
            [[ $(cat "$target/$f" 2>/dev/null) == "keep me" ]] || {
                say "$target/$f is gone"
                return 1
            }
        done
    }
    check "the removal follows no link: the junctions' targets are whole" targets_whole
    check "the cache's own chunk and movie files are removed, a file of another name stays" \
        eval '[ ! -e "$data/vcache/7---1.dat" ] && [ ! -e "$data/vcache/900.avi" ] && [ -f "$data/vcache/notes.txt" ]'
    check "the logs are removed" eval '[ ! -e "$data/keeper.log" ] && [ ! -e "$data/install.log" ]'
    check "/ALL removes the account" eval '! "$wine" reg query "$key" >/dev/null 2>&1'
    check "after /ALL nothing is left behind" nothing_left
}
