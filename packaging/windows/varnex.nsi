; The Varnex installer for 64-bit Windows, for the whole machine; /S runs it silently.
; makensis -DVERSION=1.0.0 -DBIN=<build-windows/bin> -DICONS=<panel/icons> -DOUT=<setup.exe>
;
; It installs the programs into Program Files\Varnex, writes Version and CachePath
; into HKLM\SOFTWARE\Varnex (the account and the limits there are never touched),
; records and starts the service VarnexService through KVT-Keeper.exe -install (which
; also gives interactive users start, stop and query rights on it and the key's
; access list), starts the tray at every user's logon (the machine's Run key) and
; adds Start-menu entries. An upgrade is the same run over an installed version.
; ProgramData\Varnex is made with a protected access list (data_folder.nsh). The
; uninstaller and the Apps entry are written first; a step that fails removes what
; the run put in place, the service's record included, before the installer ends with
; exit code 2. Nothing is removed through a link (no_links.nsh).

Unicode true
Target amd64-unicode
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include FileFunc.nsh

!define KEY "SOFTWARE\Varnex"
!define RUN_KEY "SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
!define UNINSTALL_KEY "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Varnex"
!define SERVICE "VarnexService"
!define MENU "$SMPROGRAMS\Varnex"

!include no_links.nsh
!include data_folder.nsh
!insertmacro NO_LINKS ""
!insertmacro NO_LINKS "un."
!insertmacro NO_LINKS_REMOVAL "un."

Name "Varnex ${VERSION}"
OutFile "${OUT}"
InstallDir "$PROGRAMFILES64\Varnex"
Icon "${ICONS}/kvt-panel-107.ico"
UninstallIcon "${ICONS}/kvt-panel-107.ico"
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Waits up to 30 s until the service is neither running nor between states (stopped,
; or not recorded at all); its programs have ended then.
!macro WAIT_SERVICE_STOPPED un
; $R2 becomes 1 when the text $R0 holds $R1, else empty.
Function ${un}Contains
  StrLen $R3 $R1
  StrCpy $R4 0
  StrCpy $R2 ""
  ${Do}
    StrCpy $R5 $R0 $R3 $R4
    ${IfThen} $R5 == "" ${|} ${Break} ${|}
    ${If} $R5 == $R1
      StrCpy $R2 1
      ${Break}
    ${EndIf}
    IntOp $R4 $R4 + 1
  ${Loop}
FunctionEnd

Function ${un}WaitServiceStopped
  StrCpy $R6 0
  ${Do}
    nsExec::ExecToStack '"$SYSDIR\sc.exe" query ${SERVICE}'
    Pop $R0
    Pop $R0
    StrCpy $R1 "RUNNING"
    Call ${un}Contains
    ${If} $R2 == ""
      StrCpy $R1 "_PENDING"
      Call ${un}Contains
      ${IfThen} $R2 == "" ${|} ${Break} ${|}
    ${EndIf}
    Sleep 250
    IntOp $R6 $R6 + 1
  ${LoopUntil} $R6 >= 120
FunctionEnd
!macroend
!insertmacro WAIT_SERVICE_STOPPED ""
!insertmacro WAIT_SERVICE_STOPPED "un."

; Waits up to 30 s until the service is no longer recorded (sc query fails).
Function WaitServiceGone
  StrCpy $R6 0
  ${Do}
    nsExec::Exec '"$SYSDIR\sc.exe" query ${SERVICE}'
    Pop $R0
    ${IfThen} $R0 != 0 ${|} ${Break} ${|}
    Sleep 250
    IntOp $R6 $R6 + 1
  ${LoopUntil} $R6 >= 120
FunctionEnd

; Ends what may still run from the program folder: every user's tray and anything the
; service left behind.
!macro END_PROGRAMS
  nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM KVT-Panel.exe'
  nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM varnex-update.exe'
  nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM KVT-Relay.exe'
  nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM KVT-Cinema.exe'
  nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM KVT-Fetcher.exe'
  nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM KVT-Marshal.exe'
!macroend

Function .onInit
  SetRegView 64
  SetShellVarContext all ; $APPDATA is ProgramData, the menu the one of all users
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_OK|MB_ICONSTOP "Installing Varnex needs an administrator." /SD IDOK
    SetErrorLevel 740
    Quit
  ${EndIf}
FunctionEnd

Var MadeKeeperOptions ; 1 when this run wrote the file, so that undoing the run removes it
Var MadeUpdateOptions
Var MadeCachePath
Var RolledBack

