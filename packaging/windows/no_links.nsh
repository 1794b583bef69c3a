; Removal that never follows a link, for the uninstaller and for an install that undoes
; itself: only the names the installer and the programs make are deleted, folders only
; when empty (RMDir without /r), and a path with a reparse point (junction, symbolic
; link, mount point) anywhere in it is left alone.
;
; Registers: each function names its input and output; it may change $R6 to $R9.

!define ATTR_DIRECTORY 0x10
!define ATTR_REPARSE_POINT 0x400
!define SE_FILE_OBJECT 1
!define OWNER_AND_DACL 5 ; OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION

Var OwnSid ; the running account's SID as text ("S-1-5-21-...")

!macro NO_LINKS un
; $OwnSid <- the SID of the account this installer runs as.
Function ${un}ReadOwnSid
  StrCpy $OwnSid ""
  System::Call 'kernel32::GetCurrentProcess() p .R6'
  System::Call 'advapi32::OpenProcessToken(p R6, i 8, *p .R7) i .R8' ; TOKEN_QUERY
  ${IfThen} $R8 = 0 ${|} Return ${|}
  System::Alloc 256
  Pop $R9
  ; TokenUser: a TOKEN_USER, whose first field points to the SID.
  System::Call 'advapi32::GetTokenInformation(p R7, i 1, p R9, i 256, *i .R6) i .R8'
  ${If} $R8 <> 0
    System::Call '*$R9(p .R6)'
    System::Call 'advapi32::ConvertSidToStringSidW(p R6, *p .R8) i .R6'
    ${If} $R6 <> 0
      System::Call 'kernel32::lstrcpynW(w .s, p R8, i 256)'
      Pop $OwnSid
      System::Call 'kernel32::LocalFree(p R8)'
    ${EndIf}
  ${EndIf}
  System::Free $R9
  System::Call 'kernel32::CloseHandle(p R7)'
FunctionEnd

; $R9 <- 1 when the SID text $R8 is SYSTEM, the administrators or the installing
; account itself, else empty.
Function ${un}IsTrustedSid
  StrCpy $R9 ""
  ${If} $R8 == "SY"
  ${OrIf} $R8 == "BA"
  ${OrIf} $R8 == "S-1-5-18"
  ${OrIf} $R8 == "S-1-5-32-544"
  ${OrIf} $R8 == $OwnSid
    StrCpy $R9 1
  ${EndIf}
FunctionEnd

; $R0 <- the owner and access list of the file or folder $R1 as SDDL text
; ("O:..D:..."), empty when they cannot be read.
Function ${un}ReadAccess
  StrCpy $R0 ""
  System::Call 'advapi32::GetNamedSecurityInfoW(w R1, i ${SE_FILE_OBJECT}, i ${OWNER_AND_DACL}, p 0, p 0, p 0, p 0, *p .R7) i .R8'
  ${If} $R8 = 0
    System::Call 'advapi32::ConvertSecurityDescriptorToStringSecurityDescriptorW(p R7, i 1, i ${OWNER_AND_DACL}, *p .R9, p 0) i .R8'
    ${If} $R8 <> 0
      System::Call 'kernel32::lstrcpynW(w .R0, p R9, i ${NSIS_MAX_STRLEN})'
      System::Call 'kernel32::LocalFree(p R9)'
    ${EndIf}
    System::Call 'kernel32::LocalFree(p R7)'
  ${EndIf}
FunctionEnd
!macroend

; The uninstaller's own: the checks before a folder is entered and the cache's removal.
!macro NO_LINKS_REMOVAL un
; $R2 <- why the folder $R1 may not be entered, empty when it may: it must be a local
; absolute path ("C:\..."; no UNC, device or forward-slash form) whose every component
; exists and none of which is a reparse point.
Function ${un}PathIsPlain
  StrCpy $R2 ""
  StrCpy $R6 $R1 2 1
  ${If} $R6 != ":\"
    StrCpy $R2 "not a local absolute path"
    Return
  ${EndIf}
  StrLen $R7 $R1
  StrCpy $R8 3
  ${Do}
    StrCpy $R6 $R1 1 $R8
    ${If} $R6 == "/"
      StrCpy $R2 "a forward slash in the path"
      Return
    ${EndIf}
    ${If} $R6 == "\"
    ${OrIf} $R8 >= $R7
      StrCpy $R6 $R1 $R8
      System::Call 'kernel32::GetFileAttributesW(w R6) i .R9'
      ${If} $R9 = -1
        StrCpy $R2 "$R6 does not exist"
        Return
      ${EndIf}
      IntOp $R9 $R9 & ${ATTR_REPARSE_POINT}
      ${If} $R9 <> 0
        StrCpy $R2 "$R6 is a link (reparse point)"
        Return
      ${EndIf}
    ${EndIf}
    IntOp $R8 $R8 + 1
  ${LoopUntil} $R8 > $R7
