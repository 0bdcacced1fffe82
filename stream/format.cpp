#include "format.h"

namespace zun {

uint32_t bytesPerPixel(uint16_t depth)
{
    switch (depth) {
    case kDepthRgb565: return 2;
    case kDepthRgb888: return 3;
    case kDepthRgb32: return 4;
    case kDepthGrey8: return 1;
    default: return 0;
    }
}

uint32_t rowStride(const StreamFormat &format)
{
    const uint32_t row = uint32_t(format.width) * bytesPerPixel(format.depth);
    return (row + 3u) & ~3u;
}

uint32_t byteSize(const StreamFormat &format)
{
    // 65535 x 4 x 65535 does not fit in 32 bits; formats the library accepts always do.
    const uint64_t size = uint64_t(rowStride(format)) * format.height;
    return size <= UINT32_MAX ? uint32_t(size) : 0;
}

bool isValidFormat(const StreamFormat &format)
{
    return bytesPerPixel(format.depth) != 0 && format.width >= 1 && format.width <= kMaxDimension
        && format.height >= 1 && format.height <= kMaxDimension;
}

uint64_t maxPayloadSize(const StreamFormat &format, bool compressed)
{
    const uint64_t raw = byteSize(format);
    return compressed ? raw + kJpegMargin : raw;
}

bool payloadFits(const StreamFormat &format, bool compressed, uint64_t payloadSize)
{
    if (!isValidFormat(format))
        return false;
    return compressed ? payloadSize > 0 && payloadSize <= maxPayloadSize(format, true)
                      : payloadSize == byteSize(format);
}

} // namespace zun
