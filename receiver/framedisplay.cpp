#include "mainwindow.h"
#include "ui_mainwindow.h"
#include "zunstreamdecoder.h"

#include <QPixmap>
#include <QTimer>

void MainWindow::frameReceived()
{
    // A notification still queued when receiving was switched off.
    if (!mStreamDecoder)
        return;
    if (ui->mReceiveUpdate->isChecked()) {
        ui->mReceiveDisplay->setPixmap(QPixmap::fromImage(mStreamDecoder->image()));
        ui->mReceiveDisplay->update();
    }
    const StreamFormat format = mStreamDecoder->frameFormat();
    mRecvCompressedBytes += int64_t(zunGetCompressedFrameSize(mStreamDecoder->decoderHandle()));
    mRecvImageBytes += int64_t(zunGetByteSize(&format));
    ++mRecvFrames;
}

void MainWindow::onWindowUpdateTimer()
{
    updateWindow();
    QTimer::singleShot(100, this, &MainWindow::onWindowUpdateTimer);
}
