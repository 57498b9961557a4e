; Quorvel's installer and uninstaller, for NSIS 3 (Debian: package nsis). The dist
; target runs makensis on this script with the build's version and the folder of
; the files to install:
;   makensis -DQUORVEL_VERSION=1.2.0 -DQUORVEL_VERSION_MAJOR=1 -DQUORVEL_VERSION_MINOR=2
;            -DQUORVEL_STAGE=<folder> -DQUORVEL_ICON=<quorvel.ico> -DQUORVEL_OUTFILE=<setup.exe>
;            quorvel.nsi
; The option "Keep watching when nobody is logged on" (on by default, and in a silent
; install unless /NOSERVICE is given) installs quorvelsvc.exe and runs
; "quorvelsvc.exe install"; an install over one with the service stops it, copies and
; starts it again. The uninstaller runs "quorvelsvc.exe uninstall" before it removes
; anything, and keeps the user's settings file and logs, and the service's, and says so.

!macro QuorvelRequire name
  !ifndef ${name}
    !error "${name} is not defined: build the installer with the dist target"
  !endif
!macroend
!insertmacro QuorvelRequire QUORVEL_VERSION
!insertmacro QuorvelRequire QUORVEL_VERSION_MAJOR
!insertmacro QuorvelRequire QUORVEL_VERSION_MINOR
!insertmacro QuorvelRequire QUORVEL_STAGE
!insertmacro QuorvelRequire QUORVEL_ICON
!insertmacro QuorvelRequire QUORVEL_OUTFILE

; The program is x64 only; so is its installer, which then needs no WoW64 and sees
; the 64-bit Program Files and registry as they are.
Target amd64-unicode
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include Sections.nsh
!include FileFunc.nsh
!include WinVer.nsh
!include WinMessages.nsh
!include MUI2.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvel"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
; The Application log's source: its messages are in both exes.
!define EVENT_SOURCE_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\Quorvel"
; What the running program answers to (core/startup.h, resources/resource.h): the
; mutex it holds, its main window's title, and File > Exit.
!define PROGRAM_MUTEX "quorvel"
!define PROGRAM_WINDOW "Quorvel ${QUORVEL_VERSION_MAJOR}.${QUORVEL_VERSION_MINOR}"
!define PROGRAM_EXIT_COMMAND 40010
!define SYNCHRONIZE 0x00100000
; The service (app/service_control.h) and the service manager's numbers it needs.
!define SERVICE_NAME "Quorvel"
!define SC_MANAGER_CONNECT 0x0001
!define SERVICE_QUERY_STATUS 0x0004
!define SERVICE_START 0x0010
!define SERVICE_STOP 0x0020
!define SERVICE_CONTROL_STOP 1
!define SERVICE_STOPPED 1
!define SERVICE_START_PENDING 2
!define SERVICE_RUNNING 4
!define ERROR_SERVICE_DOES_NOT_EXIST 1060

Name "Quorvel ${QUORVEL_VERSION}"
OutFile "${QUORVEL_OUTFILE}"
InstallDir "$PROGRAMFILES64\Quorvel"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
ManifestSupportedOS all
ManifestDPIAware true
BrandingText "Quorvel ${QUORVEL_VERSION}"
; A skipped quorvel.exe would be a broken install reported as a good one.
AllowSkipFiles off

VIProductVersion "${QUORVEL_VERSION}.0"
VIFileVersion "${QUORVEL_VERSION}.0"

Var KeptFiles
Var ServiceWasInstalled

!define MUI_ICON "${QUORVEL_ICON}"
!define MUI_UNICON "${QUORVEL_ICON}"
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${QUORVEL_STAGE}/LICENSE.txt"
; The description under the list, which is then wide enough for the option's whole name.
!define MUI_COMPONENTSPAGE_SMALLDESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\quorvel.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Run Quorvel"
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT "Quorvel has been removed from this computer.$\r$\n$\r$\n$KeptFiles"
!insertmacro MUI_UNPAGE_FINISH

!insertmacro MUI_LANGUAGE "English"

VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "Quorvel"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${QUORVEL_VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${QUORVEL_VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "Quorvel ${QUORVEL_VERSION} Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "Quorvel"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Copyright (c) 2026 the Quorvel developers"

; Ends a running Quorvel the way File > Exit does, so it saves its lists and takes its
; icon out of the notification area, and waits for it. When it does not end, the user
; may close it and retry; a silent run gives up (exit code 2) instead of waiting.
!macro CloseRunningProgram un
Function ${un}CloseRunningProgram
  System::Call 'kernel32::OpenMutexW(i ${SYNCHRONIZE}, i 0, w "${PROGRAM_MUTEX}") p .r0'
  ${If} $0 P= 0
    Return
  ${EndIf}
  System::Call 'kernel32::CloseHandle(p r0)'
  DetailPrint "Closing Quorvel"
ask:
  FindWindow $1 "#32770" "${PROGRAM_WINDOW}"
  ${If} $1 P<> 0
    System::Call 'user32::PostMessageW(p r1, i ${WM_COMMAND}, p ${PROGRAM_EXIT_COMMAND}, p 0)'
  ${EndIf}
  StrCpy $2 0
  ${Do}
    Sleep 200
    System::Call 'kernel32::OpenMutexW(i ${SYNCHRONIZE}, i 0, w "${PROGRAM_MUTEX}") p .r0'
    ${If} $0 P= 0
      ; The mutex goes as the process ends; its files are let go just after.
      Sleep 500
      Return
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r0)'
    IntOp $2 $2 + 1
  ${LoopUntil} $2 >= 50
  MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
    "Quorvel is still running.$\r$\n$\r$\nChoose File > Exit in its window, or Exit in the menu of its notification area icon, then click Retry." \
    /SD IDCANCEL IDRETRY ask
  DetailPrint "Quorvel is still running: nothing was changed."
  Abort
FunctionEnd
!macroend
!insertmacro CloseRunningProgram ""
!insertmacro CloseRunningProgram "un."

; Whether the service is registered ($ServiceWasInstalled 1 or 0), and when it is, stops
; it and waits up to a minute: a stop first delivers what the service had found. When it
; does not stop, nothing more is changed (exit code 2).
Function StopServiceForUpgrade
  StrCpy $ServiceWasInstalled 0
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_CONNECT}) p .r0'
  ${If} $0 P= 0
    Return
  ${EndIf}
  System::Call 'advapi32::OpenServiceW(p r0, w "${SERVICE_NAME}", i ${SERVICE_STOP}|${SERVICE_QUERY_STATUS}) p .r1'
  ${If} $1 P<> 0
    StrCpy $ServiceWasInstalled 1
    System::Call '*(i, i, i, i, i, i, i) p .r2'  ; SERVICE_STATUS
    System::Call 'advapi32::QueryServiceStatus(p r1, p r2) i .r3'
    System::Call '*$2(i, i .r4)'
    ${If} $4 <> ${SERVICE_STOPPED}
      DetailPrint "Stopping the Quorvel service"
      System::Call 'advapi32::ControlService(p r1, i ${SERVICE_CONTROL_STOP}, p r2) i .r3'
      StrCpy $5 0
      ${DoUntil} $4 = ${SERVICE_STOPPED}
        ${If} $5 >= 300
          ${Break}
        ${EndIf}
        Sleep 200
        System::Call 'advapi32::QueryServiceStatus(p r1, p r2) i .r3'
        System::Call '*$2(i, i .r4)'
        IntOp $5 $5 + 1
      ${Loop}
    ${EndIf}
    System::Free $2
    System::Call 'advapi32::CloseServiceHandle(p r1)'
  ${EndIf}
  System::Call 'advapi32::CloseServiceHandle(p r0)'
  ${If} $ServiceWasInstalled = 1
  ${AndIf} $4 <> ${SERVICE_STOPPED}
    MessageBox MB_OK|MB_ICONSTOP "The Quorvel service did not stop within a minute: nothing was changed. Try again later." /SD IDOK
    DetailPrint "The Quorvel service did not stop: nothing was changed."
    SetErrorLevel 2
    Abort
  ${EndIf}
FunctionEnd

