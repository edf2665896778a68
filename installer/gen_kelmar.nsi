; The installer of Kelmar for Winamp: puts Gen_Kelmar.dll and its help page
; into the player's Plugins folder and registers an uninstaller. Built by
; scripts/package.sh:
;   makensis -DDIST=<folder with the files> -DOUTFILE=<setup.exe> gen_kelmar.nsi
; Silent mode (/S) returns 0 on success, 2 when the player is running, 3 when no
; player folder was found, 1 when the user cancelled.

Unicode true
!include "LogicLib.nsh"
!include "FileFunc.nsh"

!define PRODUCT "Kelmar for Winamp"
!define VERSION "1.2.1"
!define BUILD "592"
!define PUBLISHER "Kelmar"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Gen_Kelmar"
!define UNINSTALLER "Gen_Kelmar-uninstall.exe"
!define PLAYER_WINDOW "Winamp v1.x"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
; The player's folder is usually under Program Files.
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show
InstallDirRegKey HKCU "Software\Winamp" ""

VIProductVersion "${VERSION}.${BUILD}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} installer"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}.${BUILD}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}"

Var found  ; the player's folder came from its registry entry and passed the check

Page directory SkipWhenFound "" ""
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

DirText "Setup could not find the Winamp player by itself. Choose the folder that holds \
winamp.exe and its Plugins folder." "Winamp folder"

; A folder holds the player when it has winamp.exe and a Plugins folder.
!macro IsPlayerFolder folder result
  StrCpy ${result} 0
  ${If} ${FileExists} "${folder}\winamp.exe"
  ${AndIf} ${FileExists} "${folder}\Plugins\*.*"
    StrCpy ${result} 1
  ${EndIf}
!macroend

; Windows keeps a loaded DLL locked: the player must be closed first.
!macro WaitForPlayerToClose un
  Function ${un}WaitForPlayerToClose
    ${Do}
      FindWindow $0 "${PLAYER_WINDOW}"
      ${If} $0 == 0
        Return
      ${EndIf}
      ${If} ${Silent}
        SetErrorLevel 2
        Quit
      ${EndIf}
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
        "Winamp is running. Please close it, then press Retry." IDRETRY retry
      SetErrorLevel 1
      Quit
      retry:
    ${Loop}
  FunctionEnd
!macroend
!insertmacro WaitForPlayerToClose ""
!insertmacro WaitForPlayerToClose "un."

Function .onInit
  Call WaitForPlayerToClose
  StrCpy $found 0
  ; The player's own entry, then its uninstall entry.
  ${If} $INSTDIR != ""
    !insertmacro IsPlayerFolder "$INSTDIR" $found
  ${EndIf}
  ${If} $found == 0
    ReadRegStr $0 HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Winamp" "UninstallString"
    ${If} $0 == ""
      ReadRegStr $0 HKCU "Software\Microsoft\Windows\CurrentVersion\Uninstall\Winamp" "UninstallString"
    ${EndIf}
    ${If} $0 != ""
      StrCpy $1 $0 1
      ${If} $1 == '"'
        StrCpy $0 $0 "" 1
        StrCpy $0 $0 -1
      ${EndIf}
      ${GetParent} $0 $0
      !insertmacro IsPlayerFolder "$0" $found
      ${If} $found == 1
        StrCpy $INSTDIR $0
      ${EndIf}
    ${EndIf}
  ${EndIf}
  ${If} $found == 0
  ${AndIf} ${Silent}
    SetErrorLevel 3
    Abort
  ${EndIf}
FunctionEnd

Function SkipWhenFound
  ${If} $found == 1
    Abort
  ${EndIf}
FunctionEnd

; A folder without the player is refused: Next stays disabled.
Function .onVerifyInstDir
  !insertmacro IsPlayerFolder "$INSTDIR" $0
  ${If} $0 == 0
    Abort
  ${EndIf}
FunctionEnd

Section "Kelmar for Winamp"
  Call WaitForPlayerToClose
  SetOutPath "$INSTDIR\Plugins"
  ; Over an earlier copy the files are replaced; settings, log and cache stay.
  File "${DIST}\Gen_Kelmar.dll"
  File "${DIST}\kelmar.html"
  File "${DIST}\user-guide.html"
  File "${DIST}\first-start.png"
  File "${DIST}\config-dialog.png"
  File "${DIST}\services-window.png"
  File "${DIST}\service-form.png"
  File "${DIST}\plays-window.png"
  File "${DIST}\edit-play.png"
  File "${DIST}\config-dialog-de.png"
  File "${DIST}\config-dialog-ja.png"
  WriteUninstaller "$INSTDIR\Plugins\${UNINSTALLER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR\Plugins"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Plugins\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Plugins\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

!macro TellOfUnsentPlays folder
  ${If} ${FileExists} "${folder}\kelmar.99.cache"
    ${GetSize} "${folder}" "/M=kelmar.99.cache /S=0B /G=0" $0 $1 $2
    ${If} $0 > 0
      MessageBox MB_OK|MB_ICONINFORMATION \
        "The cache still holds plays that were not sent to Kelmar. It is kept in$\r$\n\
${folder}\kelmar.99.cache$\r$\nand sent when the plug-in is installed again." /SD IDOK
      DetailPrint "Unsent plays are kept in ${folder}\kelmar.99.cache"
    ${EndIf}
  ${EndIf}
  ; Each extra service's waiting plays, in a file of its own.
  FindFirst $3 $4 "${folder}\kelmar.service*.cache"
  ${DoWhile} $4 != ""
    ${GetSize} "${folder}" "/M=$4 /S=0B /G=0" $0 $1 $2
    ${If} $0 > 0
      MessageBox MB_OK|MB_ICONINFORMATION \
        "A cache still holds plays that were not sent to another service. It is kept in$\r$\n\
${folder}\$4$\r$\nand sent when the plug-in is installed again." /SD IDOK
      DetailPrint "Unsent plays are kept in ${folder}\$4"
    ${EndIf}
    FindNext $3 $4
  ${Loop}
  FindClose $3
!macroend

Function un.onInit
  Call un.WaitForPlayerToClose
FunctionEnd

Section "Uninstall"
  ; $INSTDIR is the Plugins folder here, where the uninstaller lives.
  Delete "$INSTDIR\Gen_Kelmar.dll"
  Delete "$INSTDIR\kelmar.html"
  Delete "$INSTDIR\user-guide.html"
  Delete "$INSTDIR\first-start.png"
  Delete "$INSTDIR\config-dialog.png"
  Delete "$INSTDIR\services-window.png"
  Delete "$INSTDIR\service-form.png"
  Delete "$INSTDIR\plays-window.png"
  Delete "$INSTDIR\edit-play.png"
  Delete "$INSTDIR\config-dialog-de.png"
  Delete "$INSTDIR\config-dialog-ja.png"
  Delete "$INSTDIR\${UNINSTALLER}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; The user's settings, log, cache and play history stay: a later install picks them up.
  DetailPrint "Your settings, the log, the cache and your play history are kept."
  DetailPrint "Your play history: $APPDATA\Kelmar\kelmar.history.tsv"
  ; Beside the plug-in, or in the user's own folder when that could not be written.
  !insertmacro TellOfUnsentPlays "$INSTDIR"
  !insertmacro TellOfUnsentPlays "$APPDATA\Kelmar"
SectionEnd
