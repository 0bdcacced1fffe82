#pragma once

#include "transport/udp/erasurecode.h"
#include "transport/paritylayout.h"

#include <cstdint>
#include <span>
#include <vector>

namespace zun {

// Computes the parity pieces of one frame at a time, straight from the frame's bytes, all
// at once or a block at a time, so a sender can do it while it waits to pace the data.
class ParityEncoder {
public:
    void encode(std::span<const uint8_t> payload, const ParityLayout &layout);
    // Begins a frame; payload must stay until it is finished or forgotten.
    void start(std::span<const uint8_t> payload, const ParityLayout &layout);
    // Computes the next block's parity; false when there was none left.
    bool encodeNextBlock();
    // Computes the parity of every block not yet done.
    void finish();
    bool finished() const { return mNextBlock >= mLayout.blockCount; }
    // Leaves the blocks not yet done, as of a frame cut short: its payload may go.
    void forget() { mNextBlock = mLayout.blockCount; }
    // Parity row of block from the frame started last, layout.pieceSize bytes; its bytes
    // are final once the block has been encoded.
    std::span<const uint8_t> piece(uint32_t block, uint32_t row) const;

private:
    ErasureCode mCode;
    ParityLayout mLayout;
    std::span<const uint8_t> mPayload;
    uint32_t mNextBlock = 0;
    std::vector<uint8_t> mParity;
    std::vector<uint8_t> mPaddedLast; // the frame's short last piece, zero-filled to full size
    std::vector<const uint8_t *> mData;
    std::vector<uint8_t *> mOut;
};

} // namespace zun
