#include "mainwindow.h"

void MainWindow::on_mSendConfig_valueChanged(int) {}
void MainWindow::on_mSendSave_clicked() {}
