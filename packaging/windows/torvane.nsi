; The Windows installer: the Client with its switching service, and the Server, into
; Program Files\Torvane; Chinese and English. Built by scripts/pack-windows:
;   makensis -INPUTCHARSET UTF8 -DVERSION=1.0 -DVERSION_QUAD=1.0.0.0 -DSTAGE=<packed folder>
;            -DSOURCE=<this folder> -DOUTFILE=<setup.exe> torvane.nsi
; Silent: setup.exe /S installs every part; /NOSERVER, /NOCLIENT and /NOFIREWALL leave one out
; (a workstation: /S /NOSERVER). Uninstall.exe /S removes it again.
;
; Layout: every program folder is writable by administrators only. The service runs as SYSTEM
; whatever file sits at its path; Client.exe starts for every user who signs in (an
; administrator too), so a user who could replace it, or plant a DLL beside it, would run code
; as the others. The line lists the programs write as the signed-in user (line-list updates, the
; Server's table) live in ProgramData\Torvane\Client and \Server, which the machine's users
; may modify; the programs find them under HKLM\Software\Torvane\<program>, value DataFolder,
; which only an administrator can set.

Unicode true
Target amd64-unicode
RequestExecutionLevel admin
ManifestDPIAware true
SetCompressor /SOLID lzma

!include MUI2.nsh
!include LogicLib.nsh
!include Sections.nsh
!include FileFunc.nsh

!define PRODUCT "Torvane"
!define SERVICE_EXE "TorvaneSwitch.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Torvane"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define PROGRAMS_KEY "Software\Torvane"
!define SERVER_PORT 15200
!define FIREWALL_RULE "Torvane Server"
; BUILTIN\Users by its SID: the group's name is translated on Chinese systems.
!define USERS_SID "*S-1-5-32-545"
; The system's tools by their full path: an elevated installer must not run a netsh.exe that sits
; in its own download folder.

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION_QUAD}"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "LegalCopyright" "${PRODUCT}"

!define MUI_ICON "${SOURCE}\torvane-client.ico"
!define MUI_UNICON "${SOURCE}\torvane-client.ico"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_SMALLDESC
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED

!define MUI_PAGE_CUSTOMFUNCTION_LEAVE ComponentsLeave
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; The first is the fallback when the system's language is neither.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

LangString SecClientName ${LANG_ENGLISH} "Client and switching service"
LangString SecClientName ${LANG_SIMPCHINESE} "客户端和切换服务"
LangString SecClientText ${LANG_ENGLISH} "Client.exe for this workstation, and the service TorvaneSwitch that changes the adapter when the Client switches lines."
LangString SecClientText ${LANG_SIMPCHINESE} "本工作站的客户端 Client.exe，以及在客户端切换线路时修改网卡设置的系统服务 TorvaneSwitch。"
LangString GrpServerName ${LANG_ENGLISH} "Server"
LangString GrpServerName ${LANG_SIMPCHINESE} "服务器"
LangString GrpServerText ${LANG_ENGLISH} "For the administrator's machine only."
LangString GrpServerText ${LANG_SIMPCHINESE} "只装在管理员的电脑上。"
LangString SecServerName ${LANG_ENGLISH} "Server.exe"
LangString SecServerName ${LANG_SIMPCHINESE} "Server.exe"
LangString SecServerText ${LANG_ENGLISH} "The Server, which keeps the line list and switches the workstations."
LangString SecServerText ${LANG_SIMPCHINESE} "服务器：保存线路表，切换各工作站的线路。"
LangString SecFirewallName ${LANG_ENGLISH} "Firewall rule for port ${SERVER_PORT}"
LangString SecFirewallName ${LANG_SIMPCHINESE} "防火墙规则（端口 ${SERVER_PORT}）"
LangString SecFirewallText ${LANG_ENGLISH} "Lets the workstations reach the Server: inbound TCP port ${SERVER_PORT} in Windows Firewall. Another port set in the Server's options needs its own rule."
LangString SecFirewallText ${LANG_SIMPCHINESE} "允许工作站连接服务器：在 Windows 防火墙里允许入站 TCP 端口 ${SERVER_PORT}。如果在服务器设置里改了端口，需要另加规则。"
LangString ClientLink ${LANG_ENGLISH} "Torvane Client"
LangString ClientLink ${LANG_SIMPCHINESE} "Torvane 客户端"
LangString ServerLink ${LANG_ENGLISH} "Torvane Server"
LangString ServerLink ${LANG_SIMPCHINESE} "Torvane 服务器"
LangString ReadmeLink ${LANG_ENGLISH} "Read me"
LangString ReadmeLink ${LANG_SIMPCHINESE} "说明"
LangString UninstallLink ${LANG_ENGLISH} "Uninstall Torvane"
LangString UninstallLink ${LANG_SIMPCHINESE} "卸载 Torvane"
LangString ServiceFailed ${LANG_ENGLISH} "The switching service could not be installed or started (TorvaneSwitch.exe --install ended with $0). The Client can show the adapter but not switch lines until it runs; see README.txt."
LangString ServiceFailed ${LANG_SIMPCHINESE} "切换服务未能安装或启动（TorvaneSwitch.exe --install 返回 $0）。在服务运行之前，客户端只能显示网卡设置，不能切换线路；请参阅 README.txt。"
LangString FirewallFailed ${LANG_ENGLISH} "The firewall rule could not be added (netsh ended with $0). Add it by hand as README.txt shows."
LangString FirewallFailed ${LANG_SIMPCHINESE} "未能添加防火墙规则（netsh 返回 $0）。请按 README.txt 手动添加。"
LangString AccessFailed ${LANG_ENGLISH} "The users of this machine could not be given write access to $1 (icacls ended with $0); the program cannot save MainConfig.dat there for them."
LangString AccessFailed ${LANG_SIMPCHINESE} "未能让本机用户写入 $1（icacls 返回 $0）；程序无法为他们在那里保存 MainConfig.dat。"
LangString NothingChosen ${LANG_ENGLISH} "Choose the Client, the Server or both."
LangString NothingChosen ${LANG_SIMPCHINESE} "请选择客户端、服务器或两者。"

