#pragma once

#include "frame.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace zun {

// The header in front of every UDP datagram and TCP message, written and read field by
// field in network byte order (layout in the README). A piece carries bytes
// [pieceOffset, pieceOffset + pieceLength) of a frame payload of totalLength bytes.
struct WireHeader {
    static constexpr size_t kSize = 44;
    static constexpr uint32_t kMagic = 0x5A56534C; // "ZVSL"
    // Version 2 carries a JPEG as strips with their index; version 1, still read, as one
    // JPEG file. Nothing else differs.
    static constexpr uint8_t kVersion = 2;
    static constexpr uint8_t kVersionWholeJpeg = 1;
    static constexpr uint8_t kFlagCompressed = 0x01;

    FrameMeta meta;
    uint32_t totalLength = 0;
    uint32_t pieceOffset = 0;
    uint32_t pieceLength = 0;

    // Written as version 1 when meta says the JPEG is whole, else as version 2.
    void write(std::span<uint8_t, kSize> out) const;
    // nullopt unless every field is valid: magic, a version it knows (which sets the JPEG
    // layout), no unknown flag or reserved
    // bit, a known format, a total the format allows and a non-empty piece inside it.
    static std::optional<WireHeader> read(std::span<const uint8_t> in);
    // Why read refuses these bytes, in a few words.
    static const char *rejection(std::span<const uint8_t> in);
};

} // namespace zun
