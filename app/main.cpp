#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("zunStream"));
    QCoreApplication::setOrganizationName(QStringLiteral("tarvel"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("tarvel.com"));
    QApplication application(argc, argv);
    int result;
    {
        MainWindow window;
        window.show();
        result = application.exec();
    }
    return result;
}
