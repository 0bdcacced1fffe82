#include "mainwindow.h"

void MainWindow::on_mSendButton_toggled(bool) {}
void MainWindow::on_mSendProtocol_currentIndexChanged(int) {}
