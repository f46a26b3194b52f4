; GPS Fennik setup: installs for the current user only, so it needs no
; administrator, and the folder stays writable for the settings, the log and
; the data that the program keeps beside its executable.
;
; The build runs makensis with these symbols:
;   VERSION     x.y.z of the program
;   PUBLISHER   shown in Apps & features
;   EXE         GpsFennik.exe
;   STRINGS_EN  the English String_Table_.dll
;   STRINGS_DE  the German String_Table_.dll
;   ART         the folder with the program's icon and the pages' picture
;   LICENSE     LICENSE.txt
;   OUTFILE     the setup to write
;   SIGN        optional: a shell command that signs the file named after it in
;               place; then the uninstaller and the setup are signed
;
; Command line: /S silent, /D=folder (last), /LANG=en or /LANG=de chooses the
; language without asking, /AUTOSTART=0 or /AUTOSTART=1 sets the start at
; sign-in (default: on for a first install, as it was for an upgrade).

Unicode true
Target amd64-unicode
RequestExecutionLevel user
SetCompressor /SOLID lzma
ManifestDPIAware true

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WinMessages.nsh

!define APP_NAME "GPS Fennik"
!define APP_EXE "GpsFennik.exe"
; The program's own names: its main window class and its start entry.
!define WINDOW_CLASS "KIVAR M415 GPS Fennik"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "KIVAR M415 GPS Fennik"
; Where Task Manager keeps its start-up switch for a Run value, beside the
; Run key of the same root; an odd first byte means switched off.
!define APPROVED_KEY "Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\GpsFennik"
!define SHORTCUT "$SMPROGRAMS\${APP_NAME}.lnk"
; How long a running copy may take to finish what it is doing and end.
!define CLOSE_WAIT_MS 30000

Name "${APP_NAME}"
OutFile "${OUTFILE}"
!ifdef SIGN
  ; The uninstaller is signed as it is made, before it is packed into the setup.
  !uninstfinalize `${SIGN} '%1'` = 0
  !finalize `${SIGN} '%1'` = 0
!endif
InstallDir "$LOCALAPPDATA\Programs\${APP_NAME}"
; An upgrade goes where the last installation went.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${APP_NAME} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"

!define MUI_ICON "${ART}/GpsFennik.ico"
!define MUI_UNICON "${ART}/GpsFennik.ico"
!define MUI_WELCOMEFINISHPAGE_BITMAP "${ART}/wizard.bmp"
!define MUI_UNWELCOMEFINISHPAGE_BITMAP "${ART}/wizard.bmp"
!define MUI_ABORTWARNING
!define MUI_UNABORTWARNING
; The language chosen is kept with the Uninstall entry: the next setup keeps
; it and the uninstaller speaks it.
!define MUI_LANGDLL_REGISTRY_ROOT HKCU
!define MUI_LANGDLL_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MUI_LANGDLL_REGISTRY_VALUENAME "Language"
; .onInit asks only when there is no installed language to keep.
!define MUI_LANGDLL_ALWAYSSHOW
; Asked before any language is known: both at once.
!define MUI_LANGDLL_WINDOWTITLE "${APP_NAME} Setup"
!define MUI_LANGDLL_INFO "Please choose a language.$\r$\nBitte wählen Sie eine Sprache."

!define MUI_WELCOMEPAGE_TEXT "$(WelcomeText)"
!insertmacro MUI_PAGE_WELCOME
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DirectoryLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\${APP_EXE}"
; The finish page's second box (MUI's "show readme") is the start at sign-in.
!define MUI_FINISHPAGE_SHOWREADME
!define MUI_FINISHPAGE_SHOWREADME_TEXT "$(AutoStartBox)"
!define MUI_FINISHPAGE_SHOWREADME_FUNCTION FinishAutoStart
!define MUI_PAGE_CUSTOMFUNCTION_SHOW FinishShow
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE FinishLeave
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_COMPONENTSPAGE_TEXT_TOP "$(UnComponentsTop)"
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "German"
!insertmacro MUI_RESERVEFILE_LANGDLL

VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${APP_NAME}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${APP_NAME} Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Copyright (c) 2026 ${PUBLISHER}"

