#include "transport/paritylayout.h"

namespace zun {
namespace {

uint32_t parityFor(uint32_t dataPieces, uint32_t percent)
{
    return std::max<uint32_t>(1, (dataPieces * percent + 99) / 100);
}

} // namespace

ParityLayout ParityLayout::choose(uint32_t totalLength, uint32_t pieceSize, uint32_t percent)
{
    percent = std::clamp<uint32_t>(percent, 1, 100);
    ParityLayout layout{totalLength, std::min(pieceSize, totalLength), 1, 0};
    // Blocks as large as the code allows protect best for the bytes they add.
    uint32_t largest = kMaxBlockPieces - 1;
    while (largest + parityFor(largest, percent) > kMaxBlockPieces)
        --largest;
    const uint32_t pieces = layout.pieceCount();
    layout.blockCount = (pieces + largest - 1) / largest;
    layout.parityPerBlock = parityFor(layout.dataInBlock(0), percent);
    return layout;
}

std::optional<ParityLayout> ParityLayout::checked(uint32_t totalLength, uint32_t pieceSize,
                                                  uint32_t blockCount, uint32_t parityPerBlock)
{
    if (pieceSize == 0 || pieceSize > totalLength || blockCount == 0 || parityPerBlock == 0)
        return std::nullopt;
    const ParityLayout layout{totalLength, pieceSize, blockCount, parityPerBlock};
    // More parity than data would only cost the receiver memory.
    const uint32_t largestBlock = blockCount <= layout.pieceCount() ? layout.dataInBlock(0) : 0;
    if (largestBlock == 0 || parityPerBlock > largestBlock || largestBlock + parityPerBlock > kMaxBlockPieces)
        return std::nullopt;
    return layout;
}

} // namespace zun
