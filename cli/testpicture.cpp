#include "testpicture.h"

#include "barspattern.h"
#include "linepainter.h"

TestPicture::TestPicture(Pattern pattern, const StreamFormat &format) : mPattern(pattern), mFormat(format)
{
    std::vector<uint8_t> &picture = mPattern == Pattern::Bars ? mBars : mLines;
    picture.assign(zunGetByteSize(&format), 0);
    if (mPattern == Pattern::Lines && !picture.empty()) {
        // The window's grey background (Qt::gray); in 8 bits, grey lines on grey.
        const uint32_t stride = pixelformat::rowStride(format), bpp = depthBytes(format.depth);
        for (uint32_t y = 0; y < format.height; ++y) {
            for (uint32_t x = 0; x < format.width; ++x)
                pixelformat::store(format.depth, picture.data() + size_t(y) * stride + x * bpp, {160, 160, 164});
        }
    }
}

bool TestPicture::isValid() const
{
    return !(mPattern == Pattern::Bars ? mBars : mLines).empty();
}

const uint8_t *TestPicture::frame(uint32_t number)
{
    if (mPattern == Pattern::Bars) {
        barspattern::draw(mFormat, number, mBars.data());
        return mBars.data();
    }
    paintLine(mFormat, mLines.data(), nextRandomLine(mRandom, mFormat.width, mFormat.height));
    return mLines.data();
}
