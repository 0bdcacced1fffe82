#include "transport/udp/parityencoder.h"

#include <cstring>

namespace zun {

void ParityEncoder::encode(std::span<const uint8_t> payload, const ParityLayout &layout)
{
    mLayout = layout;
    const size_t size = layout.pieceSize;
    mParity.resize(layout.parityBytes());
    const uint32_t last = layout.pieceCount() - 1;
    const uint32_t lastLength = layout.pieceLength(last);
    mPaddedLast.assign(size, 0);
    std::memcpy(mPaddedLast.data(), payload.data() + size_t(last) * size, lastLength);
    for (uint32_t block = 0; block < layout.blockCount; ++block) {
        const uint32_t k = layout.dataInBlock(block);
        mData.clear();
        for (uint32_t row = 0; row < k; ++row) {
            const uint32_t index = layout.pieceIndex(block, row);
            mData.push_back(index == last ? mPaddedLast.data() : payload.data() + size_t(index) * size);
        }
        mOut.clear();
        for (uint32_t row = 0; row < layout.parityPerBlock; ++row)
            mOut.push_back(mParity.data() + (size_t(block) * layout.parityPerBlock + row) * size);
        mCode.encode(k, layout.parityPerBlock, size, mData.data(), mOut.data());
    }
}

std::span<const uint8_t> ParityEncoder::piece(uint32_t block, uint32_t row) const
{
    const size_t size = mLayout.pieceSize;
    return {mParity.data() + (size_t(block) * mLayout.parityPerBlock + row) * size, size};
}

} // namespace zun
