#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "depthformat.h"
#include "vocabulary.h"

#include <QTimer>

void MainWindow::on_mSendButton_toggled(bool checked)
{
    if (!checked) {
        if (mEncoder != 0) {
            zunDeleteEncoder(mEncoder);
            mEncoder = 0;
        }
        ui->mSendConfig->setEnabled(true);
        ui->mSendAddress->setEnabled(ui->mSendProtocol->currentIndex() != 2);
        ui->mSendChannel->setEnabled(true);
        ui->mSendDepth->setEnabled(true);
        ui->mSendHeight->setEnabled(true);
        ui->mSendProtocol->setEnabled(true);
        ui->mSendWidth->setEnabled(true);
        ui->mSendCompressionType->setEnabled(true);
        ui->mSendCompressionLevel->setEnabled(true);
        return;
    }

    const int width = ui->mSendWidth->value();
    const int height = ui->mSendHeight->value();
    mSendFormat.width = uint16_t(width > 0 ? width : 128);
    mSendFormat.height = uint16_t(height > 0 ? height : 128);
    mSendFormat.depth = uint16_t(ui->mSendDepth->currentIndex());
    mSendFormat.orientation = 1;

    // A depth without a picture format fails the start: an older picture kept under a code that
    // names no format could be smaller than the frame the encoder reads.
    const QImage::Format format = imageFormatOfDepth(ui->mSendDepth->currentIndex());
    if (format == QImage::Format_Invalid)
        return;
    mSendImage = QImage(mSendFormat.width, mSendFormat.height, format);
    mSendImage.fill(Qt::gray);
    if (mSendImage.isNull())
        return;

    mEncoder = zunGetEncoder(uint32_t(ui->mSendProtocol->currentIndex() + 1), &mSendFormat);
    if (mEncoder == 0)
        return;

    ui->mSendConfig->setEnabled(false);
    ui->mSendAddress->setEnabled(false);
    ui->mSendChannel->setEnabled(false);
    ui->mSendDepth->setEnabled(false);
    ui->mSendHeight->setEnabled(false);
    ui->mSendProtocol->setEnabled(false);
    ui->mSendWidth->setEnabled(false);
    ui->mSendCompressionType->setEnabled(false);
    ui->mSendCompressionLevel->setEnabled(false);

    zunSetDestFormat(mEncoder, &mSendFormat, ui->mSendCompressionType->currentIndex() != 0 ? 1 : 0,
                     uint32_t(ui->mSendCompressionLevel->value()));
    const QByteArray address = ui->mSendAddress->text().toLocal8Bit();
    zunSetDestAddress(mEncoder, address.constData(), portOfChannel(ui->mSendChannel->value()));

    // A tick of an earlier start may still be pending; it carries on with this encoder, so a
    // second chain is never started beside it.
    if (!mEncoderTickPending) {
        mEncoderTickPending = true;
        QTimer::singleShot(100, this, &MainWindow::onEncoderTimer);
    }
}

void MainWindow::on_mSendProtocol_currentIndexChanged(int index)
{
    if (index == 0 || index == 1)
        ui->mSendAddress->setEnabled(true);
    else if (index == 2)
        ui->mSendAddress->setEnabled(false);
}
