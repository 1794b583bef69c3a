; C:\ProgramData\Varnex: the service's log keeper.log, the installer's install.log and,
; by default, the cache. ProgramData lets every user create folders, and a folder made
; there without an access list of its own hands that right down; so the folder is made
; with a protected list of SYSTEM and the administrators only (users get nothing: the
; log tells who watches what), and a folder found there with another owner or list is
; repaired before anything is written into it. install.log is opened without following
; a link and refused when it has more than one name (a hard link).
;
; Registers: each function names its input and output; it may change $R0 to $R9.

!define DATA_ACES "(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
!define DATA_SDDL "O:BAD:P${DATA_ACES}"
!define ERROR_ALREADY_EXISTS 183
!define PROTECTED_OWNER_AND_DACL 0x80000005 ; PROTECTED_DACL_SECURITY_INFORMATION | OWNER | DACL

Var DataProblem ; why the folder cannot be used, empty when it can
Var DataReady   ; 1 once the folder is known to be the protected one
Var Report      ; the lines this run adds to install.log
Var OldAccess   ; a repaired folder's owner and list before
Var SetError    ; the error of setting them

; $R5 <- 1 when the SDDL text $R0 ("O:owner" then "D:" and the entries) names as owner
; and in every entry only SYSTEM, the administrators or the installing account: no
; other account, and nothing handed down from ProgramData, may use the folder.
; (What is set is ${DATA_SDDL}; Wine keeps no file access lists and reports one
; made from the Unix mode, the Wine user as owner, which this check also reads.)
Function IsDataAccess
  StrCpy $R5 ""
  StrCpy $R6 $R0 2
  ${IfThen} $R6 != "O:" ${|} Return ${|}
  StrCpy $R7 2
  ${Do}
    StrCpy $R6 $R0 2 $R7
    ${IfThen} $R6 == "" ${|} Return ${|}
    ${IfThen} $R6 == "D:" ${|} ${Break} ${|}
    IntOp $R7 $R7 + 1
  ${Loop}
  IntOp $R6 $R7 - 2
  StrCpy $R8 $R0 $R6 2
  Call IsTrustedSid
  ${IfThen} $R9 != 1 ${|} Return ${|}
  ; Each entry "(type;flags;rights;;;SID)": the SID follows its last semicolon.
  StrCpy $R4 0 ; entries seen
  ${Do}
    IntOp $R7 $R7 + 1
    StrCpy $R6 $R0 1 $R7
    ${IfThen} $R6 == "" ${|} ${Break} ${|}
    ${If} $R6 == ";"
      IntOp $R3 $R7 + 1
    ${ElseIf} $R6 == ")"
      IntOp $R6 $R7 - $R3
      StrCpy $R8 $R0 $R6 $R3
      Call IsTrustedSid
      ${IfThen} $R9 != 1 ${|} Return ${|}
      IntOp $R4 $R4 + 1
    ${EndIf}
  ${Loop}
  ${IfThen} $R4 > 0 ${|} StrCpy $R5 1 ${|}
FunctionEnd

; Gives the existing folder $R1 the administrators as owner and the protected list
; ($R2 holds it as a descriptor), reads back what is in force, and only then removes
; what was written through the folder before: the two logs (by name: a link goes, not
; its target) and a link in the place of vcache. Anything else it holds stays and is
; never followed by this installer. A folder whose list cannot be set is refused.
Function RepairDataFolder
  DetailPrint "$R1 has another owner or access list ($R0): repairing it"
  StrCpy $OldAccess $R0
  System::Call 'advapi32::GetSecurityDescriptorOwner(p R2, *p .R6, *i .R7) i'
  System::Call 'advapi32::GetSecurityDescriptorDacl(p R2, *i .R7, *p .R8, *i .R9) i'
  System::Call 'advapi32::SetNamedSecurityInfoW(w R1, i ${SE_FILE_OBJECT}, i ${PROTECTED_OWNER_AND_DACL}, p R6, p 0, p R8, p 0) i .s'
  Pop $SetError
  Call ReadAccess
  Call IsDataAccess
  ${If} $R5 != 1
    StrCpy $DataProblem "$R1 has the owner and access list $R0 (error $SetError setting ${DATA_SDDL}): refused; remove the folder and install again"
    Return
  ${EndIf}
  StrCpy $Report "$Report$R1 had the owner and access list $OldAccess: given ${DATA_SDDL}, its logs removed$\r$\n"
  Delete "$R1\install.log"
  Delete "$R1\keeper.log"
  System::Call 'kernel32::GetFileAttributesW(w "$R1\vcache") i .R3'
  ${If} $R3 <> -1
    IntOp $R3 $R3 & ${ATTR_REPARSE_POINT}
    ${IfThen} $R3 <> 0 ${|} RMDir "$R1\vcache" ${|}
  ${EndIf}
