#include "transport/udp/framereassembler.h"

#include <algorithm>
#include <cstring>

namespace zun {
namespace {

// Frame numbers wrap; "a is older than b" in serial-number order.
bool olderThan(uint32_t a, uint32_t b)
{
    return int32_t(a - b) < 0;
}

constexpr uint32_t kStaleWindow = 1024;
// Besides the frames a stream may have in progress: the one completed, and the one its
// reader hands back.
constexpr size_t kSpareBeyondPartials = 2;
// A large frame may have as many gaps as parity can fill, yet few enough that keeping its
// ranges sorted stays cheap.
constexpr uint32_t kBytesPerExtraGap = 16384;

} // namespace

FrameReassembler::Result FrameReassembler::add(const WireHeader &header,
                                               std::span<const uint8_t> piece, uint64_t nowNs)
{
    if (piece.size() != header.pieceLength)
        return Result::Rejected;
    mNowNs = nowNs;
    Stream &stream = streamFor(header.meta.streamId, nowNs);
    Result result = Result::Accepted;
    Partial *partial = partialFor(stream, header, nowNs, result);
    if (!partial)
        return result;
    if (header.parity)
        return addParity(stream, *partial, header, piece, nowNs);
    std::memcpy(partial->data.data() + header.pieceOffset, piece.data(), piece.size());
    return finishPiece(stream, *partial, header.pieceOffset, header.pieceOffset + header.pieceLength, nowNs);
}

std::span<uint8_t> FrameReassembler::landingZone(size_t maxLength)
{
    mLanding.length = 0;
    if (!mLanding.valid)
        return {};
    for (Stream &stream : mStreams) {
        if (stream.id != mLanding.streamId)
            continue;
        for (Partial &p : stream.partials) {
            if (p.meta.frameNumber != mLanding.frameNumber)
                continue;
            // Only bytes that have not arrived may be overwritten by a datagram landing here.
            if (p.ranges.empty() || p.ranges.back().second != mLanding.offset || mLanding.offset >= p.total)
                return {};
            mLanding.length = uint32_t(std::min<size_t>(maxLength, p.total - mLanding.offset));
            return {p.data.data() + mLanding.offset, mLanding.length};
        }
    }
    return {};
}

bool FrameReassembler::landsInZone(const WireHeader &header) const
{
    return mLanding.valid && mLanding.length > 0 && header.meta.streamId == mLanding.streamId
        && header.meta.frameNumber == mLanding.frameNumber && header.pieceOffset == mLanding.offset
        && header.pieceLength <= mLanding.length;
}

std::optional<FrameReassembler::NextPiece> FrameReassembler::nextPiece() const
{
    if (!mLanding.valid)
        return mAfterCompleted;
    return NextPiece{mLanding.frameNumber, mLanding.offset};
}

FrameReassembler::Result FrameReassembler::addLanded(const WireHeader &header, uint64_t nowNs)
{
    if (!landsInZone(header))
        return Result::Rejected;
    mNowNs = nowNs;
    Stream &stream = streamFor(header.meta.streamId, nowNs);
    Result result = Result::Accepted;
    Partial *partial = partialFor(stream, header, nowNs, result);
    if (!partial)
        return result;
    return finishPiece(stream, *partial, header.pieceOffset, header.pieceOffset + header.pieceLength, nowNs);
}

FrameReassembler::Partial *FrameReassembler::partialFor(Stream &stream, const WireHeader &header,
                                                        uint64_t nowNs, Result &result)
{
    const uint32_t number = header.meta.frameNumber;
    // A late piece of a frame already delivered or passed over; far behind is a restarted count.
    if (stream.anyDelivered && stream.lastDelivered - number < kStaleWindow) {
        result = Result::Stale;
        return nullptr;
    }
    auto it = std::find_if(stream.partials.begin(), stream.partials.end(),
                           [number](const Partial &p) { return p.meta.frameNumber == number; });
    result = Result::Rejected;
    if (it == stream.partials.end())
        return startFrame(stream, header, nowNs);
    const StreamFormat &a = it->meta.format;
    const StreamFormat &b = header.meta.format;
    if (it->total != header.totalLength || it->meta.compressed != header.meta.compressed
        || it->meta.jpegLayout != header.meta.jpegLayout
        || a.width != b.width || a.height != b.height || a.depth != b.depth)
        return nullptr;
    return &*it;
}

FrameReassembler::Result FrameReassembler::finishPiece(Stream &stream, Partial &partial, uint32_t begin,
                                                       uint32_t end, uint64_t nowNs)
{
    partial.lastNs = nowNs;
    if (!insertRange(partial, begin, end)) {
        dropPartial(stream, size_t(&partial - stream.partials.data()));
        mLanding.valid = false;
        return Result::Rejected;
    }
    // Data that comes after its block's parity may be what makes repair possible. It may also
    // only have been late, not lost: parity overtakes data only where datagrams are reordered.
    if (partial.parity && partial.covered != partial.total) {
        const ParityLayout &layout = partial.parity->layout();
        if (!repair(stream, partial, (begin / layout.pieceSize) % layout.blockCount))
            return Result::Rejected;
    }
    return settle(stream, partial);
}

FrameReassembler::Result FrameReassembler::addParity(Stream &stream, Partial &partial, const WireHeader &header,
                                                     std::span<const uint8_t> piece, uint64_t nowNs)
{
    const WireHeader::Parity &parity = *header.parity;
    if (!partial.parity) {
        // Parity that does not fit is only left unused: the data may still come whole.
        if (mBytesHeld + parity.layout.parityBytes() > mLimits.maxBytes)
            return Result::Accepted;
        partial.parity = std::make_unique<FrameParity>(parity);
        mBytesHeld += partial.parity->bytes();
    } else if (!partial.parity->matches(parity)) {
        return Result::Rejected;
    }
    partial.lastNs = nowNs;
    if (!partial.parity->add(parity.block, parity.row, piece))
        return Result::Accepted;
    if (!repair(stream, partial, parity.block))
        return Result::Rejected;
    return settle(stream, partial);
}

bool FrameReassembler::repair(Stream &stream, Partial &partial, uint32_t block)
{
    const ParityLayout &layout = partial.parity->layout();
    const auto rebuilt = partial.parity->repair(block, partial.data, [&](uint32_t index) {
        const uint32_t begin = index * layout.pieceSize;
        return covers(partial, begin, begin + layout.pieceLength(index));
    }, mCode);
    partial.rebuilt += uint32_t(rebuilt.size());
    for (uint32_t index : rebuilt) {
        const uint32_t begin = index * layout.pieceSize;
        if (!insertRange(partial, begin, begin + layout.pieceLength(index))) {
            dropPartial(stream, size_t(&partial - stream.partials.data()));
            mLanding.valid = false;
            return false;
        }
    }
    return true;
}

FrameReassembler::Result FrameReassembler::settle(Stream &stream, Partial &partial)
{
    if (partial.covered != partial.total) {
        // A frame only parity has reached yet has nowhere to land its data.
        mLanding = {!partial.ranges.empty(), stream.id, partial.meta.frameNumber,
                    partial.ranges.empty() ? 0 : partial.ranges.back().second, 0};
        return Result::Accepted;
    }
    mLanding.valid = false;
    const size_t index = size_t(&partial - stream.partials.data());
    // Parity or pieces from elsewhere rebuild the wrong bytes: such a frame is lost, not shown.
    if (partial.rebuilt > 0 && !partial.parity->isSent(partial.data)) {
        dropPartial(stream, index);
        return Result::Rejected;
    }
    const uint32_t number = partial.meta.frameNumber;
    mRepaired += partial.rebuilt > 0 ? 1 : 0;
    mRebuilt += partial.rebuilt;
    recycle(std::move(mCompleted.payload));
    mCompleted.meta = partial.meta;
    mCompleted.payload = std::move(partial.data);
    mBytesHeld -= heldBy(partial);
    stream.partials.erase(stream.partials.begin() + ptrdiff_t(index));
    stream.anyDelivered = true;
    stream.lastDelivered = number;
    mAfterCompleted = NextPiece{number + 1, 0};
    for (size_t i = stream.partials.size(); i-- > 0;) {
        if (olderThan(stream.partials[i].meta.frameNumber, number))
            dropPartial(stream, i);
    }
    return Result::Completed;
}

bool FrameReassembler::covers(const Partial &partial, uint32_t begin, uint32_t end)
{
    const auto it = std::lower_bound(partial.ranges.begin(), partial.ranges.end(), begin,
                                     [](const auto &r, uint32_t value) { return r.second <= value; });
    return it != partial.ranges.end() && it->first <= begin && it->second >= end;
}

size_t FrameReassembler::heldBy(const Partial &partial)
{
    return partial.total + (partial.parity ? partial.parity->bytes() : 0);
}

void FrameReassembler::take(EncodedFrame &frame)
{
    frame.meta = mCompleted.meta;
    std::swap(frame.payload, mCompleted.payload);
    recycle(std::move(mCompleted.payload));
    mCompleted.payload = {};
}

void FrameReassembler::expire(uint64_t nowNs)
{
    mNowNs = nowNs;
    while (!mSpare.empty() && nowNs > mSpare.front().sinceNs + mLimits.spareIdleNs) {
        mSpareBytes -= mSpare.front().buffer.capacity();
        mSpare.erase(mSpare.begin());
    }
    for (size_t s = mStreams.size(); s-- > 0;) {
        Stream &stream = mStreams[s];
        for (size_t i = stream.partials.size(); i-- > 0;) {
            if (nowNs - stream.partials[i].lastNs > mLimits.timeoutNs)
                dropPartial(stream, i);
        }
        if (stream.partials.empty() && nowNs - stream.lastNs > mLimits.streamForgetNs)
            mStreams.erase(mStreams.begin() + ptrdiff_t(s));
    }
}

FrameReassembler::Stream &FrameReassembler::streamFor(uint32_t id, uint64_t nowNs)
{
    auto it = std::find_if(mStreams.begin(), mStreams.end(),
                           [id](const Stream &s) { return s.id == id; });
    if (it == mStreams.end()) {
        if (mStreams.size() >= mLimits.maxStreams) {
            auto quietest = std::min_element(mStreams.begin(), mStreams.end(),
                [](const Stream &a, const Stream &b) { return a.lastNs < b.lastNs; });
            while (!quietest->partials.empty())
                dropPartial(*quietest, quietest->partials.size() - 1);
            mStreams.erase(quietest);
        }
        mStreams.push_back(Stream{});
        it = mStreams.end() - 1;
        it->id = id;
    }
    it->lastNs = nowNs;
    return *it;
}

FrameReassembler::Partial *FrameReassembler::startFrame(Stream &stream, const WireHeader &header,
                                                        uint64_t nowNs)
{
    if (header.totalLength > mLimits.maxBytes)
        return nullptr;
    if (stream.partials.size() >= mLimits.maxFramesPerStream) {
        auto oldest = std::min_element(stream.partials.begin(), stream.partials.end(),
            [](const Partial &a, const Partial &b) {
                return olderThan(a.meta.frameNumber, b.meta.frameNumber);
            });
        // A piece older than every frame in progress is not worth a slot.
        if (olderThan(header.meta.frameNumber, oldest->meta.frameNumber))
            return nullptr;
        dropPartial(stream, size_t(oldest - stream.partials.begin()));
    }
    while (mBytesHeld + header.totalLength > mLimits.maxBytes) {
        if (!evictOldestPartial())
            return nullptr;
    }
    // evictOldestPartial may have dropped streams' frames but never a stream, so stream holds.
    Partial partial;
    partial.meta = header.meta;
    partial.total = header.totalLength;
    partial.lastNs = nowNs;
    partial.data = takeBuffer(header.totalLength);
    mBytesHeld += header.totalLength;
    stream.partials.push_back(std::move(partial));
    return &stream.partials.back();
}

bool FrameReassembler::insertRange(Partial &partial, uint32_t begin, uint32_t end)
{
    auto &ranges = partial.ranges;
    const size_t maxGaps = std::max<size_t>(mLimits.maxGapsPerFrame, partial.total / kBytesPerExtraGap);
    if (ranges.empty() || ranges.back().second < begin) {
        if (ranges.size() >= maxGaps)
            return false;
        ranges.emplace_back(begin, end);
        partial.covered += end - begin;
        return true;
    }
    // First range that ends at or after begin: it and the following ones may touch [begin, end).
    auto first = std::lower_bound(ranges.begin(), ranges.end(), begin,
                                  [](const auto &r, uint32_t value) { return r.second < value; });
    auto last = first;
    uint32_t mergedBegin = begin;
    uint32_t mergedEnd = end;
    uint32_t already = 0;
    while (last != ranges.end() && last->first <= end) {
        mergedBegin = std::min(mergedBegin, last->first);
        mergedEnd = std::max(mergedEnd, last->second);
        already += last->second - last->first;
        ++last;
    }
    if (first == last) {
        if (ranges.size() >= maxGaps)
            return false;
        ranges.insert(first, {begin, end});
        partial.covered += end - begin;
        return true;
    }
    *first = {mergedBegin, mergedEnd};
    ranges.erase(first + 1, last);
    partial.covered += (mergedEnd - mergedBegin) - already;
    return true;
}

void FrameReassembler::dropPartial(Stream &stream, size_t index)
{
    Partial &partial = stream.partials[index];
    mBytesHeld -= heldBy(partial);
    ++mIncomplete;
    recycle(std::move(partial.data));
    stream.partials.erase(stream.partials.begin() + ptrdiff_t(index));
}

bool FrameReassembler::evictOldestPartial()
{
    Stream *victimStream = nullptr;
    size_t victim = 0;
    for (Stream &stream : mStreams) {
        for (size_t i = 0; i < stream.partials.size(); ++i) {
            if (!victimStream || stream.partials[i].lastNs < victimStream->partials[victim].lastNs) {
                victimStream = &stream;
                victim = i;
            }
        }
    }
    if (!victimStream)
        return false;
    dropPartial(*victimStream, victim);
    return true;
}

Bytes FrameReassembler::takeBuffer(uint32_t size)
{
    Bytes buffer;
    // The smallest that fits, so that each frame size keeps a set of its own, and of those the
    // one last given back, so that buffers a stream no longer needs stay unused and go.
    auto fit = mSpare.end();
    for (auto it = mSpare.begin(); it != mSpare.end(); ++it) {
        const size_t capacity = it->buffer.capacity();
        if (capacity >= size && (fit == mSpare.end() || capacity <= fit->buffer.capacity()))
            fit = it;
    }
    if (fit != mSpare.end()) {
        mSpareBytes -= fit->buffer.capacity();
        buffer = std::move(fit->buffer);
        mSpare.erase(fit);
    } else {
        ++mBuffersMade;
    }
    // Resizing a recycled buffer only clears bytes it never had.
    buffer.resize(size);
    return buffer;
}

void FrameReassembler::recycle(Bytes &&buffer)
{
    // Even the largest frames are kept: a fresh buffer costs its page faults in a burst, while
    // the socket fills. As many are kept as one stream's frames may use at once, so that a
    // steady stream, however lossy, makes its buffers once and then only reuses them, and
    // memory stays flat; but never more than frames in progress may hold, and only while
    // frames still need them.
    if (buffer.capacity() == 0 || buffer.capacity() > mLimits.maxBytes)
        return;
    mSpareBytes += buffer.capacity();
    mSpare.push_back({std::move(buffer), mNowNs});
    while (mSpare.size() > mLimits.maxFramesPerStream + kSpareBeyondPartials || mSpareBytes > mLimits.maxBytes) {
        mSpareBytes -= mSpare.front().buffer.capacity();
        mSpare.erase(mSpare.begin());
    }
}

} // namespace zun
