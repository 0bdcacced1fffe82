#include "transport/wireheader.h"

#include "format.h"

namespace zun {
namespace {

class Writer {
public:
    explicit Writer(uint8_t *out) : mOut(out) {}
    void put(uint64_t value, int bytes)
    {
        for (int i = bytes - 1; i >= 0; --i)
            *mOut++ = uint8_t(value >> (8 * i));
    }

private:
    uint8_t *mOut;
};

class Reader {
public:
    explicit Reader(const uint8_t *in) : mIn(in) {}
    uint64_t get(int bytes)
    {
        uint64_t value = 0;
        for (int i = 0; i < bytes; ++i)
            value = (value << 8) | *mIn++;
        return value;
    }

private:
    const uint8_t *mIn;
};

// The one place that says which versions are read, and what each means.
std::optional<JpegLayout> layoutOfVersion(uint64_t version)
{
    switch (version) {
    case WireHeader::kVersionWholeJpeg: return JpegLayout::kWhole;
    case WireHeader::kVersion: return JpegLayout::kStrips;
    default: return std::nullopt;
    }
}

uint8_t versionOf(JpegLayout layout)
{
    return layout == JpegLayout::kWhole ? WireHeader::kVersionWholeJpeg : WireHeader::kVersion;
}

bool readParity(Reader &r, WireHeader &h)
{
    const auto blockCount = uint32_t(r.get(2));
    const auto block = uint32_t(r.get(2));
    const auto parityPerBlock = uint32_t(r.get(1));
    const auto row = uint32_t(r.get(1));
    const auto dataLayout = layoutOfVersion(r.get(1));
    if (!dataLayout || r.get(1) != 0 || h.pieceOffset != 0)
        return false;
    const auto frameCrc = uint32_t(r.get(4));
    const auto layout = ParityLayout::checked(h.totalLength, h.pieceLength, blockCount, parityPerBlock);
    if (!layout || block >= blockCount || row >= parityPerBlock)
        return false;
    h.meta.jpegLayout = *dataLayout;
    h.parity = WireHeader::Parity{*layout, block, row, frameCrc};
    return true;
}

} // namespace

void WireHeader::write(std::span<uint8_t> out) const
{
    if (out.size() < size())
        return;
    Writer w(out.data());
    w.put(kMagic, 4);
    w.put(parity ? kParityVersion : versionOf(meta.jpegLayout), 1);
    w.put(meta.compressed ? kFlagCompressed : 0, 1);
    w.put(0, 2); // reserved
    w.put(meta.streamId, 4);
    w.put(meta.frameNumber, 4);
    w.put(meta.format.width, 2);
    w.put(meta.format.height, 2);
    w.put(meta.format.depth, 2);
    w.put(meta.format.orientation, 2);
    w.put(totalLength, 4);
    w.put(pieceOffset, 4);
    w.put(pieceLength, 4);
    w.put(meta.sendTimeNs, 8);
    if (!parity)
        return;
    w.put(parity->layout.blockCount, 2);
    w.put(parity->block, 2);
    w.put(parity->layout.parityPerBlock, 1);
    w.put(parity->row, 1);
    w.put(versionOf(meta.jpegLayout), 1); // of the data pieces
    w.put(0, 1); // reserved
    w.put(parity->frameCrc, 4);
}

std::optional<WireHeader> WireHeader::read(std::span<const uint8_t> in)
{
    if (in.size() < kSize)
        return std::nullopt;
    Reader r(in.data());
    if (r.get(4) != kMagic)
        return std::nullopt;
    const uint64_t version = r.get(1);
    const bool isParity = version == kParityVersion;
    // A parity piece names its frame's layout further on.
    const auto layout = isParity ? std::optional(JpegLayout::kStrips) : layoutOfVersion(version);
    if (!layout || (isParity && in.size() < kParitySize))
        return std::nullopt;
    const uint64_t flags = r.get(1);
    if ((flags & ~uint64_t(kFlagCompressed)) != 0 || r.get(2) != 0)
        return std::nullopt;

    WireHeader h;
    h.meta.compressed = (flags & kFlagCompressed) != 0;
    h.meta.jpegLayout = *layout;
    h.meta.streamId = uint32_t(r.get(4));
    h.meta.frameNumber = uint32_t(r.get(4));
    h.meta.format.width = uint16_t(r.get(2));
    h.meta.format.height = uint16_t(r.get(2));
    h.meta.format.depth = uint16_t(r.get(2));
    h.meta.format.orientation = uint16_t(r.get(2));
    h.totalLength = uint32_t(r.get(4));
    h.pieceOffset = uint32_t(r.get(4));
    h.pieceLength = uint32_t(r.get(4));
    h.meta.sendTimeNs = r.get(8);

    if (!isValidFormat(h.meta.format))
        return std::nullopt;
    const uint64_t total = h.totalLength;
    if (h.meta.compressed ? (total == 0 || total > maxPayloadSize(h.meta.format, true))
                          : total != byteSize(h.meta.format))
        return std::nullopt;
    if (h.pieceLength == 0 || uint64_t(h.pieceOffset) + h.pieceLength > total)
        return std::nullopt;
    if (isParity && !readParity(r, h))
        return std::nullopt;
    return h;
}

const char *WireHeader::rejection(std::span<const uint8_t> in)
{
    if (in.size() < kSize)
        return "too short";
    if (Reader(in.data()).get(4) != kMagic)
        return "bad magic";
    if (in[4] == kParityVersion && in.size() < kParitySize)
        return "too short";
    return "bad header";
}

} // namespace zun
