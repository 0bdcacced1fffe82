#pragma once

#include "zunVidStreamLib2.h"

#include <cstdint>
#include <optional>
#include <vector>

struct Verdict {
    bool damaged = false;
    std::optional<double> psnr; // JPEG frames only; infinite when identical
};

// Checks a received frame against the bars picture of its frame number. Raw frames must match
// byte for byte; a JPEG frame must show its own number in the block code and score at least
// kDamagedBelowDb against the picture sent, which every JPEG level keeps on the bars.
class FrameVerifier
{
public:
    static constexpr double kDamagedBelowDb = 15;

    Verdict check(const StreamFormat &format, bool compressed, uint32_t number, const uint8_t *pixels);

private:
    std::vector<uint8_t> mExpected;
};

// Peak signal-to-noise ratio of b against a over the colour channels, padding left out.
double psnr(const StreamFormat &format, const uint8_t *a, const uint8_t *b);