LangString WelcomeText ${LANG_ENGLISH} "Setup will install ${APP_NAME} ${VERSION} for you alone, in a folder of your own: no administrator rights are needed.$\r$\n$\r$\n${APP_NAME} keeps the satellite data of your KIVAR M415 GPS device up to date.$\r$\n$\r$\nIf ${APP_NAME} is running, Setup closes it first. Your settings, log and downloaded data are kept.$\r$\n$\r$\n$_CLICK"
LangString WelcomeText ${LANG_GERMAN} "Dieser Assistent installiert ${APP_NAME} ${VERSION} nur für Sie, in einen eigenen Ordner: Administratorrechte sind nicht nötig.$\r$\n$\r$\n${APP_NAME} hält die Satellitendaten Ihres GPS-Geräts KIVAR M415 aktuell.$\r$\n$\r$\nLäuft ${APP_NAME} gerade, beendet der Assistent es zuerst. Ihre Einstellungen, das Protokoll und die heruntergeladenen Daten bleiben erhalten.$\r$\n$\r$\n$_CLICK"
LangString NotWritable ${LANG_ENGLISH} "You cannot write to the folder$\r$\n$INSTDIR$\r$\n$\r$\n${APP_NAME} keeps its settings, log and data beside the program, so it needs a folder you can write to. Please choose another folder."
LangString NotWritable ${LANG_GERMAN} "In den Ordner$\r$\n$INSTDIR$\r$\ndürfen Sie nicht schreiben.$\r$\n$\r$\n${APP_NAME} legt Einstellungen, Protokoll und Daten neben dem Programm ab und braucht daher einen Ordner, in den Sie schreiben dürfen. Bitte wählen Sie einen anderen Ordner."
LangString Closing ${LANG_ENGLISH} "Closing the running ${APP_NAME}..."
LangString Closing ${LANG_GERMAN} "Das laufende ${APP_NAME} wird beendet..."
LangString StillRunning ${LANG_ENGLISH} "${APP_NAME} is still running: it finishes its work before it ends.$\r$\n$\r$\nClick Retry once it has ended, or Cancel to stop."
LangString StillRunning ${LANG_GERMAN} "${APP_NAME} läuft noch: Es beendet erst seine Arbeit.$\r$\n$\r$\nKlicken Sie auf Wiederholen, sobald es beendet ist, oder auf Abbrechen."
LangString FilesInUse ${LANG_ENGLISH} "Some files of ${APP_NAME} in$\r$\n$INSTDIR$\r$\ncould not be replaced: another program holds them open. Close it and run Setup again."
LangString FilesInUse ${LANG_GERMAN} "Einige Dateien von ${APP_NAME} in$\r$\n$INSTDIR$\r$\nließen sich nicht ersetzen: Ein anderes Programm hält sie geöffnet. Schließen Sie es und starten Sie Setup erneut."
LangString AutoStartBox ${LANG_ENGLISH} "Start ${APP_NAME} when I sign in to Windows"
LangString AutoStartBox ${LANG_GERMAN} "${APP_NAME} bei der Anmeldung an Windows starten"
LangString UnProgram ${LANG_ENGLISH} "${APP_NAME} program files"
LangString UnProgram ${LANG_GERMAN} "Programmdateien von ${APP_NAME}"
LangString UnData ${LANG_ENGLISH} "Settings, log and downloaded data"
LangString UnData ${LANG_GERMAN} "Einstellungen, Protokoll, Satellitendaten"
LangString UnComponentsTop ${LANG_ENGLISH} "The program files are always removed. Tick the second line to delete your settings, log and downloaded data too; otherwise they stay for a later installation."
LangString UnComponentsTop ${LANG_GERMAN} "Die Programmdateien werden immer entfernt. Kreuzen Sie die zweite Zeile an, um auch Ihre Einstellungen, das Protokoll und die Satellitendaten zu löschen; sonst bleiben sie für eine spätere Installation erhalten."
LangString MachineRunLeft ${LANG_ENGLISH} "The start entry for all users stays: removing it needs administrator rights."
LangString MachineRunLeft ${LANG_GERMAN} "Der Starteintrag für alle Benutzer bleibt: Ihn zu entfernen, braucht Administratorrechte."

Var OldDir      ; the folder of the installation this setup updates, from its Uninstall entry
Var AutoStart   ; /AUTOSTART= as given: 0, 1, or empty
Var WasRunning  ; 1 once a running copy was closed: it is started again at the end
Var EntryRoot   ; HKCU or HKLM: the Run key whose value starts this installation, or empty

