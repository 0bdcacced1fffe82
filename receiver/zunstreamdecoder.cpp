#include "zunstreamdecoder.h"

#include "depthformat.h"
#include "vocabulary.h"

#include <QThread>

#include <cstring>
#include <mutex>
#include <vector>

namespace {

struct FrameCopy {
    StreamFormat format{};
    QVector<uchar> data;
    int readers = 0; // images handed out over data and not yet destroyed
};

} // namespace

// A few frame copies: the worker fills one that is neither the newest nor being read, then makes
// it the newest. The lock guards which copy is which and the reader counts; it is held only for
// that bookkeeping, never while pixels are copied or read.
struct zunStreamDecoder::FrameStore {
    std::mutex lock;
    std::vector<std::unique_ptr<FrameCopy>> copies;
    FrameCopy *newest = nullptr;

    FrameCopy *spare()
    {
        std::lock_guard guard(lock);
        for (auto &copy : copies) {
            if (copy.get() != newest && copy->readers == 0)
                return copy.get();
        }
        copies.push_back(std::make_unique<FrameCopy>());
        return copies.back().get();
    }

    void publish(FrameCopy *copy)
    {
        std::lock_guard guard(lock);
        newest = copy;
    }
};

namespace {

// Keeps a frame copy from being refilled while an image over it lives; owned by that image.
struct ImageHold {
    std::shared_ptr<void> store; // keeps the copies alive should the image outlive the worker
    std::mutex *lock;
    FrameCopy *copy;
};

void releaseImageHold(void *info)
{
    auto *hold = static_cast<ImageHold *>(info);
    {
        std::lock_guard guard(*hold->lock);
        --hold->copy->readers;
    }
    delete hold;
}

} // namespace

zunStreamDecoder::zunStreamDecoder(int protocol, const StreamFormat &format, int channel, QObject *parent)
    : QObject(parent)
    , mDecoder(0)
    , mRequestFormat(format)
    , mFrames(std::make_shared<FrameStore>())
    , mRunning(true)
    , mLooping(false)
{
    mDecoder = zunGetDecoder(uint32_t(protocol), &mRequestFormat);
    if (mDecoder != 0) {
        zunSetSourceAddress(mDecoder, portOfChannel(channel));
        zunSetAdaptiveBuffer(mDecoder, 1);
    }
}

zunStreamDecoder::~zunStreamDecoder()
{
    // The owner stops the thread first; should it not, the loop must not outlive the buffers.
    // The acquire also makes the loop's last accesses visibly precede this destruction, which
    // the thread's own wait does in ways a race detector cannot see into.
    endDecoder();
    while (mLooping.load(std::memory_order_acquire))
        QThread::yieldCurrentThread();
    if (mDecoder != 0) {
        zunDeleteDecoder(mDecoder);
        mDecoder = 0;
    }
}

StreamFormat zunStreamDecoder::frameFormat() const
{
    std::lock_guard guard(mFrames->lock);
    return mFrames->newest ? mFrames->newest->format : StreamFormat{};
}

uint32_t zunStreamDecoder::decoderHandle() const
{
    return mDecoder;
}

QImage zunStreamDecoder::image()
{
    std::lock_guard guard(mFrames->lock);
    FrameCopy *copy = mFrames->newest;
    if (!copy || copy->data.isEmpty())
        return {};
    const QImage::Format format = imageFormatOfDepth(copy->format.depth);
    if (format == QImage::Format_Invalid)
        return {};
    const int width = copy->format.width;
    const int height = copy->format.height;
    const qsizetype rowBytes = (qsizetype(width) * depthBits(copy->format.depth) + 31) / 32 * 4;
    // A library that reports too small a byte size must not make the image read past the copy.
    if (width == 0 || height == 0 || copy->data.size() < rowBytes * height)
        return {};

    ++copy->readers;
    auto *hold = new ImageHold{mFrames, &mFrames->lock, copy};
    QImage frame(copy->data.constData(), width, height, format, releaseImageHold, hold);
    if (frame.isNull()) {
        // Qt refused the image and so never calls the release; we still hold the lock.
        --copy->readers;
        delete hold;
    }
    return frame;
}

void zunStreamDecoder::decoderThread()
{
    mLooping.store(true);
    while (mRunning.load()) {
        if (mDecoder == 0) {
            QThread::msleep(1);
            continue;
        }
        const auto *pixels = static_cast<const uchar *>(zunLockReadBuffer(mDecoder, 0));
        if (!pixels) {
            QThread::msleep(1);
            continue;
        }
        ZunFrameInfo info{};
        info.size = sizeof info;
        zunGetRecvFrameInfo(mDecoder, &info);
        StreamFormat format{};
        format.width = info.width;
        format.height = info.height;
        format.orientation = uint8_t(info.orientation);
        format.depth = uint8_t(info.depth);
        const uint32_t bytes = zunGetByteSize(&format);

        FrameCopy *copy = mFrames->spare();
        copy->format = format;
        copy->data.resize(qsizetype(bytes));
        if (bytes > 0)
            std::memcpy(copy->data.data(), pixels, bytes);
        zunUnlockReadBuffer(mDecoder);

        mFrames->publish(copy);
        emit frameReceived();
    }
    mLooping.store(false, std::memory_order_release);
}

void zunStreamDecoder::endDecoder()
{
    mRunning.store(false);
}
