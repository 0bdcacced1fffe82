#pragma once

#include "zunVidStreamLib2.h"

#include <cstdint>
#include <random>
#include <vector>

enum class Pattern { Lines, Bars };

// The sender's picture, one frame at a time: the window's random lines, or the bars of
// barspattern for the frame number. Rows are padded as the library pads them.
class TestPicture
{
public:
    TestPicture(Pattern pattern, const StreamFormat &format);

    // False when the pattern cannot be drawn at this depth.
    bool isValid() const;
    // The picture of frame `number` (lines: the next one, whatever the number), valid until the next call.
    const uint8_t *frame(uint32_t number);

private:
    Pattern mPattern;
    StreamFormat mFormat;
    std::vector<uint8_t> mLines;
    std::minstd_rand mRandom;
    std::vector<uint8_t> mBars;
};
