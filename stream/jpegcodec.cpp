#include "jpegcodec.h"

#include "format.h"

#include <turbojpeg.h>

#include <algorithm>
#include <bit>

namespace zun {

namespace {

int pixelFormatFor(uint16_t depth)
{
    switch (depth) {
    case kDepthRgb565:
    case kDepthRgb888: return TJPF_RGB;
    case kDepthRgb32: return std::endian::native == std::endian::little ? TJPF_BGRX : TJPF_XRGB;
    case kDepthGrey8: return TJPF_GRAY;
    default: return -1;
    }
}

void widenRgb565(const StreamFormat &format, const uint8_t *pixels, uint8_t *out)
{
    const uint32_t stride = rowStride(format);
    for (uint32_t y = 0; y < format.height; ++y) {
        const auto *row = reinterpret_cast<const uint16_t *>(pixels + size_t(y) * stride);
        uint8_t *dst = out + size_t(y) * format.width * 3;
        for (uint32_t x = 0; x < format.width; ++x) {
            const uint32_t p = row[x];
            const uint32_t r = p >> 11, g = (p >> 5) & 0x3f, b = p & 0x1f;
            dst[0] = uint8_t((r << 3) | (r >> 2));
            dst[1] = uint8_t((g << 2) | (g >> 4));
            dst[2] = uint8_t((b << 3) | (b >> 2));
            dst += 3;
        }
    }
}

void narrowRgb565(const StreamFormat &format, const uint8_t *wide, uint8_t *out)
{
    const uint32_t stride = rowStride(format);
    for (uint32_t y = 0; y < format.height; ++y) {
        auto *row = reinterpret_cast<uint16_t *>(out + size_t(y) * stride);
        const uint8_t *src = wide + size_t(y) * format.width * 3;
        for (uint32_t x = 0; x < format.width; ++x) {
            row[x] = uint16_t(((src[0] >> 3) << 11) | ((src[1] >> 2) << 5) | (src[2] >> 3));
            src += 3;
        }
        if (format.width % 2)
            row[format.width] = 0;
    }
}

} // namespace

void JpegCodec::TjHandleDeleter::operator()(void *handle) const
{
    tjDestroy(handle);
}

void JpegCodec::TjBufferDeleter::operator()(unsigned char *buffer) const
{
    tjFree(buffer);
}

JpegCodec::JpegCodec() = default;
JpegCodec::~JpegCodec() = default;

int JpegCodec::qualityForLevel(uint32_t level)
{
    return int(std::clamp<int64_t>(100 - int64_t(level), 1, 100));
}

int JpegCodec::subsamplingFor(uint16_t depth, int quality)
{
    if (depth == kDepthGrey8)
        return TJSAMP_GRAY;
    // Thin coloured lines lose their colour under 4:2:0; a picture asked to be that good keeps it.
    return quality >= 90 ? TJSAMP_444 : TJSAMP_420;
}

std::span<const uint8_t> JpegCodec::encode(const StreamFormat &format, const uint8_t *pixels,
                                           int quality)
{
    const int pixelFormat = pixelFormatFor(format.depth);
    if (!isValidFormat(format) || !pixels || pixelFormat < 0)
        return {};
    if (!mCompressor)
        mCompressor.reset(tjInitCompress());
    if (!mCompressor)
        return {};
    const int subsampling = subsamplingFor(format.depth, quality);
    const unsigned long needed = tjBufSize(format.width, format.height, subsampling);
    if (needed == 0 || needed == static_cast<unsigned long>(-1))
        return {};
    if (needed > mJpegCapacity) {
        mJpeg.reset(tjAlloc(int(needed)));
        mJpegCapacity = mJpeg ? needed : 0;
        if (!mJpeg)
            return {};
    }
    const uint8_t *source = pixels;
    int pitch = int(rowStride(format));
    if (format.depth == kDepthRgb565) {
        mWide.resize(size_t(format.width) * format.height * 3);
        widenRgb565(format, pixels, mWide.data());
        source = mWide.data();
        pitch = format.width * 3;
    }
    unsigned char *jpeg = mJpeg.get();
    unsigned long size = mJpegCapacity;
    if (tjCompress2(mCompressor.get(), source, format.width, pitch, format.height, pixelFormat,
                    &jpeg, &size, subsampling, quality, TJFLAG_NOREALLOC) != 0)
        return {};
    return {jpeg, size};
}

bool JpegCodec::decode(std::span<const uint8_t> jpeg, const StreamFormat &format, uint8_t *out)
{
    const int pixelFormat = pixelFormatFor(format.depth);
    if (!isValidFormat(format) || !out || pixelFormat < 0 || jpeg.empty())
        return false;
    if (!mDecompressor)
        mDecompressor.reset(tjInitDecompress());
    if (!mDecompressor)
        return false;
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    if (tjDecompressHeader3(mDecompressor.get(), jpeg.data(), jpeg.size(), &width, &height,
                            &subsampling, &colourspace) != 0
        || width != format.width || height != format.height)
        return false;
    uint8_t *target = out;
    int pitch = int(rowStride(format));
    if (format.depth == kDepthRgb565) {
        mWide.resize(size_t(format.width) * format.height * 3);
        target = mWide.data();
        pitch = format.width * 3;
    }
    if (tjDecompress2(mDecompressor.get(), jpeg.data(), jpeg.size(), target, format.width, pitch,
                      format.height, pixelFormat, 0) != 0)
        return false;
    if (format.depth == kDepthRgb565)
        narrowRgb565(format, mWide.data(), out);
    return true;
}

} // namespace zun
