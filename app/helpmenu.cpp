#include "mainwindow.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

void MainWindow::on_actionAbout_zunVidStreamTester_triggered()
{
    QMessageBox box;
    box.setText(QString::fromLatin1("zunVidStreamTool v1.1.0 by the tarvel.com developers\n"
                                    "\n"
                                    "Made by tarvel.com - video streaming tools"));
    box.exec();
}

void MainWindow::on_actionOnline_Help_triggered()
{
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(
        "https://www.tarvel.com/software/zunvidstreamtool/"
        "?utm_source=zunVidStreamTool&utm_medium=online_help")));
}

void MainWindow::on_actionTarvel_com_triggered()
{
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(
        "https://www.tarvel.com/?utm_source=zunVidStreamTool&utm_medium=website")));
}
