#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[]) {
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
