; Kavelor-1.0.1-setup.exe: the Japanese setup wizard a user double-clicks, and its uninstaller.
;
; What is installed, and when it is taken back, is decided by install.cmd and uninstall.cmd, the scripts of
; the archive: the setup program runs them from its temporary folder with the folder the user chose, so the
; archive and the setup program follow one set of rules (the driver must load or nothing stays; an earlier
; installation keeps its service, driver and programs; the service goes only once no device names the
; filter). Only what a setup program adds is done here: the Programs and Features entry, the Start-menu
; folder, Kavelor's start at logon for every user, and the uninstaller.
;
; makensis -DSTAGE=<folder of the archive's files> -DOUTFILE=<setup.exe> -DICON=<Kavelor.ico>
;          [-DSIGN=<command that signs the file it is given>] Kavelor.nsi
;
; The program is a 64-bit one, like the driver and Kavset: it reaches the 64-bit registry, Program Files
; and system folder without redirection, and 32-bit Windows does not start it at all.
;
; Exit codes (also with /S, silent): 0 installed or uninstalled; 1 cancelled by the user; 2 not installed
; or not uninstalled, the earlier state kept (the reason is in the message box or, silent, the exit code's
; documentation in the read-me).

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true
RequestExecutionLevel admin

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "x64.nsh"

!define VERSION "1.0.1"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kavelor"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define NOT_DONE 2

Name "Kavelor ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Kavelor"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show
BrandingText "Kavelor ${VERSION}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1041 "ProductName" "Kavelor"
VIAddVersionKey /LANG=1041 "CompanyName" "Kavelor"
VIAddVersionKey /LANG=1041 "FileDescription" "Kavelor ${VERSION} セットアップ"
VIAddVersionKey /LANG=1041 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1041 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1041 "LegalCopyright" "Kavelor"

!ifdef SIGN
    ; The uninstaller is written at installation time from a copy made here: signed here, it stays signed.
    !uninstfinalize '${SIGN} "%1"'
!endif

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING

!define MUI_WELCOMEPAGE_TITLE "Kavelor ${VERSION} のセットアップ"
!define MUI_WELCOMEPAGE_TEXT "Kavelor は USB メモリなどの USB 大容量記憶装置の読み書きを速くします。$\r$\n$\r$\nKavfiltr ドライバーと、タスクトレイのアプリケーション Kavelor をインストールします。Kavelor は Windows にサインインするたびにタスクトレイで起動します。$\r$\n$\r$\n続けるには [次へ] をクリックしてください。"
!insertmacro MUI_PAGE_WELCOME

!define MUI_PAGE_HEADER_TEXT "お読みください"
!define MUI_PAGE_HEADER_SUBTEXT "インストールの前に、ドライバーの署名とアンインストールについてお読みください。"
!define MUI_LICENSEPAGE_TEXT_TOP "Kavelor の説明書（ReadMe.txt）"
!define MUI_LICENSEPAGE_TEXT_BOTTOM "続けるには [次へ] をクリックしてください。"
!define MUI_LICENSEPAGE_BUTTON "次へ(&N) >"
!insertmacro MUI_PAGE_LICENSE "${STAGE}\ReadMe.txt"

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES

!define MUI_FINISHPAGE_RUN "$INSTDIR\Kavelor.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Kavelor を起動する"
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "Japanese"

Function .onInit
    ; An x64 program also runs on ARM64 Windows, where the x64 driver cannot load.
    ${IfNot} ${IsNativeAMD64}
        MessageBox MB_ICONSTOP|MB_OK "Kavelor は 64 ビット版 (x64) の Windows 専用です。このコンピューターにはインストールできません。" /SD IDOK
        SetErrorLevel ${NOT_DONE}
        Quit
    ${EndIf}
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "Admin"
        MessageBox MB_ICONSTOP|MB_OK "Kavelor のインストールには管理者の権限が必要です。" /SD IDOK
        SetErrorLevel ${NOT_DONE}
        Quit
    ${EndIf}
