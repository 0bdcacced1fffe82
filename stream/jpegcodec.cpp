#include "jpegcodec.h"

#include "format.h"
#include "workerpool.h"

#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <thread>

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

// The rows of one strip as a frame of their own, and where they start.
StreamFormat stripFormat(const StreamFormat &format, const JpegStrip &strip)
{
    StreamFormat rows = format;
    rows.height = uint16_t(strip.rows);
    return rows;
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

uint32_t JpegCodec::stripCountFor(const StreamFormat &format)
{
    static const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return zun::stripCountFor(format, cores);
}

bool JpegCodec::runStrips(size_t count, const std::function<bool(uint32_t)> &strip)
{
    while (mCoders.size() < count)
        mCoders.push_back(std::make_unique<StripCoder>());
    if (count > 1 && !mPool)
        mPool = WorkerPool::shared();
    std::atomic<bool> failed{false};
    const std::function<void(uint32_t)> task = [&](uint32_t i) {
        if (!failed.load(std::memory_order_relaxed) && !strip(i))
            failed = true;
    };
    if (count > 1)
        mPool->run(uint32_t(count), task);
    else if (count == 1)
        task(0);
    return !failed;
}

bool JpegCodec::encodeStrip(StripCoder &coder, const StreamFormat &format, const JpegStrip &strip,
                            const uint8_t *pixels, int quality)
{
    if (!coder.compressor)
        coder.compressor.reset(tjInitCompress());
    if (!coder.compressor)
        return false;
    const StreamFormat rows = stripFormat(format, strip);
    const int subsampling = subsamplingFor(format.depth, quality);
    const unsigned long needed = tjBufSize(rows.width, rows.height, subsampling);
    if (needed == 0 || needed == static_cast<unsigned long>(-1))
        return false;
    if (needed > coder.capacity) {
        coder.jpeg.reset(tjAlloc(int(needed)));
        coder.capacity = coder.jpeg ? needed : 0;
        if (!coder.jpeg)
            return false;
    }
    const uint8_t *source = pixels + size_t(strip.firstRow) * rowStride(format);
    int pitch = int(rowStride(format));
    if (format.depth == kDepthRgb565) {
        uint8_t *wide = mWide.data() + size_t(strip.firstRow) * format.width * 3;
        widenRgb565(rows, source, wide);
        source = wide;
        pitch = format.width * 3;
    }
    unsigned char *jpeg = coder.jpeg.get();
    coder.size = coder.capacity;
    return tjCompress2(coder.compressor.get(), source, rows.width, pitch, rows.height,
                       pixelFormatFor(format.depth), &jpeg, &coder.size, subsampling, quality,
                       TJFLAG_NOREALLOC) == 0;
}

size_t JpegCodec::compress(const StreamFormat &format, const uint8_t *pixels, int quality, uint32_t strips)
{
    if (!isValidFormat(format) || !pixels || pixelFormatFor(format.depth) < 0)
        return 0;
    mStrips = planStrips(format, strips ? strips : stripCountFor(format));
    if (format.depth == kDepthRgb565)
        mWide.resize(size_t(format.width) * format.height * 3);
    const bool ok = runStrips(mStrips.size(), [&](uint32_t i) {
        return encodeStrip(*mCoders[i], format, mStrips[i], pixels, quality);
    });
    if (!ok)
        return 0;
    size_t offset = stripIndexSize(mStrips.size());
    for (size_t i = 0; i < mStrips.size(); ++i) {
        mStrips[i].offset = offset;
        mStrips[i].size = mCoders[i]->size;
        offset += mStrips[i].size;
    }
    return offset;
}

void JpegCodec::writePayload(uint8_t *out) const
{
    writeStripIndex(mStrips, out);
    for (size_t i = 0; i < mStrips.size(); ++i)
        std::memcpy(out + mStrips[i].offset, mCoders[i]->jpeg.get(), mStrips[i].size);
}

std::span<const uint8_t> JpegCodec::encode(const StreamFormat &format, const uint8_t *pixels,
                                           int quality, uint32_t strips)
{
    const size_t size = compress(format, pixels, quality, strips);
    if (size == 0)
        return {};
    mPayload.resize(size);
    writePayload(mPayload.data());
    return mPayload;
}

bool JpegCodec::decodeStrip(uint32_t index)
{
    StripCoder &coder = *mCoders[index];
    const StreamFormat &format = mDecodeFormat;
    const JpegStrip &strip = mStrips[index];
    if (!coder.decompressor)
        coder.decompressor.reset(tjInitDecompress());
    if (!coder.decompressor)
        return false;
    const auto jpeg = mDecodePayload.subspan(strip.offset, strip.size);
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    // The strip is written where the index puts it: one of any other size would overrun it.
    if (tjDecompressHeader3(coder.decompressor.get(), jpeg.data(), jpeg.size(), &width, &height,
                            &subsampling, &colourspace) != 0
        || width != format.width || uint32_t(height) != strip.rows)
        return false;
    const StreamFormat rows = stripFormat(format, strip);
    uint8_t *target = mDecodeOut + size_t(strip.firstRow) * rowStride(format);
    int pitch = int(rowStride(format));
    uint8_t *wide = nullptr;
    if (format.depth == kDepthRgb565) {
        wide = mWide.data() + size_t(strip.firstRow) * format.width * 3;
        pitch = format.width * 3;
    }
    if (tjDecompress2(coder.decompressor.get(), jpeg.data(), jpeg.size(), wide ? wide : target,
                      rows.width, pitch, rows.height, pixelFormatFor(format.depth), 0) != 0)
        return false;
    if (wide)
        narrowRgb565(rows, wide, target);
    return true;
}

uint32_t JpegCodec::planDecode(std::span<const uint8_t> payload, const StreamFormat &format,
                               JpegLayout layout, uint8_t *out)
{
    if (!isValidFormat(format) || !out || pixelFormatFor(format.depth) < 0 || payload.empty())
        return 0;
    if (layout == JpegLayout::kWhole)
        mStrips.assign(1, JpegStrip{0, format.height, 0, payload.size()});
    else if (!readStripIndex(payload, format, mStrips))
        return 0;
    if (format.depth == kDepthRgb565)
        mWide.resize(size_t(format.width) * format.height * 3);
    while (mCoders.size() < mStrips.size())
        mCoders.push_back(std::make_unique<StripCoder>());
    mDecodePayload = payload;
    mDecodeFormat = format;
    mDecodeOut = out;
    return uint32_t(mStrips.size());
}

bool JpegCodec::decode(std::span<const uint8_t> payload, const StreamFormat &format,
                       JpegLayout layout, uint8_t *out)
{
    const uint32_t strips = planDecode(payload, format, layout, out);
    return strips > 0 && runStrips(strips, [this](uint32_t i) { return decodeStrip(i); });
}

} // namespace zun
