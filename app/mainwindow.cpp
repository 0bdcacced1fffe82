#include "mainwindow.h"
#include "ui_mainwindow.h"

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow())
    , mStreamDecoder(nullptr)
    , mDecoderThread(nullptr)
    , mStatsStartTime(0)
    , mRecvFrames(0)
    , mRecvCompressedBytes(0)
    , mRecvImageBytes(0)
    , mEncoder(0)
    , mSendFormat()
{
    ui->setupUi(this);
}

MainWindow::~MainWindow()
{
    delete ui;
}
