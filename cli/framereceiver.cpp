#include "framereceiver.h"

#include "console.h"

bool FrameReceiver::takeOne()
{
    const auto *pixels = static_cast<const uint8_t *>(zunLockReadBuffer(mDecoder, 0));
    if (!pixels)
        return false;
    FrameArrival frame;
    frame.arrivalNs = monotonicNowNs();
    frame.format = {uint16_t(zunGetRecvWidth(mDecoder)), uint16_t(zunGetRecvHeight(mDecoder)),
                    uint16_t(zunGetRecvDepth(mDecoder)), uint16_t(zunGetRecvOrientation(mDecoder))};
    frame.number = zunGetRecvFrameNumber(mDecoder);
    frame.sendTimeNs = zunGetRecvSendTime(mDecoder);
    frame.payloadBytes = zunGetCompressedFrameSize(mDecoder);
    // The library says only how many bytes were carried; a JPEG never has exactly the raw size.
    frame.compressed = frame.payloadBytes != zunGetByteSize(&frame.format);
    mMeter.addFrame(frame);
    if (mVerify) {
        const Verdict verdict = mVerifier.check(frame.format, frame.compressed, frame.number, pixels);
        mMeter.addVerdict(verdict.damaged, verdict.psnr);
    }
    zunUnlockReadBuffer(mDecoder);
    return true;
}
