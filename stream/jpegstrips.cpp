#include "jpegstrips.h"

#include <algorithm>

namespace zun {

namespace {

uint32_t readBig(const uint8_t *in, int bytes)
{
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | in[i];
    return value;
}

void writeBig(uint8_t *out, uint32_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        *out++ = uint8_t(value >> (8 * i));
}

} // namespace

uint32_t stripCountFor(const StreamFormat &format, unsigned cores)
{
    const uint64_t pixels = uint64_t(format.width) * format.height;
    const uint64_t bySize = pixels / kMinStripPixels;
    const uint64_t wanted = cores > 1 ? 2 * uint64_t(cores) : 1;
    return uint32_t(std::clamp<uint64_t>(std::min(wanted, bySize), 1, kMaxJpegStrips));
}

std::vector<JpegStrip> planStrips(const StreamFormat &format, uint32_t count)
{
    count = std::clamp<uint32_t>(count, 1, kMaxJpegStrips);
    const uint32_t share = (format.height + count - 1) / count;
    const uint32_t rows = (share + kStripRowAlignment - 1) / kStripRowAlignment * kStripRowAlignment;
    std::vector<JpegStrip> strips;
    for (uint32_t first = 0; first < format.height; first += rows)
        strips.push_back({first, std::min(rows, format.height - first), 0, 0});
    return strips;
}

void writeStripIndex(std::span<const JpegStrip> strips, uint8_t *out)
{
    writeBig(out, uint32_t(strips.size()), 2);
    writeBig(out + 2, 0, 2);
    out += 4;
    for (const JpegStrip &strip : strips) {
        writeBig(out, strip.rows, 2);
        writeBig(out + 2, uint32_t(strip.size), 4);
        out += 6;
    }
}

bool readStripIndex(std::span<const uint8_t> payload, const StreamFormat &format,
                    std::vector<JpegStrip> &strips)
{
    strips.clear();
    if (payload.size() < stripIndexSize(1))
        return false;
    const uint32_t count = readBig(payload.data(), 2);
    if (count == 0 || count > kMaxJpegStrips || readBig(payload.data() + 2, 2) != 0
        || payload.size() < stripIndexSize(count))
        return false;
    uint64_t row = 0;
    uint64_t offset = stripIndexSize(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *entry = payload.data() + stripIndexSize(i);
        const uint32_t rows = readBig(entry, 2);
        const uint32_t size = readBig(entry + 2, 4);
        if (rows == 0 || size == 0 || row + rows > format.height || offset + size > payload.size())
            return false;
        strips.push_back({uint32_t(row), rows, size_t(offset), size});
        row += rows;
        offset += size;
    }
    return row == format.height && offset == payload.size();
}

} // namespace zun
