#pragma once

#include "frameverifier.h"
#include "linkmeter.h"

#include <cstdint>

// Takes frames from a decoder as they come, measures each, checks it under --verify, and lets
// it go again.
class FrameReceiver
{
public:
    FrameReceiver(uint32_t decoder, LinkMeter &meter, bool verify)
        : mDecoder(decoder), mMeter(meter), mVerify(verify) {}

    // One frame if one is ready; false when none was.
    bool takeOne();

private:
    uint32_t mDecoder;
    LinkMeter &mMeter;
    bool mVerify;
    FrameVerifier mVerifier;
};