; Undoes what this run put in place: the service's record, the programs, the options
; files and CachePath it wrote, Version, the Run value, the menu, the uninstaller and
; the Apps entry. An upgrade has replaced the earlier version's programs and record, so
; Varnex is then removed; the account, the limits and the cache stay for the next try.
Function RollBack
  ${IfThen} $RolledBack == 1 ${|} Return ${|}
  StrCpy $RolledBack 1
  DetailPrint "Removing what this run put in place"
  nsExec::Exec '"$SYSDIR\sc.exe" stop ${SERVICE}'
  Call WaitServiceStopped
  !insertmacro END_PROGRAMS
  nsExec::Exec '"$SYSDIR\sc.exe" delete ${SERVICE}'
  Call WaitServiceGone
  !insertmacro REMOVE_PROGRAMS
  ${IfThen} $MadeKeeperOptions == 1 ${|} Delete "$INSTDIR\KVT-Keeper.options" ${|}
  ${IfThen} $MadeUpdateOptions == 1 ${|} Delete "$INSTDIR\varnex-update.options" ${|}
  ${IfThen} $MadeCachePath == 1 ${|} DeleteRegValue HKLM "${KEY}" "CachePath" ${|}
  DeleteRegValue HKLM "${KEY}" "Version"
  DeleteRegKey /ifempty HKLM "${KEY}"
  Delete "$INSTDIR\Uninstall.exe"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  SetOutPath "$TEMP" ; the program folder is no longer the working folder, so it can go
  RMDir "$INSTDIR"
  nsExec::Exec '"$SYSDIR\sc.exe" query ${SERVICE}'
  Pop $0
  ${If} $0 == 0
    StrCpy $Report "$ReportVarnex ${VERSION}: the install failed; VarnexService could not be removed$\r$\n"
  ${Else}
    StrCpy $Report "$ReportVarnex ${VERSION}: the install failed; what it had put in place was removed$\r$\n"
  ${EndIf}
FunctionEnd

; A step failed: the run is undone, the reason kept in install.log, exit code 2.
!macro FAIL why
  DetailPrint "${why}"
  StrCpy $Report "$Report${why}$\r$\n"
  Call RollBack
  Call WriteReport
  SetErrorLevel 2
  Abort "${why}"
!macroend

Function .onInstFailed
  Call RollBack
  Call WriteReport
FunctionEnd

