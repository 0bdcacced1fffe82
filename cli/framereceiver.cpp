#include "framereceiver.h"

#include "console.h"

bool FrameReceiver::takeOne()
{
    const auto *pixels = static_cast<const uint8_t *>(zunLockReadBuffer(mDecoder, 0));
    if (!pixels)
        return false;
    FrameArrival frame;
    frame.arrivalNs = monotonicNowNs();
    ZunFrameInfo info{};
    info.size = sizeof info;
    zunGetRecvFrameInfo(mDecoder, &info);
    frame.format = {info.width, info.height, info.depth, info.orientation};
    frame.number = info.frameNumber;
    frame.sendTimeNs = info.sendTimeNs;
    frame.payloadBytes = info.payloadBytes;
    frame.compressed = info.jpeg != 0;
    mMeter.addFrame(frame);
    if (mVerify) {
        const Verdict verdict = mVerifier.check(frame.format, frame.compressed, frame.number, pixels);
        mMeter.addVerdict(verdict.damaged, verdict.psnr);
    }
    zunUnlockReadBuffer(mDecoder);
    return true;
}
