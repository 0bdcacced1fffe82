#pragma once

#include "transport/udp/erasurecode.h"
#include "transport/paritylayout.h"
#include "transport/wireheader.h"

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace zun {

// The parity pieces received for one frame, and the repair of its blocks from them.
class FrameParity {
public:
    explicit FrameParity(const WireHeader::Parity &first);

    const ParityLayout &layout() const { return mLayout; }
    // Whether piece belongs to the same parity as the first one: a piece that does not was
    // not made from this frame.
    bool matches(const WireHeader::Parity &piece) const
    {
        return piece.layout == mLayout && piece.frameCrc == mFrameCrc;
    }
    // Whether a repaired frame is the one the sender sent.
    bool isSent(std::span<const uint8_t> frame) const;
    size_t bytes() const { return mBytes.size(); }
    // Keeps parity row of block; false when it was already held.
    bool add(uint32_t block, uint32_t row, std::span<const uint8_t> piece);
    // When block misses data pieces (present tells which are whole) and enough parity has
    // come, rebuilds them into frame and returns their indices; empty otherwise.
    std::vector<uint32_t> repair(uint32_t block, std::span<uint8_t> frame,
                                 const std::function<bool(uint32_t index)> &present, ErasureCode &code);

private:
    ParityLayout mLayout;
    uint32_t mFrameCrc;
    std::vector<uint8_t> mBytes;
    std::vector<uint8_t> mHave;        // per parity piece
    std::vector<uint16_t> mHeldInBlock;
    std::vector<uint8_t> mPadded;      // the frame's short last piece, zero-filled
    std::vector<uint8_t> mShortOut;
};

} // namespace zun
