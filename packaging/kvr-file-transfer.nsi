; The Windows installer: the zip's files under Program Files, less the
; portable marker, so that each user keeps settings in %LOCALAPPDATA%.
; scripts/package builds it with makensis and these defines:
;   VERSION, VERSION_QUAD  the version of project(), and padded to a.b.c.d
;   STAGE                  the folder to install, as cmake --install made it
;   FILES                  an include with the macros KvrInstallFiles and
;                          KvrUninstallFiles, listing every file in STAGE
;   ICON, OUTFILE
; Silent: setup.exe /S [/D=FOLDER], uninstall.exe /S.

; A 64-bit installer, as the programs are: it sees the 64-bit Program Files
; and registry, and runs where Wine has no 32-bit part.
Target amd64-unicode
!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh
!include "${FILES}"

!define DISPLAY_NAME "KVR文件网络传输助手"
!define PUBLISHER "the KVR File Transfer authors"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\kvr-file-transfer"
!define DEFAULT_DIR "$PROGRAMFILES64\kvr-file-transfer"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\kvr-transfer-service"

Name "${DISPLAY_NAME} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "${DEFAULT_DIR}"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ManifestDPIAware true
BrandingText "${DISPLAY_NAME} ${VERSION}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
; No "run now" on the last page: the window would run elevated, and
; Windows keeps files dropped from Explorer away from elevated windows.
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${STAGE}/LICENSE.txt"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; The first is the default where Windows speaks neither.
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "English"

LangString ProgramSection ${LANG_SIMPCHINESE} "程序和开始菜单快捷方式"
LangString ProgramSection ${LANG_ENGLISH} "Program and Start-menu shortcut"
LangString DesktopSection ${LANG_SIMPCHINESE} "桌面快捷方式"
LangString DesktopSection ${LANG_ENGLISH} "Desktop shortcut"
LangString ServiceSection ${LANG_SIMPCHINESE} "文件接收服务 (无人值守, 开机后自动接收)"
LangString ServiceSection ${LANG_ENGLISH} "File receiver service (unattended, receives after boot)"

VIProductVersion "${VERSION_QUAD}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductName" "${DISPLAY_NAME}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileDescription" "${DISPLAY_NAME} ${VERSION} 安装程序"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "LegalCopyright" "Copyright (c) 2026 ${PUBLISHER}, MIT"

Function .onInit
    ; An upgrade goes where the installed copy is, unless /D= says otherwise.
    ${If} $INSTDIR == "${DEFAULT_DIR}"
        ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
        ${If} $0 != ""
            StrCpy $INSTDIR $0
        ${EndIf}
    ${EndIf}
    Call KeepService
FunctionEnd

; Runs the installed copy's own uninstaller, so that files an older version
; had and this one has not go too. _?= keeps it in place and waits for it,
; so it cannot remove itself.
Function RemoveInstalledCopy
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $0 != ""
    ${AndIf} ${FileExists} "$0\uninstall.exe"
        ExecWait '"$0\uninstall.exe" /S _?=$0'
        Delete "$0\uninstall.exe"
        RMDir "$0"
    ${EndIf}
FunctionEnd

Function WriteUninstallKey
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${DISPLAY_NAME}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kvr-file-transfer.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
FunctionEnd

Section "$(ProgramSection)" ProgramSection
    SectionIn RO
    SetShellVarContext all
    Call RemoveInstalledCopy
    !insertmacro KvrInstallFiles
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortCut "$SMPROGRAMS\${DISPLAY_NAME}.lnk" "$INSTDIR\kvr-file-transfer.exe"
    Call WriteUninstallKey
SectionEnd

Section "$(DesktopSection)" DesktopSection
    SetShellVarContext all
    CreateShortCut "$DESKTOP\${DISPLAY_NAME}.lnk" "$INSTDIR\kvr-file-transfer.exe"
SectionEnd

; Unticked by default: a service receives for every user of the PC. The
; program makes the service itself (delayed automatic start, its virtual
; account, restart on failure) and its folder in %ProgramData%.
Section /o "$(ServiceSection)" ServiceSection
    ExecWait '"$INSTDIR\kvr-transfer-service.exe" install' $0
    ${If} $0 != 0
        DetailPrint "kvr-transfer-service install: exit code $0"
    ${Else}
        ExecWait '"$SYSDIR\sc.exe" start kvr-transfer-service'
    ${EndIf}
SectionEnd

; An upgrade removes the service with the older copy: it comes back ticked.
Function KeepService
    ReadRegStr $0 HKLM "${SERVICE_KEY}" "ImagePath"
    ${If} $0 != ""
        !insertmacro SelectSection ${ServiceSection}
    ${EndIf}
FunctionEnd

; Only what the installer put there: settings and received files live
; elsewhere, and a folder the user added files to stays. The service goes
; first, as it holds its program open; its settings and files stay.
Section "Uninstall"
    SetShellVarContext all
    ${If} ${FileExists} "$INSTDIR\kvr-transfer-service.exe"
        ExecWait '"$INSTDIR\kvr-transfer-service.exe" uninstall'
    ${EndIf}
    !insertmacro KvrUninstallFiles
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\${DISPLAY_NAME}.lnk"
    Delete "$DESKTOP\${DISPLAY_NAME}.lnk"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
