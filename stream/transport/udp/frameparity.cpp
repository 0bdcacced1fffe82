#include "transport/udp/frameparity.h"

#include "transport/udp/framecrc.h"

#include <cstring>

namespace zun {

FrameParity::FrameParity(const WireHeader::Parity &first)
    : mLayout(first.layout), mFrameCrc(first.frameCrc), mBytes(mLayout.parityBytes()),
      mHave(size_t(mLayout.blockCount) * mLayout.parityPerBlock), mHeldInBlock(mLayout.blockCount)
{
}

bool FrameParity::isSent(std::span<const uint8_t> frame) const
{
    return frameCrc(frame) == mFrameCrc;
}

bool FrameParity::add(uint32_t block, uint32_t row, std::span<const uint8_t> piece)
{
    const size_t slot = size_t(block) * mLayout.parityPerBlock + row;
    if (block >= mLayout.blockCount || row >= mLayout.parityPerBlock || piece.size() != mLayout.pieceSize
        || mHave[slot])
        return false;
    std::memcpy(mBytes.data() + slot * mLayout.pieceSize, piece.data(), piece.size());
    mHave[slot] = 1;
    ++mHeldInBlock[block];
    return true;
}

std::vector<uint32_t> FrameParity::repair(uint32_t block, std::span<uint8_t> frame,
                                          const std::function<bool(uint32_t)> &present, ErasureCode &code)
{
    if (block >= mLayout.blockCount || mHeldInBlock[block] == 0 || frame.size() != mLayout.totalLength)
        return {};
    const uint32_t k = mLayout.dataInBlock(block);
    const size_t size = mLayout.pieceSize;
    const uint32_t last = mLayout.pieceCount() - 1;
    std::vector<uint32_t> rows, missingRows, missing;
    std::vector<const uint8_t *> sources;
    for (uint32_t row = 0; row < k; ++row) {
        const uint32_t index = mLayout.pieceIndex(block, row);
        if (!present(index)) {
            missingRows.push_back(row);
            missing.push_back(index);
            continue;
        }
        if (index == last) {
            mPadded.assign(size, 0);
            std::memcpy(mPadded.data(), frame.data() + size_t(index) * size, mLayout.pieceLength(index));
        }
        rows.push_back(row);
        sources.push_back(index == last ? mPadded.data() : frame.data() + size_t(index) * size);
    }
    if (missing.empty() || rows.size() + mHeldInBlock[block] < k)
        return {};
    for (uint32_t row = 0; row < mLayout.parityPerBlock && rows.size() < k; ++row) {
        const size_t slot = size_t(block) * mLayout.parityPerBlock + row;
        if (!mHave[slot])
            continue;
        rows.push_back(k + row);
        sources.push_back(mBytes.data() + slot * size);
    }
    // Whole pieces are rebuilt in place; the short last one through a full-size buffer.
    std::vector<uint8_t *> outputs;
    for (uint32_t index : missing) {
        if (index == last) {
            mShortOut.assign(size, 0);
            outputs.push_back(mShortOut.data());
        } else {
            outputs.push_back(frame.data() + size_t(index) * size);
        }
    }
    if (!code.rebuild(k, mLayout.parityPerBlock, size, rows, sources.data(), missingRows, outputs.data()))
        return {};
    if (missing.back() == last)
        std::memcpy(frame.data() + size_t(last) * size, mShortOut.data(), mLayout.pieceLength(last));
    return missing;
}

} // namespace zun