; Stops and removes an installed switching service, so that its file can be replaced or deleted.
!macro RemoveService
  ${If} ${FileExists} "$INSTDIR\${SERVICE_EXE}"
    DetailPrint "${SERVICE_EXE} --uninstall"
    ExecWait '"$INSTDIR\${SERVICE_EXE}" --uninstall' $0
  ${EndIf}
!macroend

; Lets the machine's users modify a folder and what it will hold ($1).
!macro GrantUsersModify
  nsExec::ExecToLog '"$SYSDIR\icacls.exe" "$1" /grant ${USERS_SID}:(OI)(CI)M'
  Pop $0
  ${If} $0 != 0
    DetailPrint "$(AccessFailed)"
  ${EndIf}
!macroend

; The data folder of a program ($2: Client or Server): made, opened to the machine's users and
; named where the program looks. A list an earlier version kept beside the program moves there;
; the program folder, which that version opened to the users, is closed again and the DLLs a
; user may have planted beside the program go (the programs ship none).
!macro PlaceDataFolder
  StrCpy $1 "$APPDATA\${PRODUCT}\$2"
  CreateDirectory "$1"
  !insertmacro GrantUsersModify
  WriteRegStr HKLM "${PROGRAMS_KEY}\$2" "DataFolder" "$1"
  ${If} ${FileExists} "$INSTDIR\$2\MainConfig.dat"
  ${AndIfNot} ${FileExists} "$1\MainConfig.dat"
    Rename "$INSTDIR\$2\MainConfig.dat" "$1\MainConfig.dat"
  ${EndIf}
  Delete "$INSTDIR\$2\*.dll"
  nsExec::ExecToLog '"$SYSDIR\icacls.exe" "$INSTDIR\$2" /reset /T /C /Q'
  Pop $0
!macroend

Section "-Common"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "${STAGE}\README.txt"
  SetOutPath "$INSTDIR\licenses"
  File /r "${STAGE}\licenses\*"
  SetOutPath "$INSTDIR\relink"
  File /r "${STAGE}\relink\*"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\$(ReadmeLink).lnk" "$INSTDIR\README.txt"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\$(UninstallLink).lnk" "$INSTDIR\Uninstall.exe"
SectionEnd