; Asks a running copy to end through its main window and waits for its
; process. The program finishes a file it is writing before it ends, so it is
; never killed; when it takes too long the user decides (silent: give up).
!macro CLOSE_RUNNING_PROGRAM un
Function ${un}CloseRunningProgram
  retry:
  FindWindow $0 "${WINDOW_CLASS}"
  ${If} $0 == 0
    Return
  ${EndIf}
  StrCpy $WasRunning 1
  DetailPrint "$(Closing)"
  System::Call 'user32::GetWindowThreadProcessId(p r0, *i 0 r1) i'
  System::Call 'kernel32::OpenProcess(i 0x00100000, i 0, i r1) p .r2' ; SYNCHRONIZE
  SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=5000
  ${If} $2 P<> 0
    System::Call 'kernel32::WaitForSingleObject(p r2, i ${CLOSE_WAIT_MS}) i .r3'
    System::Call 'kernel32::CloseHandle(p r2)'
  ${Else}
    ; No handle on the process: watch its window instead.
    StrCpy $3 0
    wait:
    IsWindow $0 0 gone
    ${If} $3 < ${CLOSE_WAIT_MS}
      Sleep 250
      IntOp $3 $3 + 250
      Goto wait
    ${EndIf}
    gone:
  ${EndIf}
  FindWindow $0 "${WINDOW_CLASS}"
  ${If} $0 != 0
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(StillRunning)" /SD IDCANCEL IDRETRY retry
    Abort
  ${EndIf}
FunctionEnd
!macroend
!insertmacro CLOSE_RUNNING_PROGRAM ""
!insertmacro CLOSE_RUNNING_PROGRAM "un."

; SHCTX is the Run key's root $0 (HKCU or HKLM); $1 its handle for System calls.
Function UseRoot
  ${If} $0 == "HKLM"
    SetShellVarContext all
    StrCpy $1 0x80000002
  ${Else}
    SetShellVarContext current
    StrCpy $1 0x80000001
  ${EndIf}
FunctionEnd

; $2 = 1 when Task Manager has the entry under the root of UseRoot switched
; off, else 0.
Function IsSwitchedOff
  StrCpy $2 0
  System::Alloc 64
  Pop $3
  System::Call 'advapi32::RegGetValueW(p r1, w "${APPROVED_KEY}", w "${RUN_VALUE}", i 0xFFFF, p 0, p r3, *i 64) i .r4'
  System::Call '*$3(&i1 .r5)'
  System::Free $3
  ${If} $4 = 0
    IntOp $2 $5 & 1
  ${EndIf}
FunctionEnd

; Sets $EntryRoot to $0 when the Run value under $0 starts the program of
; $INSTDIR or of $OldDir (quoted or not), and $2 to 1 when Task Manager has it
; switched off. The value's name is shared by every copy of the program: one
; naming another folder belongs to another copy and is left alone.
Function LookForStartEntry
  Call UseRoot
  ClearErrors
  ReadRegStr $3 SHCTX "${RUN_KEY}" "${RUN_VALUE}"
  ${IfNot} ${Errors}
    StrCpy $4 $3 1
    ${If} $4 == '"'
      StrCpy $3 $3 "" 1
      StrCpy $4 $3 "" -1
      ${If} $4 == '"'
        StrCpy $3 $3 -1
      ${EndIf}
    ${EndIf}
    ${If} $3 == "$INSTDIR\${APP_EXE}"
    ${OrIf} $3 == "$OldDir\${APP_EXE}"
      StrCpy $EntryRoot $0
      Call IsSwitchedOff
    ${EndIf}
  ${EndIf}
  SetShellVarContext current
FunctionEnd

; $EntryRoot and $2 as above, the user's own key first.
Function FindStartEntry
  StrCpy $EntryRoot ""
  StrCpy $2 0
  StrCpy $0 "HKCU"
  Call LookForStartEntry
  ${If} $EntryRoot == ""
    StrCpy $0 "HKLM"
    Call LookForStartEntry
  ${EndIf}
FunctionEnd

; $0 = 1: Windows starts the installed program at sign-in. An entry of this
; installation stays in its root (the program's own box puts one for every
; user under HKLM), naming the new folder; else one goes under HKCU, as the
; program writes it for a copy in the profile. Either is switched on in Task
; Manager too, as a tick in the program does (a switch left from an earlier
; installation would hold a new entry off).
; $0 = 0: no entry starts this installation.
; $0 empty: as it was, with a moved installation's entry naming the new folder.
Function SetStartEntry
  StrCpy $6 $0
  Call FindStartEntry
  StrCpy $0 $EntryRoot
  ${If} $6 == 0
    ${If} $0 != ""
      Call UseRoot
      DeleteRegValue SHCTX "${RUN_KEY}" "${RUN_VALUE}"
    ${EndIf}
  ${ElseIf} $6 == 1
  ${OrIf} $0 != ""
    ${If} $0 == ""
      StrCpy $0 "HKCU"
    ${EndIf}
    Call UseRoot
    ; Quoted: unquoted, "C:\GPS Tools\GpsFennik.exe" would first start a C:\GPS.exe.
    WriteRegStr SHCTX "${RUN_KEY}" "${RUN_VALUE}" '"$INSTDIR\${APP_EXE}"'
    Call IsSwitchedOff
    ${If} $6 == 1
    ${AndIf} $2 == 1
      WriteRegBin SHCTX "${APPROVED_KEY}" "${RUN_VALUE}" 020000000000000000000000
    ${EndIf}
  ${EndIf}
  SetShellVarContext current
