#include "mainwindow.h"

void MainWindow::frameReceived() {}
void MainWindow::onWindowUpdateTimer() {}
