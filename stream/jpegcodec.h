#pragma once

#include "frame.h"
#include "jpegstrips.h"
#include "zunVidStreamLib2.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace zun {

class WorkerPool;

// TurboJPEG compression of frames in every depth, each frame cut into strips that are coded
// at once on the process's worker pool (see jpegstrips.h). 16-bit frames are widened to
// 24-bit for the codec and narrowed again; 32-bit frames are read and written in place as
// the codec's BGRX (XRGB on big-endian machines); 8-bit frames are coded as one grey channel.
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
    // The strips a frame of this format is cut into on this machine.
    static uint32_t stripCountFor(const StreamFormat &format);

    // Codes the frame's strips; the size of their striped payload (JpegLayout::kStrips), 0 on
    // failure. `strips` 0 chooses the count from the format and the cores.
    size_t compress(const StreamFormat &format, const uint8_t *pixels, int quality, uint32_t strips = 0);
    // Puts the payload the last compress made together at out, which has room for its size.
    void writePayload(uint8_t *out) const;
    // compress and writePayload into a buffer of the codec's, valid until the next call on it.
    std::span<const uint8_t> encode(const StreamFormat &format, const uint8_t *pixels, int quality,
                                    uint32_t strips = 0);
    // Decodes a payload of the given layout into out (byteSize(format) bytes). False unless
    // every field of the strip index holds and each JPEG has exactly the width and rows its
    // place in the frame calls for.
    bool decode(std::span<const uint8_t> payload, const StreamFormat &format, JpegLayout layout,
                uint8_t *out);
    // decode in two steps, for strips run elsewhere: the strips to decode (0 when the index
    // does not hold), then decodeStrip for each, from any threads at once. Payload and out
    // stay where they are until the last strip is done.
    uint32_t planDecode(std::span<const uint8_t> payload, const StreamFormat &format, JpegLayout layout,
                        uint8_t *out);
    bool decodeStrip(uint32_t strip);

private:
    struct TjHandleDeleter { void operator()(void *handle) const; };
    struct TjBufferDeleter { void operator()(unsigned char *buffer) const; };
    // What one strip is coded with; strips of a frame run at once, each on its own.
    struct StripCoder {
        std::unique_ptr<void, TjHandleDeleter> compressor;
        std::unique_ptr<void, TjHandleDeleter> decompressor;
        std::unique_ptr<unsigned char, TjBufferDeleter> jpeg;
        unsigned long capacity = 0;
        unsigned long size = 0;
    };

    bool encodeStrip(StripCoder &coder, const StreamFormat &format, const JpegStrip &strip,
                     const uint8_t *pixels, int quality);
    // Runs strip(i) for every strip at once; false if any did.
    bool runStrips(size_t count, const std::function<bool(uint32_t)> &strip);

    std::shared_ptr<WorkerPool> mPool; // taken at the first frame of more than one strip
    std::vector<std::unique_ptr<StripCoder>> mCoders;
    std::vector<JpegStrip> mStrips;
    Bytes mPayload;
    Bytes mWide; // a 16-bit frame as 24-bit
    // What planDecode set up.
    std::span<const uint8_t> mDecodePayload;
    StreamFormat mDecodeFormat{};
    uint8_t *mDecodeOut = nullptr;
};

} // namespace zun
