#pragma once

#include "transport/udp/erasurecode.h"
#include "transport/udp/paritylayout.h"

#include <cstdint>
#include <span>
#include <vector>

namespace zun {

// Computes the parity pieces of one frame at a time, straight from the frame's bytes.
class ParityEncoder {
public:
    void encode(std::span<const uint8_t> payload, const ParityLayout &layout);
    // Parity row of block from the last encode, layout.pieceSize bytes.
    std::span<const uint8_t> piece(uint32_t block, uint32_t row) const;

private:
    ErasureCode mCode;
    ParityLayout mLayout;
    std::vector<uint8_t> mParity;
    std::vector<uint8_t> mPaddedLast; // the frame's short last piece, zero-filled to full size
    std::vector<const uint8_t *> mData;
    std::vector<uint8_t *> mOut;
};

} // namespace zun
