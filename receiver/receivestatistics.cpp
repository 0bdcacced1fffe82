#include "mainwindow.h"
#include "ui_mainwindow.h"
#include "zunstreamdecoder.h"

#include <QCoreApplication>
#include <QDateTime>

#include <cmath>
#include <iterator>

namespace {

// By depth code; a code past the end leaves the label as it was.
const char *const kDepthNames[] = {
    QT_TRANSLATE_NOOP("MainWindow", "16-bit"),
    QT_TRANSLATE_NOOP("MainWindow", "24-bit"),
    QT_TRANSLATE_NOOP("MainWindow", "32-bit"),
    QT_TRANSLATE_NOOP("MainWindow", "8-bit"),
};

QString number(auto value)
{
    return QCoreApplication::translate("MainWindow", "%1").arg(value);
}

} // namespace

void MainWindow::updateWindow()
{
    const int64_t elapsed = QDateTime::currentMSecsSinceEpoch() - mStatsStartTime;
    if (elapsed < 1000)
        return;

    if (mStreamDecoder && mRecvFrames > 0) {
        const StreamFormat format = mStreamDecoder->frameFormat();
        // Kept in 64 bits: an average of 2^31 bytes or more must not wrap negative.
        const auto average = int64_t(std::floor(double(mRecvCompressedBytes) / double(mRecvFrames)));
        ui->mReceiveTransferBytesPerFrame->setText(number(qint64(average)));
        ui->mReceiveImageBytesPerFrame->setText(number(uint(zunGetByteSize(&format))));
        ui->mReceiveBytesPerSecond->setText(number(qint64(mRecvImageBytes)));
        ui->mCompressedSize->setText(number(qint64(mRecvCompressedBytes)));
        ui->mWidth->setText(number(ushort(format.width)));
        ui->mHeight->setText(number(ushort(format.height)));
        if (format.depth < std::size(kDepthNames))
            ui->mDepth->setText(QCoreApplication::translate("MainWindow", kDepthNames[format.depth]));
    }
    ui->mFPS->setText(number(qint64(mRecvFrames)));

    mStatsStartTime += 1000;
    mRecvFrames = 0;
    mRecvCompressedBytes = 0;
    mRecvImageBytes = 0;
}
