; The Windows installer: VEL_KV21X.dll for 64- and 32-bit programs with their
; import libraries, the header, an example, ProbeAddr.exe of the machine's
; architecture with a Start-menu shortcut, and an uninstaller in Apps & features.
; scripts/package-windows defines VERSION, TREE (the staged tree, laid out as
; installed) and OUTFILE.
;
; Silent: KV210-Setup-<version>.exe /S [/D=C:\path], Uninstall.exe /S.
; Without /D the installer goes where an installed version is, else to
; Program Files\KV210. An installed version is first removed by its own
; uninstaller, so that a file it had and this one lacks does not stay behind.
; The uninstaller deletes exactly the files, folders (when empty), shortcut and
; key listed here: a folder given with /D that holds other files keeps them.

Unicode true
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include x64.nsh
!include FileFunc.nsh
!include MUI2.nsh

!define PRODUCT "KV210"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define SHORTCUT "$SMPROGRAMS\ProbeAddr.lnk"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=0 ProductName "${PRODUCT}"
VIAddVersionKey /LANG=0 ProductVersion "${VERSION}"
VIAddVersionKey /LANG=0 FileVersion "${VERSION}"
VIAddVersionKey /LANG=0 CompanyName "VEL"
VIAddVersionKey /LANG=0 FileDescription "${PRODUCT} probe software setup"
VIAddVersionKey /LANG=0 LegalCopyright "The KV210 probe software developers"

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Every file of the tree in a folder but ProbeAddr.exe: ${Action} folder name.
!macro TreeFiles Action
  !insertmacro ${Action} include VEL_KV21X.h
  !insertmacro ${Action} examples probe_info.c
  !insertmacro ${Action} x64 VEL_KV21X.dll
  !insertmacro ${Action} x64 VEL_KV21X.lib
  !insertmacro ${Action} x64 libVEL_KV21X.dll.a
  !insertmacro ${Action} x86 VEL_KV21X.dll
  !insertmacro ${Action} x86 VEL_KV21X.lib
  !insertmacro ${Action} x86 libVEL_KV21X.dll.a
!macroend
!macro InstallFile Folder Name
  SetOutPath "$INSTDIR\${Folder}"
  File "${TREE}\${Folder}\${Name}"
!macroend
!macro RemoveFile Folder Name
  Delete "$INSTDIR\${Folder}\${Name}"
!macroend

; The machine's view of the registry (the 64-bit one on 64-bit Windows, where
; this 32-bit program would otherwise see the 32-bit one).
!macro MachineRegistryView
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
!macroend

Function .onInit
  !insertmacro MachineRegistryView
  ${If} $INSTDIR == ""  ; no /D=
    ReadRegStr $INSTDIR HKLM "${UNINSTALL_KEY}" InstallLocation
  ${EndIf}
  ${If} $INSTDIR == ""
  ${AndIf} ${RunningX64}
    StrCpy $INSTDIR "$PROGRAMFILES64\${PRODUCT}"
  ${ElseIf} $INSTDIR == ""
    StrCpy $INSTDIR "$PROGRAMFILES\${PRODUCT}"
  ${EndIf}
FunctionEnd

Section
  SetShellVarContext all
  ReadRegStr $1 HKLM "${UNINSTALL_KEY}" InstallLocation
  ${If} $1 != ""
  ${AndIf} ${FileExists} "$1\Uninstall.exe"
    ; _?= runs it in place and waits; it cannot delete itself then.
    ExecWait '"$1\Uninstall.exe" /S _?=$1'
    Delete "$1\Uninstall.exe"
    RMDir "$1"
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "${TREE}\README.txt"
  !insertmacro TreeFiles InstallFile
  ${If} ${RunningX64}
    SetOutPath "$INSTDIR\x64"
    File "${TREE}\x64\ProbeAddr.exe"
  ${Else}
    SetOutPath "$INSTDIR\x86"
    File "${TREE}\x86\ProbeAddr.exe"
  ${EndIf}
  StrCpy $0 "$OUTDIR\ProbeAddr.exe"
  CreateShortCut "${SHORTCUT}" "$0" "" "$0" 0 SW_SHOWNORMAL "" "Set the bus address of a KV210 probe"

  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayName "${PRODUCT} probe software"
  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayVersion "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" Publisher "VEL"
  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayIcon "$0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" InstallLocation "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" UninstallString '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" QuietUninstallString '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" NoModify 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" NoRepair 1
  ${GetSize} "$INSTDIR" "/S=0K" $1 $2 $3
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" EstimatedSize $1
SectionEnd

Function un.onInit
  !insertmacro MachineRegistryView
FunctionEnd

Section Uninstall
  SetShellVarContext all
  Delete "${SHORTCUT}"
  Delete "$INSTDIR\README.txt"
  !insertmacro TreeFiles RemoveFile
  Delete "$INSTDIR\x64\ProbeAddr.exe"
  Delete "$INSTDIR\x86\ProbeAddr.exe"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR\include"
  RMDir "$INSTDIR\examples"
  RMDir "$INSTDIR\x64"
  RMDir "$INSTDIR\x86"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