; The service stopped for the copy starts again.
Function StartServiceAgain
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_CONNECT}) p .r0'
  System::Call 'advapi32::OpenServiceW(p r0, w "${SERVICE_NAME}", i ${SERVICE_START}|${SERVICE_QUERY_STATUS}) p .r1'
  System::Call 'advapi32::StartServiceW(p r1, i 0, p 0) i .r2 ?e'
  Pop $3
  ; Started is said only when the service says it runs: one that ends while starting
  ; is a failure, not a success.
  ${If} $2 <> 0
    System::Call '*(i, i, i, i, i, i, i) p .r6'  ; SERVICE_STATUS
    StrCpy $4 ${SERVICE_START_PENDING}
    StrCpy $5 0
    ${DoWhile} $4 = ${SERVICE_START_PENDING}
      ${If} $5 >= 150
        ${Break}
      ${EndIf}
      Sleep 200
      System::Call 'advapi32::QueryServiceStatus(p r1, p r6) i .r3'
      System::Call '*$6(i, i .r4, i, i .r7)'
      IntOp $5 $5 + 1
    ${Loop}
    System::Free $6
    ${If} $4 <> ${SERVICE_RUNNING}
      StrCpy $2 0
      StrCpy $3 $7  ; its exit code
      ${If} $4 = ${SERVICE_START_PENDING}
        StrCpy $3 1053  ; ERROR_SERVICE_REQUEST_TIMEOUT
      ${EndIf}
    ${EndIf}
  ${EndIf}
  System::Call 'advapi32::CloseServiceHandle(p r1)'
  System::Call 'advapi32::CloseServiceHandle(p r0)'
  ${If} $2 = 0
    DetailPrint "The Quorvel service did not start again (error $3)."
    MessageBox MB_OK|MB_ICONEXCLAMATION "The Quorvel service did not start again (error $3). Start it in the Services window." /SD IDOK
    SetErrorLevel $3
  ${Else}
    DetailPrint "Started the Quorvel service again."
  ${EndIf}
FunctionEnd

; Runs quorvelsvc.exe with `command`, its lines in the details; its exit code in $0
; ("error" when it could not be run).
!macro RunServiceProgram command
  nsExec::ExecToLog '"$INSTDIR\quorvelsvc.exe" ${command}'
  Pop $0
!macroend


Section "Quorvel" SecProgram
  SectionIn RO
  Call CloseRunningProgram
  Call StopServiceForUpgrade
  SetOutPath "$INSTDIR"
  File "${QUORVEL_STAGE}/quorvel.exe"
  File "${QUORVEL_STAGE}/help.chm"
  File "${QUORVEL_STAGE}/warning.wav"
  File "${QUORVEL_STAGE}/LICENSE.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateShortcut "$SMPROGRAMS\Quorvel.lnk" "$INSTDIR\quorvel.exe" "" "$INSTDIR\quorvel.exe" 0 \
    SW_SHOWNORMAL "" "Who is connected to this computer's shares"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Quorvel"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${QUORVEL_VERSION}"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMajor" ${QUORVEL_VERSION_MAJOR}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMinor" ${QUORVEL_VERSION_MINOR}
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The Quorvel developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\quorvel.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; The program writes to the Application log when it watches alone, the service always.
  WriteRegExpandStr HKLM "${EVENT_SOURCE_KEY}" "EventMessageFile" "$INSTDIR\quorvel.exe"
  WriteRegDWORD HKLM "${EVENT_SOURCE_KEY}" "TypesSupported" 7
SectionEnd

Section "Keep watching when nobody is logged on" SecService
  SetOutPath "$INSTDIR"
  File "${QUORVEL_STAGE}/quorvelsvc.exe"
  ${If} $ServiceWasInstalled = 1
    Call StartServiceAgain
  ${Else}
    !insertmacro RunServiceProgram "install"
    ${If} $0 == "error"
      StrCpy $0 2
    ${EndIf}
    ${If} $0 != 0
      DetailPrint "The Quorvel service could not be installed (code $0)."
      MessageBox MB_OK|MB_ICONEXCLAMATION "The Quorvel service could not be installed (code $0): Quorvel watches only while it runs. See Show details." /SD IDOK
      SetErrorLevel $0
    ${EndIf}
  ${EndIf}
SectionEnd

