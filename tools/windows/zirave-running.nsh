; Included by NSIS.template.in. Zirave holds the named mutex "Vernholt.Zirave.Running" in its
; session (Local\) and for the whole machine (Global\) while it runs (app/main.cpp). Files of a
; running program can be neither replaced nor removed, and NSIS's Delete fails without a word: so
; the installer and the uninstaller do not begin while Zirave runs, in this session or another.
; They say so and offer to try again; with /S they change nothing and end with exit code 2.
; ACTION completes the sentence "Zirave nelze ..." ("nainstalovat", "odinstalovat").
!macro ZIRAVE_REFUSE_WHILE_RUNNING ACTION
  zirave_check:
    StrCpy $R9 0
    ; SYNCHRONIZE access is enough to see that the mutex exists.
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "Local\Vernholt.Zirave.Running") p.r1'
    IntPtrCmp $1 0 zirave_local_free
    System::Call 'kernel32::CloseHandle(p r1)'
    StrCpy $R9 1
  zirave_local_free:
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "Global\Vernholt.Zirave.Running") p.r1'
    IntPtrCmp $1 0 zirave_global_free
    System::Call 'kernel32::CloseHandle(p r1)'
    StrCpy $R9 1
  zirave_global_free:
    StrCmp $R9 0 zirave_not_running
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
      "Program Zirave je spuštěný; dokud běží, nelze ho ${ACTION}.$\r$\n$\r$\nUkončete Zirave (i u ostatních přihlášených uživatelů) a zvolte Opakovat, nebo zvolte Storno." \
      /SD IDCANCEL IDRETRY zirave_check
    SetErrorLevel 2
    Quit
  zirave_not_running:
!macroend
