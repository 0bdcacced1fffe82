// A frame's payload as a decoder takes it: the size checks, then the strip index and the
// JPEG decode into a buffer of exactly the announced format's size (AddressSanitizer sees
// any write past it).
// Input: [2 bytes width][2 bytes height][1 byte depth]
//        [1 byte flags: bit 0 JPEG, bit 1 strips with their index (else one JPEG file)][payload].

#include "fuzzcheck.h"
#include "format.h"
#include "jpegcodec.h"

#include <algorithm>
#include <span>
#include <vector>

namespace {
// Larger frames take the same checks but make each run slow.
constexpr uint32_t kMaxDecodedBytes = 4u << 20;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 6)
        return 0;
    const StreamFormat format{uint16_t((data[0] << 8) | data[1]), uint16_t((data[2] << 8) | data[3]),
                              data[4], 1};
    const bool compressed = (data[5] & 1) != 0;
    const auto layout = (data[5] & 2) != 0 ? zun::JpegLayout::kStrips : zun::JpegLayout::kWhole;
    const std::span<const uint8_t> payload(data + 6, size - 6);
    if (!zun::payloadFits(format, compressed, payload.size()))
        return 0;
    FUZZ_CHECK(zun::isValidFormat(format));
    const uint32_t bytes = zun::byteSize(format);
    if (bytes > kMaxDecodedBytes)
        return 0;
    static zun::JpegCodec codec; // as a decoder's thread keeps one
    std::vector<uint8_t> pixels(bytes);
    if (compressed)
        codec.decode(payload, format, layout, pixels.data());
    else
        std::copy(payload.begin(), payload.end(), pixels.begin());
    return 0;
}