; Without the option, a service an earlier install left is removed with its program.
Section "-Without the service"
  ${IfNot} ${SectionIsSelected} ${SecService}
  ${AndIf} ${FileExists} "$INSTDIR\quorvelsvc.exe"
    ${If} $ServiceWasInstalled = 1
      !insertmacro RunServiceProgram "uninstall"
    ${EndIf}
    Delete "$INSTDIR\quorvelsvc.exe"
  ${EndIf}
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} "Quorvel's window, its help and its sound."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecService} "A service that logs and blocks whether or not anyone is logged on."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function .onInit
  ${IfNot} ${AtLeastWin7}
    MessageBox MB_OK|MB_ICONSTOP "Quorvel needs Windows 7 or later." /SD IDOK
    SetErrorLevel 1150  ; ERROR_OLD_WIN_VERSION
    Quit
  ${EndIf}
  ; With User Account Control off, a standard user gets no prompt and no rights.
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_OK|MB_ICONSTOP \
      "Installing Quorvel needs administrator rights.$\r$\n$\r$\nStart the installer again from an administrator account, or with Run as administrator." \
      /SD IDOK
    SetErrorLevel 740  ; ERROR_ELEVATION_REQUIRED
    Quit
  ${EndIf}
  SetShellVarContext all
  SetRegView 64
  ; A silent deploy without the service: setup.exe /S /NOSERVICE
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/NOSERVICE" $1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecService}
  ${EndIf}
FunctionEnd

Function un.onInit
  ; The settings file and the logs are the user's, in their own Documents folder.
  SetShellVarContext current
  StrCpy $KeptFiles ""
  ${If} ${FileExists} "$DOCUMENTS\quorvel.ini"
  ${OrIf} ${FileExists} "$DOCUMENTS\quorvel_logs\*.*"
    StrCpy $KeptFiles "Your settings file, $DOCUMENTS\quorvel.ini, and your logs, in $DOCUMENTS\quorvel_logs, were kept. Delete them yourself if you no longer need them."
  ${EndIf}
  ; The service's, in ProgramData.
  SetShellVarContext all
  ${If} ${FileExists} "$APPDATA\Quorvel\*.*"
    ${If} $KeptFiles != ""
      StrCpy $KeptFiles "$KeptFiles$\r$\n$\r$\n"
    ${EndIf}
    StrCpy $KeptFiles "$KeptFilesThe service's settings file and logs, in $APPDATA\Quorvel, were kept."
  ${EndIf}
  SetRegView 64
FunctionEnd

Section "Uninstall"
  Call un.CloseRunningProgram

  ; The service goes first: it holds quorvelsvc.exe while it runs.
  ${If} ${FileExists} "$INSTDIR\quorvelsvc.exe"
    !insertmacro RunServiceProgram "uninstall"
    ${If} $0 != 0
    ${AndIf} $0 != ${ERROR_SERVICE_DOES_NOT_EXIST}
      MessageBox MB_OK|MB_ICONSTOP "The Quorvel service could not be removed (code $0): nothing else was changed. See Show details." /SD IDOK
      DetailPrint "The Quorvel service could not be removed: nothing else was changed."
      SetErrorLevel 2
      Abort
    ${EndIf}
  ${EndIf}

  ; Stop at the first file that will not go: the entry in Programs and Features
  ; stays, so the uninstall can be run again.
  ClearErrors
  Delete "$INSTDIR\quorvel.exe"
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONSTOP "$INSTDIR\quorvel.exe could not be removed. Close Quorvel and uninstall again." /SD IDOK
    DetailPrint "$INSTDIR\quorvel.exe could not be removed: nothing else was changed."
    Abort
  ${EndIf}
  Delete "$INSTDIR\quorvelsvc.exe"
  Delete "$INSTDIR\help.chm"
  Delete "$INSTDIR\warning.wav"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  ; Not /r: whatever else is in the folder is not ours to delete.
  RMDir "$INSTDIR"
  ${If} ${FileExists} "$INSTDIR\*.*"
    DetailPrint "$INSTDIR holds other files and was kept."
  ${EndIf}

  Delete "$SMPROGRAMS\Quorvel.lnk"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${EVENT_SOURCE_KEY}"

  ; The program writes its Run value for the user who ran it, with its own path;
  ; a value naming another copy of Quorvel belongs to that copy.
  ReadRegStr $0 HKCU "${RUN_KEY}" "Quorvel"
  StrLen $1 '"$INSTDIR\quorvel.exe"'
  StrCpy $2 $0 $1
  ${If} $0 != ""
    ${If} $2 == '"$INSTDIR\quorvel.exe"'
      DeleteRegValue HKCU "${RUN_KEY}" "Quorvel"
    ${Else}
      DetailPrint "Kept the start-at-logon entry of another copy: $0"
    ${EndIf}
  ${EndIf}

  ${If} $KeptFiles != ""
    DetailPrint $KeptFiles
  ${EndIf}
SectionEnd
