#pragma once

#include "zunVidStreamLib2.h"

#include <QImage>
#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <random>

namespace Ui {
class MainWindow;
}
class QThread;
class zunStreamDecoder;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void resetStream();
    void frameReceived();
    void onWindowUpdateTimer();
    void updateWindow();
    void onEncoderTimer();
    void on_mSendButton_toggled(bool checked);
    void drawEncoderImage();
    void on_mReceiveChannel_valueChanged(int arg1);
    void on_mReceiveProtocol_currentIndexChanged(int index);
    void on_mSendProtocol_currentIndexChanged(int index);
    void on_actionAbout_zunVidStreamTester_triggered();
    void on_actionOnline_Help_triggered();
    void on_actionTarvel_com_triggered();
    void on_mSendConfig_valueChanged(int pConfigId);
    void on_mSendSave_clicked();

private:
    // Ends the receive worker: stop flag, quit, wait, delete. Used by resetStream() and the destructor.
    void stopStreamDecoder();

    // Tests read the window's state through this class, which only they define.
    friend class MainWindowProbe;

    Ui::MainWindow *ui;
    zunStreamDecoder *mStreamDecoder;
    QThread *mDecoderThread;
    int64_t mStatsStartTime;
    int64_t mRecvFrames;
    int64_t mRecvCompressedBytes;
    int64_t mRecvImageBytes;
    uint32_t mEncoder;
    StreamFormat mSendFormat;
    QImage mSendImage;
    QString mSettingsPath;
    // Never seeded from the clock: the sequence of lines depends only on its start state.
    std::minstd_rand mRandom;
    // True while an encode tick is scheduled, so a restart before it runs adds no second chain.
    bool mEncoderTickPending = false;
};
