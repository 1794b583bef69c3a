# The installer's part of scripts/test-windows.sh (sourced there; VARNEX_WINE_ONLY=installer
# runs it alone): Varnex-Setup-VERSION-x64.exe /S into the run's private Wine prefix,
# an upgrade over it, then Uninstall.exe /S. Uses the caller's wine, wineserver, check,
# sc_state, wait_state, wait_verify, free_port, winpath, work and qi_port.

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

    # The service's options are made before the install, as an administrator would:
    # the installer keeps an existing options file. Port and QI server are this run's.
    iport=$(free_port)
    mkdir -p "$dir" || die "cannot make $dir"
    printf -- '-marshal_args=-port=%s -host=127.0.0.1:%s\r\n' "$iport" "$qi_port" >"$dir/KVT-Keeper.options"
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

    local account run_value
    account=$(reg_value "$key" UserName)
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

    # An upgrade over it keeps the account and the limits.
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

    check "the installed programs are seen running" eval '[ -n "$(installed_runs)" ]'

    # The silent removal; the uninstaller runs from a copy of itself, so its end is
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
}
