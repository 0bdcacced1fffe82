#pragma once

#include "frame.h"
#include "transport/paritylayout.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace zun {

// The header in front of every UDP datagram and TCP message, written and read field by
// field in network byte order (layout in the README). A piece carries bytes
// [pieceOffset, pieceOffset + pieceLength) of a frame payload of totalLength bytes, or, in
// the longer version 3 header, parity row `row` of block `block` (offset 0, length pieceSize).
struct WireHeader {
    static constexpr size_t kSize = 44;
    static constexpr size_t kParitySize = 56;
    static constexpr uint32_t kMagic = 0x5A56534C; // "ZVSL"
    // Version 2 carries a JPEG as strips with their index; version 1, still read, as one
    // JPEG file. Nothing else differs. Version 3 is a parity piece of a version 1 or 2 frame.
    static constexpr uint8_t kVersion = 2;
    static constexpr uint8_t kVersionWholeJpeg = 1;
    static constexpr uint8_t kParityVersion = 3;
    static constexpr uint8_t kFlagCompressed = 0x01;

    struct Parity {
        ParityLayout layout;
        uint32_t block = 0;
        uint32_t row = 0;
        uint32_t frameCrc = 0; // CRC-32 of the whole payload: a repair must give it back
    };

    FrameMeta meta;
    uint32_t totalLength = 0;
    uint32_t pieceOffset = 0;
    uint32_t pieceLength = 0;
    std::optional<Parity> parity;

    size_t size() const { return parity ? kParitySize : kSize; }
    // out holds at least size() bytes. A data piece is written as version 1 when meta says
    // the JPEG is whole, else as version 2.
    void write(std::span<uint8_t> out) const;
    // nullopt unless every field is valid: magic, a version it knows (which sets the JPEG
    // layout), no unknown flag or reserved bit, a known format, a total the format allows
    // and a non-empty piece inside it; for a parity piece also a layout that fits the total
    // and a block and row inside it.
    static std::optional<WireHeader> read(std::span<const uint8_t> in);
    // Why read refuses these bytes, in a few words.
    static const char *rejection(std::span<const uint8_t> in);
};

} // namespace zun
