; The Zelmora installer. makensis gets VERSION, STAGE (the folder holding
; zelmora.exe and the manuals), OUTFILE, PROGRAMFILES_DIR and ARCH.
Unicode true
SetCompressor /SOLID lzma

Name "Zelmora ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "${PROGRAMFILES_DIR}\Zelmora"
RequestExecutionLevel admin
ShowInstDetails show

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Zelmora"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
!if "${ARCH}" == "win64"
    SetRegView 64
!endif
FunctionEnd

Function un.onInit
!if "${ARCH}" == "win64"
    SetRegView 64
!endif
FunctionEnd

Section "Zelmora"
    SetOutPath "$INSTDIR"
    File "${STAGE}/zelmora.exe"
    File "${STAGE}/zelmora-cli.exe"
    File "${STAGE}/Operation Manual_Eng.pdf"
    File "${STAGE}/Operation Manual_Chs.pdf"
    WriteUninstaller "$INSTDIR\Uninstall.exe"

    ; The shortcut starts the program in its own folder (the output folder
    ; set here), where the Help menu looks for the manuals.
    SetShellVarContext all
    CreateDirectory "$SMPROGRAMS\Zelmora"
    SetOutPath "$INSTDIR"
    CreateShortcut "$SMPROGRAMS\Zelmora\Zelmora.lnk" "$INSTDIR\zelmora.exe" "" "$INSTDIR\zelmora.exe" 0
    CreateShortcut "$SMPROGRAMS\Zelmora\Uninstall Zelmora.lnk" "$INSTDIR\Uninstall.exe"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Zelmora"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Zelmora"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\zelmora.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    SetShellVarContext all
    Delete "$SMPROGRAMS\Zelmora\Zelmora.lnk"
    Delete "$SMPROGRAMS\Zelmora\Uninstall Zelmora.lnk"
    RMDir "$SMPROGRAMS\Zelmora"
    Delete "$INSTDIR\zelmora.exe"
    Delete "$INSTDIR\zelmora-cli.exe"
    Delete "$INSTDIR\Operation Manual_Eng.pdf"
    Delete "$INSTDIR\Operation Manual_Chs.pdf"
    Delete "$INSTDIR\Uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
