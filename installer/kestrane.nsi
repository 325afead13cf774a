; Kestrane's installer, built by the Windows build (installer/CMakeLists.txt
; runs makensis with the defines checked below).
;
; It puts kestrane.exe and kestrane-location.exe in Program Files, makes the
; data folder C:\Kestrane, lets every signed-in user change files there, puts
; a default done.txt in it (never replacing one that is there), adds the Start-menu shortcut and, if chosen, a desktop shortcut that
; both start the program in the data folder, and registers the uninstaller in
; Add/Remove Programs. rapi.dll comes with the device connectivity software
; and is never part of this package.
;
; The uninstaller removes what the installer put in Program Files, the
; shortcuts and the Add/Remove Programs entry. It leaves C:\Kestrane alone:
; the upload files there are the location's archive, and a .pending file marks
; an upload the server has not confirmed yet. It leaves the location's
; settings (HKLM\SOFTWARE\ORVALLE\QUINTAR) alone too.
;
; Both run silently with /S.
;
; The Windows Installer package kestrane-<version>.msi (kestrane.wxs) installs
; the same. The two never share a PC: this installer refuses to run where the
; package is installed, and the package refuses where this one's entry in
; Add/Remove Programs is.

!ifndef KESTRANE_VERSION | KESTRANE_FILE_VERSION | KESTRANE_BITS | KESTRANE_EXE | KESTRANE_LOCATION_EXE | KESTRANE_ICON | KESTRANE_DONE_FILE | KESTRANE_UPGRADE_CODE | KESTRANE_OUTFILE
  !error "Build the installer with the Windows build: cmake --build --preset windows"
!endif

Unicode true
; The installer is the same kind of program as the programs it installs
; (KESTRANE_BITS): the shipped ones are 32-bit. It then uses the Program Files
; folder and the registry view of their kind: on 64-bit Windows a 32-bit
; program goes in Program Files (x86) and is listed in Add/Remove Programs
; from the 32-bit view. (The 64-bit build makes a 64-bit installer from this
; script too, so that it can be tested where 32-bit programs cannot run.)
!if ${KESTRANE_BITS} == 64
  Target amd64-unicode
!else
  Target x86-unicode
!endif
SetCompressor /SOLID lzma
ManifestDPIAware true
RequestExecutionLevel admin

!define PRODUCT "Kestrane"
!define PUBLISHER "Orvalle Inc."
; The program reads C:\Kestrane\done.txt by this very path, and its shortcuts
; start it in this folder, where it keeps the staging and upload files.
!define DATA_DIR "C:\Kestrane"
!define DONE_FILE "${DATA_DIR}\done.txt"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define UNINSTALLER "uninstall.exe"
!define SHORTCUT_NAME "${PRODUCT}.lnk"