FunctionEnd

; Makes $APPDATA\Varnex with its protected list, or checks and repairs the one there.
; Sets $DataProblem when it cannot be used, else $DataReady.
Function MakeDataFolder
  StrCpy $DataProblem ""
  Call ReadOwnSid
  StrCpy $R1 "$APPDATA\Varnex"
  ; A link or a file in its place is refused: removing a link is not for an installer
  ; that would then have to trust what the link's maker can still change.
  System::Call 'kernel32::GetFileAttributesW(w R1) i .R3'
  ${If} $R3 <> -1
    IntOp $R4 $R3 & ${ATTR_REPARSE_POINT}
    IntOp $R3 $R3 & ${ATTR_DIRECTORY}
    ${If} $R4 <> 0
    ${OrIf} $R3 = 0
      StrCpy $DataProblem "$R1 is a link or not a folder: remove it and install again"
      Return
    ${EndIf}
  ${EndIf}
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${DATA_SDDL}", i 1, *p .R2, p 0) i .R3'
  ${If} $R3 = 0
    StrCpy $DataProblem "the access list ${DATA_SDDL} cannot be made"
    Return
  ${EndIf}
  ; SECURITY_ATTRIBUTES on x64: length, padding, descriptor, inherit flag, padding.
  System::Call '*(i 24, i 0, p R2, i 0, i 0) p .R4'
  System::Call 'kernel32::CreateDirectoryW(w R1, p R4) i .R3 ?e'
  Pop $R5
  System::Free $R4
  ${If} $R3 <> 0
    DetailPrint "Made $R1 with the access list ${DATA_SDDL}"
  ${ElseIf} $R5 = ${ERROR_ALREADY_EXISTS}
    Call ReadAccess
    Call IsDataAccess
    ${If} $R5 != 1
      Call RepairDataFolder
    ${EndIf}
  ${Else}
    StrCpy $DataProblem "$R1 cannot be made (error $R5)"
  ${EndIf}
  System::Call 'kernel32::LocalFree(p R2)'
  ${IfThen} $DataProblem != "" ${|} Return ${|}
  ; What is in force now, read back.
  Call ReadAccess
  Call IsDataAccess
  ${If} $R5 != 1
    StrCpy $DataProblem "$R1 has the owner and access list $R0, not ${DATA_SDDL}"
    Return
  ${EndIf}
  StrCpy $Report "$Report$R1: owner and access list $R0$\r$\n"
  StrCpy $DataReady 1
FunctionEnd

; Appends $Report to install.log and empties it. The file is opened without following
; a link (FILE_FLAG_OPEN_REPARSE_POINT); one that is a link or has another name too is
; removed (the name only) and made anew, so nothing is written through it.
Function WriteReport
  ${If} $DataReady != 1
    ; The folder is not to be trusted: the reason goes to this administrator's own
    ; temporary folder instead.
    FileOpen $R0 "$TEMP\Varnex-install.log" a
    FileSeek $R0 0 END
    FileWrite $R0 "$Report"
    FileClose $R0
    StrCpy $Report ""
    Return
  ${EndIf}
  StrCpy $R1 "$APPDATA\Varnex\install.log"
  StrCpy $R5 0
  ${Do}
    ; GENERIC_WRITE, share read, OPEN_ALWAYS, normal | FILE_FLAG_OPEN_REPARSE_POINT
    System::Call 'kernel32::CreateFileW(w R1, i 0x40000000, i 1, p 0, i 4, i 0x00200080, p 0) p .R0'
    ${IfThen} $R0 = -1 ${|} ${Break} ${|}
    ; BY_HANDLE_FILE_INFORMATION: the attributes first, the number of names 11th.
    System::Call '*(i, i, i, i, i, i, i, i, i, i, i, i, i) p .R2'
    System::Call 'kernel32::GetFileInformationByHandle(p R0, p R2) i .R3'
    System::Call '*$R2(i .R3, i, i, i, i, i, i, i, i, i, i .R4)'
    System::Free $R2
    IntOp $R3 $R3 & ${ATTR_REPARSE_POINT}
    ${If} $R3 = 0
    ${AndIf} $R4 = 1
      FileSeek $R0 0 END
      FileWrite $R0 "$Report"
      FileClose $R0
      StrCpy $Report ""
      Return
    ${EndIf}
    FileClose $R0
    DetailPrint "$R1 was a link or had $R4 names: made anew"
    StrCpy $Report "$R1 was a link or had $R4 names: made anew$\r$\n$Report"
    Delete "$R1"
    IntOp $R5 $R5 + 1
  ${LoopUntil} $R5 >= 2
  DetailPrint "$R1 cannot be written safely: not written"
FunctionEnd
