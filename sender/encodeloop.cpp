#include "mainwindow.h"

void MainWindow::onEncoderTimer() {}