FunctionEnd

; The box shows what Windows will do, as the program's own box does.
Function FinishShow
  Call FindStartEntry
  ${If} $EntryRoot != ""
  ${AndIf} $2 == 0
    ${NSD_Check} $mui.FinishPage.ShowReadme
  ${Else}
    ${NSD_Uncheck} $mui.FinishPage.ShowReadme
  ${EndIf}
FunctionEnd

; Before the "Run" box's start, so that the program sees its entry.
Function FinishLeave
  ${NSD_GetState} $mui.FinishPage.ShowReadme $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $0 1
  ${Else}
    StrCpy $0 0
  ${EndIf}
  Call SetStartEntry
FunctionEnd

; MUI calls this for a ticked box instead of opening a readme; FinishLeave
; has done the work.
Function FinishAutoStart
FunctionEnd

; Pushes 1 when a file can be written into $INSTDIR, else 0. A folder made
; only for the test is removed again, so a cancelled setup leaves none.
Function IsFolderWritable
  Push $0
  Push $1
  StrCpy $1 "existed"
  ${IfNot} ${FileExists} "$INSTDIR\*.*"
    StrCpy $1 "new"
  ${EndIf}
  ClearErrors
  CreateDirectory "$INSTDIR"
  FileOpen $0 "$INSTDIR\~GpsFennik-setup.tmp" w
  ${If} ${Errors}
    StrCpy $0 0
  ${Else}
    FileClose $0
    Delete "$INSTDIR\~GpsFennik-setup.tmp"
    StrCpy $0 1
  ${EndIf}
  ${If} $1 == "new"
    RMDir "$INSTDIR"
  ${EndIf}
  Pop $1
  Exch $0
FunctionEnd

Function DirectoryLeave
  Call IsFolderWritable
  Pop $0
  ${If} $0 == 0
    MessageBox MB_OK|MB_ICONEXCLAMATION "$(NotWritable)"
    Abort
  ${EndIf}
FunctionEnd

Function .onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/LANG=" $R1
  ${If} ${Errors}
    ; An upgrade keeps the installed language; a first install asks, with the
    ; language of Windows chosen (silent: takes it).
    ReadRegStr $R2 HKCU "${UNINSTALL_KEY}" "Language"
    ${If} $R2 == ${LANG_ENGLISH}
    ${OrIf} $R2 == ${LANG_GERMAN}
      StrCpy $LANGUAGE $R2
    ${Else}
      StrCpy $R3 $LANGUAGE
      !insertmacro MUI_LANGDLL_DISPLAY
      ; A value this setup does not know (damaged, or from another version)
      ; names no language: keep Windows' one when nobody was asked.
      ${If} $LANGUAGE != ${LANG_ENGLISH}
      ${AndIf} $LANGUAGE != ${LANG_GERMAN}
        StrCpy $LANGUAGE $R3
      ${EndIf}
    ${EndIf}
  ${ElseIf} $R1 == "en"
    StrCpy $LANGUAGE ${LANG_ENGLISH}
  ${ElseIf} $R1 == "de"
    StrCpy $LANGUAGE ${LANG_GERMAN}
  ${Else}
    ; A typing error in a deployment must not install some other language.
    MessageBox MB_OK|MB_ICONSTOP "Unknown language /LANG=$R1: use /LANG=en or /LANG=de." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}

  ClearErrors
  ${GetOptions} $R0 "/AUTOSTART=" $AutoStart
  ${If} ${Errors}
    StrCpy $AutoStart ""
  ${ElseIf} $AutoStart != "0"
  ${AndIf} $AutoStart != "1"
    MessageBox MB_OK|MB_ICONSTOP "Unknown /AUTOSTART=$AutoStart: use /AUTOSTART=0 or /AUTOSTART=1." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
  ReadRegStr $OldDir HKCU "${UNINSTALL_KEY}" "InstallLocation"