Name "${PRODUCT}"
OutFile "${KESTRANE_OUTFILE}"
InstallDir "$PROGRAMFILES${KESTRANE_BITS}\${PRODUCT}"
; A reinstall or an upgrade goes where the previous installation is.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${KESTRANE_VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${KESTRANE_FILE_VERSION}"
VIFileVersion "${KESTRANE_FILE_VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${KESTRANE_VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${KESTRANE_VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright ${PUBLISHER}"

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

!define MUI_ICON "${KESTRANE_ICON}"
!define MUI_UNICON "${KESTRANE_ICON}"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC

!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Stops the installation or the removal with a message (which a silent run
; skips) when the last step failed.
!macro STOP_ON_ERROR MESSAGE
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONSTOP "${MESSAGE}" /SD IDOK
    Abort "${MESSAGE}"
  ${EndIf}
!macroend

Function .onInit
  ; For every user of the PC: the shop floor's accounts are not the one that installs.
  SetShellVarContext all
  SetRegView ${KESTRANE_BITS}

  ; Kestrane installed by its Windows Installer package, of any version: the
  ; package's upgrade code names them all.
  System::Call 'msi::MsiEnumRelatedProductsW(w "${KESTRANE_UPGRADE_CODE}", i 0, i 0, w .r1) i .r0'
  ${If} $0 == 0
    MessageBox MB_OK|MB_ICONSTOP "Kestrane is installed on this PC by its Windows Installer package ($1). Uninstall it first in Add/Remove Programs: that keeps the data folder ${DATA_DIR} and the location's settings." /SD IDOK
    Abort
  ${EndIf}
FunctionEnd

Function un.onInit
  SetShellVarContext all
  SetRegView ${KESTRANE_BITS}
FunctionEnd

Section "Kestrane" SecProgram
  SectionIn RO

  ClearErrors
  SetOutPath "$INSTDIR"
  File "/oname=kestrane.exe" "${KESTRANE_EXE}"
  File "/oname=kestrane-location.exe" "${KESTRANE_LOCATION_EXE}"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  !insertmacro STOP_ON_ERROR "Could not write the program files to $INSTDIR."

  ClearErrors
  CreateDirectory "${DATA_DIR}"
  !insertmacro STOP_ON_ERROR "Could not create the data folder ${DATA_DIR}."

  ; Staff must be able to change files in the data folder. A folder made in
  ; C:\ inherits that right only where C:\ has not been hardened, so grant
  ; it to Authenticated Users by their SID, the same in every language of
  ; Windows, for the folder and everything that will be in it. icacls comes
  ; with Windows Vista and later; on XP the folder keeps what C:\ gives it.
  ${If} ${FileExists} "$SYSDIR\icacls.exe"
    nsExec::ExecToLog '"$SYSDIR\icacls.exe" "${DATA_DIR}" /grant *S-1-5-11:(OI)(CI)M'
    ; Its exit status, or "error" when it could not start.
    Pop $0
    ClearErrors
    ${If} $0 != 0
      SetErrors
    ${EndIf}
    !insertmacro STOP_ON_ERROR "Could not let every signed-in user change files in ${DATA_DIR} (icacls: $0)."
  ${Else}
    DetailPrint "No icacls on this Windows: ${DATA_DIR} keeps the rights it inherits from C:\"
  ${EndIf}

  ; The done file's text is the location's own once it exists: put the
  ; default there only where there is none.
  ${IfNot} ${FileExists} "${DONE_FILE}"
    ClearErrors
    SetOutPath "${DATA_DIR}"
    File "/oname=done.txt" "${KESTRANE_DONE_FILE}"
    !insertmacro STOP_ON_ERROR "Could not create ${DONE_FILE}."
    DetailPrint "Created ${DONE_FILE}"
  ${Else}
    DetailPrint "Kept the existing ${DONE_FILE}"
  ${EndIf}

  ; A shortcut's working folder is the output folder at the time it is made.
  ClearErrors
  SetOutPath "${DATA_DIR}"
  CreateShortcut "$SMPROGRAMS\${SHORTCUT_NAME}" "$INSTDIR\kestrane.exe" "" "$INSTDIR\kestrane.exe" 0
  !insertmacro STOP_ON_ERROR "Could not create the Start-menu shortcut."

  ClearErrors
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${KESTRANE_VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$\"$INSTDIR\kestrane.exe$\",0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" "$\"$INSTDIR\${UNINSTALLER}$\""
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" "$\"$INSTDIR\${UNINSTALLER}$\" /S"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  !insertmacro STOP_ON_ERROR "Could not register ${PRODUCT} in Add/Remove Programs."
SectionEnd

Section "Desktop shortcut" SecDesktop
  ClearErrors
  SetOutPath "${DATA_DIR}"
  CreateShortcut "$DESKTOP\${SHORTCUT_NAME}" "$INSTDIR\kestrane.exe" "" "$INSTDIR\kestrane.exe" 0
  !insertmacro STOP_ON_ERROR "Could not create the desktop shortcut."
SectionEnd

Section "Uninstall"
  ; The programs go first: one that is running cannot be removed, and then
  ; everything else stays as it was, so that the removal can simply be
  ; tried again once the program is closed.
  ClearErrors
  Delete "$INSTDIR\kestrane.exe"
  Delete "$INSTDIR\kestrane-location.exe"
  !insertmacro STOP_ON_ERROR "Could not remove the program from $INSTDIR. Close Kestrane and try again."

  Delete "$SMPROGRAMS\${SHORTCUT_NAME}"
  Delete "$DESKTOP\${SHORTCUT_NAME}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Delete "$INSTDIR\${UNINSTALLER}"
  ; Only when empty: a file the installer did not put there stays, and so does its folder.
  RMDir "$INSTDIR"
  ; The data folder ${DATA_DIR} and the location's settings are kept on purpose.
SectionEnd
