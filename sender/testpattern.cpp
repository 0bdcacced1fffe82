#include "mainwindow.h"

#include "randomline.h"

void MainWindow::drawEncoderImage()
{
    drawRandomLine(mSendImage, mRandom);
}