FunctionEnd

Section "-Program"
  Call IsFolderWritable
  Pop $0
  ${If} $0 == 0
    MessageBox MB_OK|MB_ICONSTOP "$(NotWritable)" /SD IDOK
    Abort
  ${EndIf}
  ${If} $OldDir == ""
    StrCpy $OldDir $INSTDIR
  ${EndIf}
  ; A first install starts the program at sign-in unless told not to; an
  ; upgrade (or an install over a copy) keeps what the user chose.
  ${If} $AutoStart == ""
  ${AndIfNot} ${FileExists} "$INSTDIR\${APP_EXE}"
  ${AndIfNot} ${FileExists} "$OldDir\${APP_EXE}"
    StrCpy $AutoStart 1
  ${EndIf}
  Call CloseRunningProgram

  ; Only the program's own files: Kelva_config.ini, Kelva_log.txt and
  ; Ephemeris.ee of an earlier installation stay as they are.
  ClearErrors
  SetOutPath "$INSTDIR"
  File "${EXE}"
  ${If} $LANGUAGE = ${LANG_GERMAN}
    File "/oname=String_Table_.dll" "${STRINGS_DE}"
  ${Else}
    File "/oname=String_Table_.dll" "${STRINGS_EN}"
  ${EndIf}
  File "${LICENSE}"
  ; Both languages stay at hand for a later switch.
  SetOutPath "$INSTDIR\lang\en"
  File "${STRINGS_EN}"
  SetOutPath "$INSTDIR\lang\de"
  File "${STRINGS_DE}"
  SetOutPath "$INSTDIR"
  ; A file held open elsewhere is skipped without a word when silent: fail
  ; rather than leave a mix of old and new files that looks installed.
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONSTOP "$(FilesInUse)" /SD IDOK
    Abort
  ${EndIf}

  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "${SHORTCUT}" "$INSTDIR\${APP_EXE}" "" "$INSTDIR\${APP_EXE}" 0

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${APP_NAME}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${APP_EXE},0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ; Also when silent, where no page saves the choice.
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Language" $LANGUAGE
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0

  StrCpy $0 $AutoStart
  Call SetStartEntry
  ; The copy this setup closed comes back, hidden in the notification area as
  ; at sign-in, also when silent: the device must not go unattended until the
  ; next sign-in. The finish page's "Run" then only opens its window.
  ${If} $WasRunning == 1
    Exec '"$INSTDIR\${APP_EXE}"'
  ${EndIf}
SectionEnd

Function un.onInit
  !insertmacro MUI_UNGETLANGUAGE
FunctionEnd

Section "!un.$(UnProgram)" UnProgram
  SectionIn RO
  Call un.CloseRunningProgram
  Delete "$INSTDIR\${APP_EXE}"
  Delete "$INSTDIR\String_Table_.dll"
  Delete "$INSTDIR\LICENSE.txt"
  ; A download cut short leaves its temporary file behind.
  Delete "$INSTDIR\packedEphemeris.ee"
  Delete "$INSTDIR\lang\en\String_Table_.dll"
  Delete "$INSTDIR\lang\de\String_Table_.dll"
  RMDir "$INSTDIR\lang\en"
  RMDir "$INSTDIR\lang\de"
  RMDir "$INSTDIR\lang"
  Delete "${SHORTCUT}"

  ; The start entry, wherever the program put it, and Task Manager's switch
  ; for it, which would otherwise hold a later entry off.
  DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
  DeleteRegValue HKCU "${APPROVED_KEY}" "${RUN_VALUE}"
  DeleteRegValue HKLM "${APPROVED_KEY}" "${RUN_VALUE}"
  ClearErrors
  DeleteRegValue HKLM "${RUN_KEY}" "${RUN_VALUE}"
  ${If} ${Errors}
    ; Failed or absent: only a value still there needs a word.
    ClearErrors
    ReadRegStr $0 HKLM "${RUN_KEY}" "${RUN_VALUE}"
    ${IfNot} ${Errors}
      DetailPrint "$(MachineRunLeft)"
    ${EndIf}
  ${EndIf}
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd

Section /o "un.$(UnData)" UnData
  Delete "$INSTDIR\Kelva_config.ini"
  Delete "$INSTDIR\Kelva_log.txt"
  Delete "$INSTDIR\Ephemeris.ee"
SectionEnd

Section "-un.Folder"
  Delete "$INSTDIR\uninstall.exe"
  ; Never recursive: the folder may hold files that are not ours.
  RMDir "$INSTDIR"
SectionEnd
