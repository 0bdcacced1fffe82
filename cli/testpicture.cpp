#include "testpicture.h"

#include "barspattern.h"
#include "depthformat.h"
#include "randomline.h"

namespace {

// The window has no 8-bit picture; here grey lines on grey do.
QImage::Format linesFormatOfDepth(int depth)
{
    return depth == 3 ? QImage::Format_Grayscale8 : imageFormatOfDepth(depth);
}

} // namespace

TestPicture::TestPicture(Pattern pattern, const StreamFormat &format) : mPattern(pattern), mFormat(format)
{
    if (mPattern == Pattern::Bars) {
        mBars.assign(zunGetByteSize(&format), 0);
        return;
    }
    const QImage::Format imageFormat = linesFormatOfDepth(format.depth);
    if (imageFormat == QImage::Format_Invalid)
        return;
    mLines = QImage(format.width, format.height, imageFormat);
    mLines.fill(Qt::gray);
}

bool TestPicture::isValid() const
{
    return mPattern == Pattern::Bars ? !mBars.empty() : !mLines.isNull();
}

const uint8_t *TestPicture::frame(uint32_t number)
{
    if (mPattern == Pattern::Bars) {
        barspattern::draw(mFormat, number, mBars.data());
        return mBars.data();
    }
    drawRandomLine(mLines, mRandom);
    return mLines.constBits();
}
