#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QPixmap>
#include <QTimer>

#include <algorithm>

void MainWindow::onEncoderTimer()
{
    mEncoderTickPending = false;
    if (mEncoder == 0)
        return;
    drawEncoderImage();
    if (ui->mSendUpdate->isChecked())
        ui->mSendDisplay->setPixmap(QPixmap::fromImage(mSendImage));
    zunEncode(mEncoder, mSendImage.bits());

    mEncoderTickPending = true;
    QTimer::singleShot(1000 / std::max(1, ui->mSendFPS->value()), this, &MainWindow::onEncoderTimer);
}
