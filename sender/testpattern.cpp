#include "mainwindow.h"

void MainWindow::drawEncoderImage() {}
