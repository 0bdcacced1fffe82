#pragma once

#include "transport/udp/erasurecode.h"
#include "transport/udp/frameparity.h"
#include "transport/wireheader.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace zun {

// Puts frames back together from their pieces, apart for every stream id. Only whole
// frames come out; memory held is bounded by the limits whatever arrives.
class FrameReassembler {
public:
    struct Limits {
        size_t maxBytes = size_t(320) << 20; // room for one frame of the largest format and more
        size_t maxStreams = 16;
        size_t maxFramesPerStream = 4;
        size_t maxGapsPerFrame = 1024; // more for frames over 16 MiB
        uint64_t timeoutNs = 300'000'000; // since the frame's last piece
        uint64_t streamForgetNs = 10'000'000'000;
        uint64_t spareIdleNs = 10'000'000'000; // a spare buffer unused this long is given back
    };
    enum class Result { Accepted, Completed, Rejected, Stale };

    FrameReassembler() = default;
    explicit FrameReassembler(const Limits &limits) : mLimits(limits) {}

    // piece holds exactly header.pieceLength bytes, data or parity. Completed: take() the
    // frame now.
    Result add(const WireHeader &header, std::span<const uint8_t> piece, uint64_t nowNs);
    // Where the next piece of the frame last added to would go, when it can be received
    // straight into place because nothing from there on has arrived yet; empty otherwise.
    std::span<uint8_t> landingZone(size_t maxLength);
    // A piece that was received into the landing zone and belongs there (the caller checked
    // header with landsInZone); counted like add().
    Result addLanded(const WireHeader &header, uint64_t nowNs);
    bool landsInZone(const WireHeader &header) const;
    // The piece that would land next, or after a frame completed the next frame's first:
    // of which frame, at which offset.
    struct NextPiece {
        uint32_t frameNumber = 0;
        uint32_t offset = 0;
    };
    std::optional<NextPiece> nextPiece() const;
    // Moves out the frame the last add() or addLanded() completed; frame's old payload buffer is reused.
    void take(EncodedFrame &frame);
    // Gives a payload buffer back for reuse.
    void recycle(Bytes &&buffer);
    // Drops frames that have waited too long for a piece, and spare buffers no frame has
    // needed for a while.
    void expire(uint64_t nowNs);

    uint64_t framesIncomplete() const { return mIncomplete; }
    // Frames completed only thanks to parity, and the data pieces rebuilt from it.
    uint64_t framesRepaired() const { return mRepaired; }
    uint64_t piecesRebuilt() const { return mRebuilt; }
    size_t bytesHeld() const { return mBytesHeld; }
    size_t spareBytes() const { return mSpareBytes; }
    // Payload buffers made afresh rather than reused.
    uint64_t buffersMade() const { return mBuffersMade; }

private:
    struct Partial {
        FrameMeta meta;
        uint32_t total = 0;
        uint32_t covered = 0;
        uint64_t lastNs = 0;
        Bytes data;
        std::vector<std::pair<uint32_t, uint32_t>> ranges; // received [begin, end), sorted, merged
        std::unique_ptr<FrameParity> parity;
        uint32_t rebuilt = 0; // data pieces rebuilt from parity
    };
    struct Stream {
        uint32_t id = 0;
        bool anyDelivered = false;
        uint32_t lastDelivered = 0;
        uint64_t lastNs = 0;
        std::vector<Partial> partials;
    };

    struct Spare {
        Bytes buffer;
        uint64_t sinceNs = 0;
    };

    struct Landing {
        bool valid = false;
        uint32_t streamId = 0;
        uint32_t frameNumber = 0;
        uint32_t offset = 0;
        uint32_t length = 0;
    };

    // The frame the piece belongs to, started if new; null with why in result.
    Partial *partialFor(Stream &stream, const WireHeader &header, uint64_t nowNs, Result &result);
    Result finishPiece(Stream &stream, Partial &partial, uint32_t begin, uint32_t end, uint64_t nowNs);
    Result addParity(Stream &stream, Partial &partial, const WireHeader &header,
                     std::span<const uint8_t> piece, uint64_t nowNs);
    // Rebuilds what parity allows in block; false when the frame had to be dropped.
    bool repair(Stream &stream, Partial &partial, uint32_t block);
    Result settle(Stream &stream, Partial &partial);
    static bool covers(const Partial &partial, uint32_t begin, uint32_t end);
    static size_t heldBy(const Partial &partial);
    Stream &streamFor(uint32_t id, uint64_t nowNs);
    Partial *startFrame(Stream &stream, const WireHeader &header, uint64_t nowNs);
    bool insertRange(Partial &partial, uint32_t begin, uint32_t end);
    void dropPartial(Stream &stream, size_t index);
    bool evictOldestPartial();
    Bytes takeBuffer(uint32_t size);

    Limits mLimits;
    std::vector<Stream> mStreams;
    std::vector<Spare> mSpare; // the longest unused first
    size_t mSpareBytes = 0;
    uint64_t mNowNs = 0; // the latest time add() or expire() was given
    EncodedFrame mCompleted;
    Landing mLanding;
    std::optional<NextPiece> mAfterCompleted;
    size_t mBytesHeld = 0;
    uint64_t mIncomplete = 0;
    uint64_t mRepaired = 0;
    uint64_t mRebuilt = 0;
    uint64_t mBuffersMade = 0;
    ErasureCode mCode;
};

} // namespace zun
