#include "mainwindow.h"

void MainWindow::on_actionAbout_zunVidStreamTester_triggered() {}
void MainWindow::on_actionOnline_Help_triggered() {}
void MainWindow::on_actionTarvel_com_triggered() {}