Section "Varnex"
  ; An upgrade: the service and the trays end before their files are replaced, and
  ; the service's record goes (wherever its program was), to be made anew below with
  ; this version's program and access lists.
  nsExec::Exec '"$SYSDIR\sc.exe" stop ${SERVICE}'
  Call WaitServiceStopped
  !insertmacro END_PROGRAMS
  nsExec::Exec '"$SYSDIR\sc.exe" delete ${SERVICE}'
  Call WaitServiceGone

  ; ProgramData\Varnex, protected, before anything is written into it.
  Call MakeDataFolder
  ${If} $DataProblem != ""
    !insertmacro FAIL "$DataProblem"
  ${EndIf}

  ; The way back out first: the uninstaller and the Apps entry.
  SetOutPath "$INSTDIR"
  ClearErrors
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Varnex"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Varnex"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\icons\kvt-panel-107.ico"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${If} ${Errors}
    !insertmacro FAIL "The uninstaller or the Apps entry could not be written."
  ${EndIf}

  ; A file that cannot be written is passed over with the error flag set (the silent
  ; answer to Abort/Retry/Ignore): the flag fails the run.
  File "${BIN}/KVT-Marshal.exe"
  File "${BIN}/KVT-Relay.exe"
  File "${BIN}/KVT-Cinema.exe"
  File "${BIN}/KVT-Fetcher.exe"
  File "${BIN}/KVT-Keeper.exe"
  File "${BIN}/KVT-Panel.exe"
  File "${BIN}/varnex-update.exe"
  File "${BIN}/test-channel.ts"
  SetOutPath "$INSTDIR\icons"
  File "${ICONS}/kvt-panel-107.ico"
  File "${ICONS}/kvt-panel-108.ico"
  SetOutPath "$INSTDIR"

  ; The options files: made once; an administrator's own settings survive an upgrade.
  ${IfNot} ${FileExists} "$INSTDIR\KVT-Keeper.options"
    StrCpy $MadeKeeperOptions 1
    FileOpen $0 "$INSTDIR\KVT-Keeper.options" w
    FileWrite $0 "! Options of the service VarnexService, one a line (e.g. -marshal_args=-port=6689)$\r$\n"
    FileWrite $0 "-log=$APPDATA\Varnex\keeper.log$\r$\n"
    FileClose $0
  ${EndIf}
  ${IfNot} ${FileExists} "$INSTDIR\varnex-update.options"
    StrCpy $MadeUpdateOptions 1
    FileOpen $0 "$INSTDIR\varnex-update.options" w
    FileWrite $0 "! Where Check for Updates learns the newest version, e.g.$\r$\n"
    FileWrite $0 "! -source=http://HOST:PORT/latest.txt$\r$\n"
    FileClose $0
  ${EndIf}

  ; The settings key: this build's Version; a CachePath once (an administrator's
  ; choice survives); the account and the limits stay as they are.
  WriteRegStr HKLM "${KEY}" "Version" "${VERSION}"
  ${If} ${Errors}
    !insertmacro FAIL "The programs, the options files or Version could not be written."
  ${EndIf}
  ReadRegStr $0 HKLM "${KEY}" "CachePath"
  ClearErrors ; set when there is no CachePath yet
  ${If} $0 == ""
    StrCpy $MadeCachePath 1
    WriteRegStr HKLM "${KEY}" "CachePath" "$APPDATA\Varnex"
  ${EndIf}
  ${If} ${Errors}
    !insertmacro FAIL "CachePath could not be written."
  ${EndIf}

  ; The service, with its access list and the key's. The output is kept in
  ; ProgramData\Varnex\install.log for the administrator.
  nsExec::ExecToStack '"$INSTDIR\KVT-Keeper.exe" -install'
  Pop $0
  Pop $1
  DetailPrint $1
  StrCpy $Report "$ReportVarnex ${VERSION}: KVT-Keeper.exe -install ended with $0$\r$\n$1$\r$\n"
  ${If} $0 != 0
    !insertmacro FAIL "KVT-Keeper.exe -install ended with $0: VarnexService could not be recorded with its access lists."
  ${EndIf}
  nsExec::ExecToLog '"$SYSDIR\sc.exe" start ${SERVICE}'

  ; The tray at every user's logon, and the menu.
  WriteRegStr HKLM "${RUN_KEY}" "KVT-Panel" '"$INSTDIR\KVT-Panel.exe"'
  CreateDirectory "${MENU}"
  CreateShortcut "${MENU}\Varnex Control Program.lnk" "$INSTDIR\KVT-Panel.exe" "" "$INSTDIR\icons\kvt-panel-107.ico"
  CreateShortcut "${MENU}\Uninstall Varnex.lnk" "$INSTDIR\Uninstall.exe"
  ${If} ${Errors}
    !insertmacro FAIL "The Run value or the menu entries could not be written."
  ${EndIf}
  Call WriteReport
SectionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all ; $APPDATA is ProgramData, the menu the one of all users
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_OK|MB_ICONSTOP "Removing Varnex needs an administrator." /SD IDOK
    SetErrorLevel 740
    Quit
  ${EndIf}
FunctionEnd

Section "Uninstall"
  nsExec::ExecToLog '"$INSTDIR\KVT-Keeper.exe" -uninstall'
  Call un.WaitServiceStopped
  !insertmacro END_PROGRAMS

  !insertmacro REMOVE_PROGRAMS
  Delete "$INSTDIR\KVT-Keeper.options"
  Delete "$INSTDIR\varnex-update.options"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"

  ; The cache and the account are the user's: removed only when asked, or with /ALL
  ; (a silent removal keeps them, as a reinstall would want). Only their own files and
  ; folders go, never anything through a link.
  ${un.GetParameters} $1
  ClearErrors
  ${un.GetOptions} $1 "/ALL" $2
  IfErrors 0 remove_data
  MessageBox MB_YESNO|MB_ICONQUESTION "Remove the cache and the Varnex account (UID, password and limits) from this computer too?" /SD IDNO IDNO keep
remove_data:
  ReadRegStr $0 HKLM "${KEY}" "CachePath"
  ${If} $0 != ""
    StrCpy $R1 "$0\vcache"
    Call un.RemoveCache
  ${EndIf}
  StrCpy $R1 "$APPDATA\Varnex"
  Call un.PathIsPlain
  ${If} $R2 == ""
    Delete "$R1\keeper.log"
    Delete "$R1\install.log"
    RMDir "$R1"
  ${EndIf}
  ${If} ${FileExists} "$R1\*.*"
    DetailPrint "Kept $R1: $R2 (or it holds more than its own files)"
  ${EndIf}
  DeleteRegKey HKLM "${KEY}"
  Goto done
keep:
  DeleteRegValue HKLM "${KEY}" "Version"
done:
SectionEnd
