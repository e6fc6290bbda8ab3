; The Windows installer: the desktop program, the server without a window and the simulated
; terminal under Program Files, a Start menu entry for the desktop program, and an uninstaller
; listed in Add/Remove Programs that removes exactly what was installed.
;
; makensis -DSTAGE=DIR -DOUTFILE=FILE -DVERSION=TEXT vantorix.nsi
;   STAGE holds vantorix.exe, vantorixd.exe, vantorix-terminal.exe and README.txt.
; Silent use: vantorix-setup.exe /S [/D=FOLDER]; "FOLDER\uninstall.exe" /S.

; A 64-bit installer for 64-bit programs: it starts nowhere else, and it sees the 64-bit
; Program Files folder and registry without redirection.
Target amd64-unicode
SetCompressor /SOLID lzma

!include "FileFunc.nsh"

!ifndef STAGE
  !error "STAGE (the folder with the files to install) is not defined"
!endif
!ifndef OUTFILE
  !define OUTFILE "vantorix-setup.exe"
!endif
!ifndef VERSION
  !define VERSION "0"
!endif

!define PRODUCT "Vantorix"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantorix"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
; An earlier installation's folder, when there is one.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "Install"
  SetOutPath "$INSTDIR"
  File "${STAGE}\vantorix.exe"
  File "${STAGE}\vantorixd.exe"
  File "${STAGE}\vantorix-terminal.exe"
  File "${STAGE}\README.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\vantorix.exe" "" "$INSTDIR\vantorix.exe" 0

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\vantorix.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  ; The size Add/Remove Programs shows, in KiB.
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "$INSTDIR\vantorix.exe"
  Delete "$INSTDIR\vantorixd.exe"
  Delete "$INSTDIR\vantorix-terminal.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  ; Not /r: files the site put there itself (a terminal profile, say) stay, and so does the
  ; folder that holds them.
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
