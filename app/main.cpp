#include "mainwindow.h"

#include <QApplication>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

int main(int argc, char *argv[]) {
#ifdef Q_OS_WIN
    // The installer and the uninstaller look for these names and will not replace or remove the
    // files of a running program, in this session or another one. Windows drops them with the
    // process, however it ends.
    CreateMutexW(nullptr, FALSE, L"Local\\Vernholt.Zirave.Running");
    CreateMutexW(nullptr, FALSE, L"Global\\Vernholt.Zirave.Running");
#endif
    QApplication application(argc, argv);
    Q_INIT_RESOURCE(pics);

    int result = 0;
    {
        MainWindow window;
        window.show();
        result = application.exec();
    }

    Q_CLEANUP_RESOURCE(pics);
    return result;
}
