#include "transport/udp/framereassembler.h"
#include "transporttestutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using zun::FrameReassembler;
using Result = FrameReassembler::Result;

namespace {

constexpr StreamFormat kFormat{100, 50, zun::kDepthRgb888, 1}; // 15000 bytes
constexpr uint32_t kPiece = 1000;

struct Piece {
    zun::WireHeader header;
    std::vector<uint8_t> bytes;
};

std::vector<Piece> cut(const zun::FrameMeta &meta, const std::vector<uint8_t> &payload,
                       uint32_t pieceSize = kPiece)
{
    std::vector<Piece> pieces;
    for (uint32_t off = 0; off < payload.size(); off += pieceSize) {
        const uint32_t len = std::min<uint32_t>(pieceSize, uint32_t(payload.size()) - off);
        pieces.push_back({zuntest::header(meta, uint32_t(payload.size()), off, len),
                          {payload.begin() + off, payload.begin() + off + len}});
    }
    return pieces;
}

Result feed(FrameReassembler &r, const Piece &p, uint64_t now = 1)
{
    return r.add(p.header, p.bytes, now);
}

} // namespace

TEST(FrameReassembler, ShuffledAndRepeatedPiecesMakeTheWholeFrame)
{
    FrameReassembler r;
    const auto payload = zuntest::pattern(zun::byteSize(kFormat), 3);
    auto pieces = cut(zuntest::meta(kFormat, 3), payload, 700);
    pieces.push_back(pieces[4]);
    pieces.push_back(pieces[0]);
    std::shuffle(pieces.begin(), pieces.end(), std::mt19937(5));
    zun::EncodedFrame frame;
    int completed = 0;
    for (const auto &p : pieces) {
        const Result res = feed(r, p);
        EXPECT_NE(res, Result::Rejected);
        if (res == Result::Completed) {
            ++completed;
            r.take(frame);
        }
    }
    EXPECT_EQ(completed, 1);
    EXPECT_EQ(frame.payload, payload);
}

TEST(FrameReassembler, DeliversExactBytesAndReusesBuffers)
{
    FrameReassembler r;
    zun::EncodedFrame frame;
    for (uint32_t n = 1; n <= 3; ++n) {
        const auto payload = zuntest::pattern(zun::byteSize(kFormat), n);
        auto pieces = cut(zuntest::meta(kFormat, n), payload);
        std::reverse(pieces.begin(), pieces.end());
        Result last = Result::Rejected;
        for (const auto &p : pieces)
            last = feed(r, p);
        ASSERT_EQ(last, Result::Completed);
        r.take(frame);
        EXPECT_EQ(frame.meta.frameNumber, n);
        EXPECT_EQ(frame.payload, payload);
        EXPECT_EQ(r.bytesHeld(), 0u);
    }
    EXPECT_EQ(r.framesIncomplete(), 0u);
}

TEST(FrameReassembler, FrameMissingAPieceIsNeverDeliveredButTheNextIs)
{
    FrameReassembler r;
    auto first = cut(zuntest::meta(kFormat, 10), zuntest::pattern(zun::byteSize(kFormat), 10));
    first.erase(first.begin() + 7);
    for (const auto &p : first)
        EXPECT_EQ(feed(r, p), Result::Accepted);
    const auto payload = zuntest::pattern(zun::byteSize(kFormat), 11);
    Result last = Result::Rejected;
    for (const auto &p : cut(zuntest::meta(kFormat, 11), payload))
        last = feed(r, p);
    ASSERT_EQ(last, Result::Completed);
    zun::EncodedFrame frame;
    r.take(frame);
    EXPECT_EQ(frame.meta.frameNumber, 11u);
    EXPECT_EQ(r.framesIncomplete(), 1u);
    EXPECT_EQ(r.bytesHeld(), 0u);
    // The missing piece turning up late does not bring the dropped frame back.
    auto late = cut(zuntest::meta(kFormat, 10), zuntest::pattern(zun::byteSize(kFormat), 10));
    EXPECT_EQ(feed(r, late[7]), Result::Stale);
}