FunctionEnd

; $R5 <- 1 when the name $R4 is a movie file's, "%d.EXT" (the CID, a dot, an
; extension), else empty.
Function ${un}IsMovieName
  StrCpy $R5 ""
  StrCpy $R6 0
  StrCpy $R7 $R4 1
  ${IfThen} $R7 == "-" ${|} StrCpy $R6 1 ${|}
  StrCpy $R8 $R6
  ${Do}
    StrCpy $R7 $R4 1 $R6
    ${IfThen} $R7 == "" ${|} Return ${|}
    ${IfThen} $R7 == "." ${|} ${Break} ${|}
    IntOp $R9 $R7 + 0 ; a digit reads back as itself, anything else as 0
    ${IfThen} "$R9" != "$R7" ${|} Return ${|}
    IntOp $R6 $R6 + 1
  ${Loop}
  ${IfThen} $R6 = $R8 ${|} Return ${|}
  StrCpy $R7 $R4 "" $R6
  StrLen $R9 $R7
  ${IfThen} $R9 > 1 ${|} StrCpy $R5 1 ${|}
FunctionEnd

; Removes the cache folder $R1 (CachePath\vcache): its chunk files ("*---*.*", the
; tray's rule) and movie files, then the folder when nothing else is left. Only a
; plain path (PathIsPlain) to a folder that SYSTEM or the administrators own is
; entered (or one of the account removing it): the supervisor makes its cache so,
; and CachePath may name a folder of anyone's. Changes $R0, $R2 to $R5.
Function ${un}RemoveCache
  ${IfNot} ${FileExists} "$R1\*.*"
    Return
  ${EndIf}
  Call ${un}PathIsPlain
  ${If} $R2 == ""
    Call ${un}ReadAccess
    Call ${un}ReadOwnSid
    ; The owner: the text between "O:" and "D:".
    StrCpy $R7 2
    ${Do}
      StrCpy $R6 $R0 2 $R7
      ${IfThen} $R6 == "D:" ${|} ${Break} ${|}
      ${IfThen} $R6 == "" ${|} ${Break} ${|}
      IntOp $R7 $R7 + 1
    ${Loop}
    IntOp $R7 $R7 - 2
    StrCpy $R8 $R0 $R7 2
    Call ${un}IsTrustedSid
    ${IfThen} $R9 != 1 ${|} StrCpy $R2 "owned by another account ($R0)" ${|}
  ${EndIf}
  ${If} $R2 != ""
    DetailPrint "Kept the cache $R1: $R2"
    Return
  ${EndIf}
  Delete "$R1\*---*.*"
  FindFirst $R3 $R4 "$R1\*.*"
  ${DoWhile} $R4 != ""
    Call ${un}IsMovieName
    ${If} $R5 == 1
      Delete "$R1\$R4"
    ${EndIf}
    FindNext $R3 $R4
  ${Loop}
  FindClose $R3
  RMDir "$R1"
  ${If} ${FileExists} "$R1\*.*"
    DetailPrint "Kept $R1: it holds more than the cache's own files"
  ${EndIf}
FunctionEnd
!macroend

; The programs, icons, Run value and menu entries the installer puts in place, each
; by its name.
!macro REMOVE_PROGRAMS
  Delete "$INSTDIR\KVT-Marshal.exe"
  Delete "$INSTDIR\KVT-Relay.exe"
  Delete "$INSTDIR\KVT-Cinema.exe"
  Delete "$INSTDIR\KVT-Fetcher.exe"
  Delete "$INSTDIR\KVT-Keeper.exe"
  Delete "$INSTDIR\KVT-Panel.exe"
  Delete "$INSTDIR\varnex-update.exe"
  Delete "$INSTDIR\test-channel.ts"
  Delete "$INSTDIR\icons\kvt-panel-107.ico"
  Delete "$INSTDIR\icons\kvt-panel-108.ico"
  RMDir "$INSTDIR\icons"
  DeleteRegValue HKLM "${RUN_KEY}" "KVT-Panel"
  Delete "${MENU}\Varnex Control Program.lnk"
  Delete "${MENU}\Uninstall Varnex.lnk"
  RMDir "${MENU}"
!macroend