Section "!$(SecClientName)" SecClient
  SetShellVarContext all
  !insertmacro RemoveService
  SetOutPath "$INSTDIR"
  File "${STAGE}\${SERVICE_EXE}"
  SetOutPath "$INSTDIR\Client"
  File "${STAGE}\Client.exe"
  StrCpy $2 "Client"
  !insertmacro PlaceDataFolder
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\$(ClientLink).lnk" "$INSTDIR\Client\Client.exe"
  ; Registered and started the way an administrator does it by hand.
  DetailPrint "${SERVICE_EXE} --install"
  ExecWait '"$INSTDIR\${SERVICE_EXE}" --install' $0
  ${If} $0 != 0
    MessageBox MB_OK|MB_ICONEXCLAMATION "$(ServiceFailed)" /SD IDOK
  ${EndIf}
SectionEnd

SectionGroup "$(GrpServerName)" GrpServer
  Section "$(SecServerName)" SecServer
    SetShellVarContext all
    SetOutPath "$INSTDIR\Server"
    File "${STAGE}\Server.exe"
    StrCpy $2 "Server"
    !insertmacro PlaceDataFolder
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\$(ServerLink).lnk" "$INSTDIR\Server\Server.exe"
  SectionEnd

  Section "$(SecFirewallName)" SecFirewall
    ; Replaced rather than added twice when installing again.
    nsExec::Exec '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${FIREWALL_RULE}"'
    Pop $0
    nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall add rule name="${FIREWALL_RULE}" dir=in action=allow protocol=TCP localport=${SERVER_PORT}'
    Pop $0
    ${If} $0 == 0
      WriteRegDWORD HKLM "${UNINSTALL_KEY}" "FirewallRule" 1
    ${Else}
      MessageBox MB_OK|MB_ICONEXCLAMATION "$(FirewallFailed)" /SD IDOK
    ${EndIf}
  SectionEnd
SectionGroupEnd

Section "-Register"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecClient} "$(SecClientText)"
  !insertmacro MUI_DESCRIPTION_TEXT ${GrpServer} "$(GrpServerText)"
  !insertmacro MUI_DESCRIPTION_TEXT ${SecServer} "$(SecServerText)"
  !insertmacro MUI_DESCRIPTION_TEXT ${SecFirewall} "$(SecFirewallText)"
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function .onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/NOCLIENT" $R1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecClient}
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/NOSERVER" $R1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecServer}
    !insertmacro UnselectSection ${SecFirewall}
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/NOFIREWALL" $R1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecFirewall}
  ${EndIf}
FunctionEnd

; The firewall rule is for the Server: it goes when the Server is left out.
Function .onSelChange
  ${IfNot} ${SectionIsSelected} ${SecServer}
    !insertmacro UnselectSection ${SecFirewall}
  ${EndIf}
FunctionEnd

Function ComponentsLeave
  ${IfNot} ${SectionIsSelected} ${SecClient}
  ${AndIfNot} ${SectionIsSelected} ${SecServer}
    MessageBox MB_OK|MB_ICONEXCLAMATION "$(NothingChosen)"
    Abort
  ${EndIf}
FunctionEnd

Function un.onInit
  SetShellVarContext all
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  !insertmacro RemoveService
  ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "FirewallRule"
  ${If} $0 == 1
    nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${FIREWALL_RULE}"'
    Pop $0
  ${EndIf}
  ; The Client's start with Windows points into this folder: it would start nothing.
  ReadRegStr $0 HKLM "${RUN_KEY}" "NetWorkDns"
  StrLen $1 "$INSTDIR"
  StrCpy $2 $0 $1
  ${If} $2 == "$INSTDIR"
    DeleteRegValue HKLM "${RUN_KEY}" "NetWorkDns"
  ${EndIf}

  Delete "$INSTDIR\${SERVICE_EXE}"
  Delete "$INSTDIR\TorvaneSwitch.log"
  Delete "$INSTDIR\TorvaneSwitch.log.1"
  Delete "$INSTDIR\README.txt"
  RMDir /r "$INSTDIR\licenses"
  RMDir /r "$INSTDIR\relink"
  Delete "$INSTDIR\Client\Client.exe"
  Delete "$INSTDIR\Server\Server.exe"
  RMDir "$INSTDIR\Client"
  RMDir "$INSTDIR\Server"
  ; The line lists (MainConfig.dat, the Server's SwitchLog.txt) are the site's data and stay in
  ; ProgramData; the folders go when empty.
  RMDir "$APPDATA\${PRODUCT}\Client"
  RMDir "$APPDATA\${PRODUCT}\Server"
  RMDir "$APPDATA\${PRODUCT}"
  DeleteRegKey HKLM "${PROGRAMS_KEY}"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"

  RMDir /r "$SMPROGRAMS\${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
