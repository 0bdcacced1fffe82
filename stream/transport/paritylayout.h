#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

namespace zun {

// How a frame's data pieces are grouped for erasure coding. Data piece i holds payload bytes
// [i * pieceSize, (i + 1) * pieceSize) (the last one may be short) and belongs to block
// i % blockCount, so consecutive pieces, and a burst of losses, spread over the blocks. Each
// block gets parityPerBlock parity pieces of pieceSize bytes.
struct ParityLayout {
    // Reed-Solomon over GF(2^8): data and parity pieces of one block together.
    static constexpr uint32_t kMaxBlockPieces = 255;

    uint32_t totalLength = 0;
    uint32_t pieceSize = 0;
    uint32_t blockCount = 0;
    uint32_t parityPerBlock = 0;

    // The layout for percent parity (1 to 100) over a payload cut into pieces of pieceSize.
    static ParityLayout choose(uint32_t totalLength, uint32_t pieceSize, uint32_t percent);
    // nullopt unless the fields describe a layout choose() could make.
    static std::optional<ParityLayout> checked(uint32_t totalLength, uint32_t pieceSize,
                                               uint32_t blockCount, uint32_t parityPerBlock);

    uint32_t pieceCount() const { return (totalLength + pieceSize - 1) / pieceSize; }
    uint32_t dataInBlock(uint32_t block) const
    {
        return (pieceCount() - block + blockCount - 1) / blockCount;
    }
    uint32_t pieceIndex(uint32_t block, uint32_t row) const { return block + row * blockCount; }
    uint32_t pieceLength(uint32_t index) const
    {
        const uint64_t begin = uint64_t(index) * pieceSize;
        return uint32_t(std::min<uint64_t>(pieceSize, totalLength - begin));
    }
    uint64_t parityBytes() const { return uint64_t(blockCount) * parityPerBlock * pieceSize; }
    bool operator==(const ParityLayout &) const = default;
};

} // namespace zun
