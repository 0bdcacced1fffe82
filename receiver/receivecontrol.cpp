#include "mainwindow.h"

void MainWindow::stopStreamDecoder() {}
void MainWindow::resetStream() {}
void MainWindow::on_mReceiveChannel_valueChanged(int) {}
void MainWindow::on_mReceiveProtocol_currentIndexChanged(int) {}
