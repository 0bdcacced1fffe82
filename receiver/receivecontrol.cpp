#include "mainwindow.h"
#include "ui_mainwindow.h"
#include "zunstreamdecoder.h"

#include <QThread>

void MainWindow::stopStreamDecoder()
{
    if (mStreamDecoder)
        mStreamDecoder->endDecoder();
    QThread *finished = mDecoderThread;
    if (mDecoderThread) {
        mDecoderThread->quit();
        mDecoderThread->wait();
        mDecoderThread = nullptr;
    }
    if (mStreamDecoder) {
        delete mStreamDecoder;
        mStreamDecoder = nullptr;
    }
    // Gone now rather than kept as a child until the window closes, so that turning the channel
    // knob does not pile up stopped thread objects.
    delete finished;
}

void MainWindow::resetStream()
{
    stopStreamDecoder();

    const int protocol = ui->mReceiveProtocol->currentIndex();
    if (protocol == 0)
        return;

    StreamFormat requested{};
    requested.width = uint16_t(ui->mReceiveDisplay->width());
    requested.height = uint16_t(ui->mReceiveDisplay->height());
    requested.depth = 1;
    requested.orientation = 1;

    mStreamDecoder = new zunStreamDecoder(protocol, requested, ui->mReceiveChannel->value());
    mDecoderThread = new QThread(this);
    connect(mDecoderThread, &QThread::started, mStreamDecoder, &zunStreamDecoder::decoderThread);
    mStreamDecoder->moveToThread(mDecoderThread);
    connect(mStreamDecoder, &zunStreamDecoder::frameReceived, this, &MainWindow::frameReceived);
    mDecoderThread->start(QThread::InheritPriority);
}

void MainWindow::on_mReceiveChannel_valueChanged(int)
{
    resetStream();
}

void MainWindow::on_mReceiveProtocol_currentIndexChanged(int)
{
    resetStream();
}
