#pragma once

// Reaches the window's private state and slots for tests; MainWindow befriends this class.

#include "mainwindow.h"
#include "zunstreamdecoder.h"

#include <QThread>

class MainWindowProbe
{
public:
    static zunStreamDecoder *streamDecoder(MainWindow &window) { return window.mStreamDecoder; }
    static QThread *decoderThread(MainWindow &window) { return window.mDecoderThread; }
    static uint32_t encoder(MainWindow &window) { return window.mEncoder; }
    static const StreamFormat &sendFormat(MainWindow &window) { return window.mSendFormat; }
    static QImage &sendImage(MainWindow &window) { return window.mSendImage; }
    static std::minstd_rand &random(MainWindow &window) { return window.mRandom; }
    static int64_t &statsStartTime(MainWindow &window) { return window.mStatsStartTime; }
    static int64_t &recvFrames(MainWindow &window) { return window.mRecvFrames; }
    static int64_t &recvCompressedBytes(MainWindow &window) { return window.mRecvCompressedBytes; }
    static int64_t &recvImageBytes(MainWindow &window) { return window.mRecvImageBytes; }

    static void drawEncoderImage(MainWindow &window) { window.drawEncoderImage(); }
    static void updateWindow(MainWindow &window) { window.updateWindow(); }
    static void frameReceived(MainWindow &window) { window.frameReceived(); }
};
