#include "transport/udp/parityencoder.h"

#include <cstring>

namespace zun {

void ParityEncoder::encode(std::span<const uint8_t> payload, const ParityLayout &layout)
{
    start(payload, layout);
    finish();
}

void ParityEncoder::finish()
{
    while (encodeNextBlock()) {
    }
}

void ParityEncoder::start(std::span<const uint8_t> payload, const ParityLayout &layout)
{
    mLayout = layout;
    mPayload = payload;
    mNextBlock = 0;
    const size_t size = layout.pieceSize;
    mParity.resize(layout.parityBytes());
    const uint32_t last = layout.pieceCount() - 1;
    mPaddedLast.assign(size, 0);
    std::memcpy(mPaddedLast.data(), payload.data() + size_t(last) * size, layout.pieceLength(last));
}

bool ParityEncoder::encodeNextBlock()
{
    if (finished())
        return false;
    const uint32_t block = mNextBlock++;
    const size_t size = mLayout.pieceSize;
    const uint32_t last = mLayout.pieceCount() - 1;
    const uint32_t k = mLayout.dataInBlock(block);
    mData.clear();
    for (uint32_t row = 0; row < k; ++row) {
        const uint32_t index = mLayout.pieceIndex(block, row);
        mData.push_back(index == last ? mPaddedLast.data() : mPayload.data() + size_t(index) * size);
    }
    mOut.clear();
    for (uint32_t row = 0; row < mLayout.parityPerBlock; ++row)
        mOut.push_back(mParity.data() + (size_t(block) * mLayout.parityPerBlock + row) * size);
    mCode.encode(k, mLayout.parityPerBlock, size, mData.data(), mOut.data());
    return true;
}

std::span<const uint8_t> ParityEncoder::piece(uint32_t block, uint32_t row) const
{
    const size_t size = mLayout.pieceSize;
    return {mParity.data() + (size_t(block) * mLayout.parityPerBlock + row) * size, size};
}

} // namespace zun
