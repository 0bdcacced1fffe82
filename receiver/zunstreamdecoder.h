#pragma once

#include "zunVidStreamLib2.h"

#include <QImage>
#include <QObject>
#include <QVector>

#include <atomic>
#include <cstdint>
#include <memory>

// Polls one library decoder on its own thread and keeps a copy of the newest frame for the
// GUI thread. Made, asked and deleted on the GUI thread; decoderThread() runs on the worker's.
class zunStreamDecoder : public QObject
{
    Q_OBJECT

public:
    zunStreamDecoder(int protocol, const StreamFormat &format, int channel, QObject *parent = nullptr);
    ~zunStreamDecoder() override;

    // The newest frame's format; all zeros before the first frame.
    StreamFormat frameFormat() const;
    uint32_t decoderHandle() const;
    // The newest frame, without a copy of its pixels. The frame stays untouched for as long as
    // the image (or a copy of it) lives; null before the first frame, for depth codes 3 and above,
    // and when the frame holds fewer bytes than its rows need.
    QImage image();

signals:
    void frameReceived();

public slots:
    void decoderThread();
    void endDecoder();

private:
    struct FrameStore;

    uint32_t mDecoder;
    StreamFormat mRequestFormat;
    // The frame copies (format and pixels together) live in a store shared with the images that
    // image() hands out, so the worker never writes a copy a reader holds and never waits for one.
    std::shared_ptr<FrameStore> mFrames;
    std::atomic<bool> mRunning;
    // True while decoderThread() runs; the destructor waits for it to drop.
    std::atomic<bool> mLooping;
};
