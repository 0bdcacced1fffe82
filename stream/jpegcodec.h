#pragma once

#include "zunVidStreamLib2.h"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace zun {

// TurboJPEG compression of frames in every depth. 16-bit frames are widened to 24-bit for
// the codec and narrowed again; 32-bit frames are read and written in place as the codec's
// BGRX (XRGB on big-endian machines); 8-bit frames are coded as one grey channel.
// Colour is subsampled 4:2:0 below quality 90 and kept whole (4:4:4) from 90 up.
// One instance per thread.
class JpegCodec {
public:
    JpegCodec();
    ~JpegCodec();
    JpegCodec(const JpegCodec &) = delete;
    JpegCodec &operator=(const JpegCodec &) = delete;

    // Compression level 0 (best picture) to 100 (smallest) as a quality in 1..100.
    static int qualityForLevel(uint32_t level);
    static int subsamplingFor(uint16_t depth, int quality);

    // The JPEG bytes, valid until the next call on this codec; empty on failure.
    std::span<const uint8_t> encode(const StreamFormat &format, const uint8_t *pixels, int quality);
    // Decodes into out (byteSize(format) bytes). False unless jpeg is a JPEG of exactly
    // format's width and height.
    bool decode(std::span<const uint8_t> jpeg, const StreamFormat &format, uint8_t *out);

private:
    struct TjHandleDeleter { void operator()(void *handle) const; };
    struct TjBufferDeleter { void operator()(unsigned char *buffer) const; };

    std::unique_ptr<void, TjHandleDeleter> mCompressor;
    std::unique_ptr<void, TjHandleDeleter> mDecompressor;
    std::unique_ptr<unsigned char, TjBufferDeleter> mJpeg;
    unsigned long mJpegCapacity = 0;
    std::vector<uint8_t> mWide; // a 16-bit frame as 24-bit
};

} // namespace zun
