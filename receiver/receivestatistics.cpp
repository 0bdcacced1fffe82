#include "mainwindow.h"

void MainWindow::updateWindow() {}