FunctionEnd

Section "Kavelor"
    SetShellVarContext all
    InitPluginsDir
    SetOutPath "$PLUGINSDIR\Kavelor"
    File "${STAGE}\install.cmd"
    File "${STAGE}\Kavfiltr.inf"
    File "${STAGE}\Kavfiltr.sys"
    File "${STAGE}\Kavset.exe"
    File "${STAGE}\Kavelor.exe"
    File "${STAGE}\Kavelor.pdf"
    SetOutPath "$PLUGINSDIR"

    DetailPrint "install.cmd $\"$INSTDIR$\""
    nsExec::ExecToLog '"$SYSDIR\cmd.exe" /c ""$PLUGINSDIR\Kavelor\install.cmd" "$INSTDIR""'
    Pop $0
    ${If} $0 != 0
        DetailPrint "install.cmd: $0"
        MessageBox MB_ICONSTOP|MB_OK "Kavelor をインストールできませんでした。Windows が Kavfiltr ドライバーを読み込めなかったか、$\"$INSTDIR$\" に書き込めませんでした。変更はすべて元に戻しました（以前のインストールはそのまま残っています）。$\r$\n$\r$\n詳しくは ReadMe.txt の「ドライバーの署名」をお読みください。" /SD IDOK
        SetErrorLevel ${NOT_DONE}
        Abort
    ${EndIf}

    WriteUninstaller "$INSTDIR\uninstall.exe"

    CreateDirectory "$SMPROGRAMS\Kavelor"
    CreateShortcut "$SMPROGRAMS\Kavelor\Kavelor.lnk" "$INSTDIR\Kavelor.exe"
    CreateShortcut "$SMPROGRAMS\Kavelor\Kavelor ユーザーガイド.lnk" "$INSTDIR\Kavelor.pdf"
    ; Without it the speed-up stays on after the next start of Windows but Kavelor is gone from the tray.
    WriteRegStr HKLM "${RUN_KEY}" "Kavelor" '"$INSTDIR\Kavelor.exe" /s'

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Kavelor"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Kavelor"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Kavelor.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMajor" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMinor" 0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ; In KiB: the programs, the guide, the uninstaller and the driver.
    SectionGetSize 0 $0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Function un.onInit
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "Admin"
        MessageBox MB_ICONSTOP|MB_OK "Kavelor のアンインストールには管理者の権限が必要です。" /SD IDOK
        SetErrorLevel ${NOT_DONE}
        Quit
    ${EndIf}
FunctionEnd

Section "Uninstall"
    SetShellVarContext all
    InitPluginsDir
    SetOutPath "$PLUGINSDIR"
    File "${STAGE}\uninstall.cmd"

    DetailPrint "uninstall.cmd $\"$INSTDIR$\""
    nsExec::ExecToLog '"$SYSDIR\cmd.exe" /c ""$PLUGINSDIR\uninstall.cmd" "$INSTDIR""'
    Pop $0
    ${If} $0 != 0
        ; A device still names Kavfiltr: without the service it would not start, so all of Kavelor stays,
        ; its entry in Programs and Features too, for the next try.
        DetailPrint "uninstall.cmd: $0"
        MessageBox MB_ICONSTOP|MB_OK "Kavelor をアンインストールできませんでした。Kavfiltr を外せない USB 装置があります。サービスとドライバーを削除するとその装置が使えなくなるため、Kavelor をそのまま残しました。$\r$\n$\r$\nUSB メモリを使っているプログラムを閉じてから、もう一度アンインストールしてください。" /SD IDOK
        SetErrorLevel ${NOT_DONE}
        Abort
    ${EndIf}

    DeleteRegValue HKLM "${RUN_KEY}" "Kavelor"
    Delete "$SMPROGRAMS\Kavelor\Kavelor.lnk"
    Delete "$SMPROGRAMS\Kavelor\Kavelor ユーザーガイド.lnk"
    RMDir "$SMPROGRAMS\Kavelor"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
SectionEnd