TEST(FrameReassembler, StreamsAreReassembledApart)
{
    FrameReassembler r;
    const auto a = zuntest::pattern(zun::byteSize(kFormat), 1);
    const auto b = zuntest::pattern(zun::byteSize(kFormat), 2);
    const auto pa = cut(zuntest::meta(kFormat, 5, false, 111), a);
    const auto pb = cut(zuntest::meta(kFormat, 5, false, 222), b);
    std::vector<zun::EncodedFrame> got;
    for (size_t i = 0; i < pa.size(); ++i) {
        for (const Piece *p : {&pa[i], &pb[i]}) {
            if (feed(r, *p) == Result::Completed)
                r.take(got.emplace_back());
        }
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].meta.streamId, 111u);
    EXPECT_EQ(got[0].payload, a);
    EXPECT_EQ(got[1].meta.streamId, 222u);
    EXPECT_EQ(got[1].payload, b);
}

TEST(FrameReassembler, PieceDisagreeingWithItsFrameIsRejected)
{
    FrameReassembler r;
    const auto pieces = cut(zuntest::meta(kFormat, 1), zuntest::pattern(zun::byteSize(kFormat), 1));
    EXPECT_EQ(feed(r, pieces[0]), Result::Accepted);
    Piece other = pieces[1];
    other.header.meta.compressed = true;
    EXPECT_EQ(feed(r, other), Result::Rejected);
    other = pieces[1];
    other.header.meta.jpegLayout = zun::JpegLayout::kWhole; // another wire version
    EXPECT_EQ(feed(r, other), Result::Rejected);
    other = pieces[1];
    other.bytes.pop_back();
    EXPECT_EQ(feed(r, other), Result::Rejected);
}

TEST(FrameReassembler, IncompleteFramesTimeOut)
{
    FrameReassembler r;
    const auto pieces = cut(zuntest::meta(kFormat, 1), zuntest::pattern(zun::byteSize(kFormat), 1));
    feed(r, pieces[0], 1000);
    r.expire(1000 + 100'000'000);
    EXPECT_EQ(r.framesIncomplete(), 0u);
    r.expire(1000 + 400'000'000);
    EXPECT_EQ(r.framesIncomplete(), 1u);
    EXPECT_EQ(r.bytesHeld(), 0u);
}

TEST(FrameReassembler, MemoryStaysWithinTheLimitWhateverArrives)
{
    FrameReassembler::Limits limits;
    limits.maxBytes = 64u << 20;
    FrameReassembler r(limits);
    const StreamFormat big{4096, 2048, zun::kDepthRgb32, 1}; // 32 MiB
    const std::vector<uint8_t> one(1, 0);
    for (uint32_t i = 0; i < 200; ++i) {
        // New stream ids and frame numbers, each frame begun and never finished.
        auto m = zuntest::meta(big, i, false, i % 40);
        const auto res = r.add(zuntest::header(m, zun::byteSize(big), i, 1), one, i);
        EXPECT_NE(res, Result::Completed);
        ASSERT_LE(r.bytesHeld(), limits.maxBytes);
    }
    // A frame far over the limit is refused, not allocated.
    const StreamFormat huge{8192, 8192, zun::kDepthRgb32, 1};
    EXPECT_EQ(r.add(zuntest::header(zuntest::meta(huge, 1), zun::byteSize(huge), 0, 1), one, 300),
              Result::Rejected);
    // Gaps are bounded too: every other byte of a frame.
    FrameReassembler gaps;
    const auto m = zuntest::meta(kFormat, 1);
    Result res = Result::Accepted;
    for (uint32_t off = 0; off < zun::byteSize(kFormat) && res == Result::Accepted; off += 2)
        res = gaps.add(zuntest::header(m, zun::byteSize(kFormat), off, 1), one, 1);
    EXPECT_EQ(res, Result::Rejected);
    EXPECT_EQ(gaps.bytesHeld(), 0u);
}
