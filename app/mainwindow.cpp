#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "settingsfile.h"

#include <QAbstractSocket>
#include <QDateTime>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QTimer>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow())
    , mStreamDecoder(nullptr)
    , mDecoderThread(nullptr)
    , mStatsStartTime(QDateTime::currentMSecsSinceEpoch())
    , mRecvFrames(0)
    , mRecvCompressedBytes(0)
    , mRecvImageBytes(0)
    , mEncoder(0)
    , mSendFormat()
    , mSendImage()
    , mSettingsPath()
{
    ui->setupUi(this);

    mSettingsPath = settingsFilePath();

    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            ui->mAddresses->insertItem(ui->mAddresses->count(), address.toString());
    }

    on_mSendConfig_valueChanged(0);
    QTimer::singleShot(40, this, SLOT(onWindowUpdateTimer()));
    resetStream();
}

MainWindow::~MainWindow()
{
    stopStreamDecoder();
    if (mEncoder != 0) {
        zunDeleteEncoder(mEncoder);
        mEncoder = 0;
    }
    delete ui;
}
