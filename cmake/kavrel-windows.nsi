; The Windows installer: kavrel-line.exe, kavrel-image.exe, the first-stage loader file beside them, the
; README and the manual, Start menu entries, an uninstaller and the entry in Apps & features.
; Built by scripts/package-windows.sh: makensis -DVERSION=... -DSTAGE=<folder> -DOUTFILE=<file> this file.

; A 64-bit installer for 64-bit programs (it also runs where no 32-bit layer is installed).
Target amd64-unicode
SetCompressor /SOLID lzma

!define PRODUCT "Kavrel"
!define PUBLISHER "Kestrin"
!define APP_KEY "Software\Kestrin\Kavrel"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kavrel"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${APP_KEY}" "InstallDir"
RequestExecutionLevel admin
ShowInstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  ; 64-bit programs: the 64-bit view of the registry; Start menu entries for every user.
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "Kavrel"
  SetOutPath "$INSTDIR"
  File "${STAGE}\kavrel-line.exe"
  File "${STAGE}\kavrel-image.exe"
  ; The loader file lives beside the programs, where they look for it.
  File "${STAGE}\tz5_sfl.hex"
  File "${STAGE}\README.txt"
  File "${STAGE}\GNSS.html"
  File "${STAGE}\kavrel-programming.png"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  ; The programs are command-line tools: a prompt in their folder.
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Kavrel command prompt.lnk" "$SYSDIR\cmd.exe" '/K cd /d "$INSTDIR"'
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Kavrel manual.lnk" "$INSTDIR\GNSS.html"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\README.lnk" "$INSTDIR\README.txt"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall Kavrel.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${APP_KEY}" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kavrel-line.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
SectionEnd

Section "Uninstall"
  Delete "$INSTDIR\kavrel-line.exe"
  Delete "$INSTDIR\kavrel-image.exe"
  Delete "$INSTDIR\tz5_sfl.hex"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\GNSS.html"
  Delete "$INSTDIR\kavrel-programming.png"
  Delete "$INSTDIR\uninstall.exe"
  ; Only an empty folder goes: files the user put there stay.
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${PRODUCT}\Kavrel command prompt.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Kavrel manual.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\README.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall Kavrel.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${APP_KEY}"
  DeleteRegKey /ifempty HKLM "Software\Kestrin"
SectionEnd
