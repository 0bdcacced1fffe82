#include "transport/udp/framecrc.h"
#include "transport/udp/framereassembler.h"
#include "transport/udp/parityencoder.h"
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

// The parity pieces a sender adds to payload cut by cut(meta, payload, pieceSize).
std::vector<Piece> parityOf(const zun::FrameMeta &meta, const std::vector<uint8_t> &payload, uint32_t pieceSize,
                            uint32_t percent)
{
    const auto layout = zun::ParityLayout::choose(uint32_t(payload.size()), pieceSize, percent);
    zun::ParityEncoder encoder;
    encoder.encode(payload, layout);
    std::vector<Piece> pieces;
    for (uint32_t row = 0; row < layout.parityPerBlock; ++row) {
        for (uint32_t block = 0; block < layout.blockCount; ++block) {
            Piece p{zuntest::header(meta, uint32_t(payload.size()), 0, pieceSize), {}};
            p.header.parity = zun::WireHeader::Parity{layout, block, row, zun::frameCrc(payload)};
            const auto bytes = encoder.piece(block, row);
            p.bytes.assign(bytes.begin(), bytes.end());
            pieces.push_back(std::move(p));
        }
    }
    return pieces;
}

// A frame cut into pieces with its parity, some pieces lost on the way.
struct LossyFrame {
    std::vector<uint8_t> payload;
    std::vector<Piece> data;   // those that arrive
    std::vector<Piece> parity;
};

LossyFrame lossyFrame(uint32_t number, uint32_t pieceSize, uint32_t percent, const std::vector<size_t> &lost)
{
    LossyFrame f;
    const auto meta = zuntest::meta(kFormat, number);
    f.payload = zuntest::pattern(zun::byteSize(kFormat), number);
    const auto all = cut(meta, f.payload, pieceSize);
    for (size_t i = 0; i < all.size(); ++i) {
        if (std::find(lost.begin(), lost.end(), i) == lost.end())
            f.data.push_back(all[i]);
    }
    f.parity = parityOf(meta, f.payload, pieceSize, percent);
    return f;
}

// Feeds pieces in order; the frames that come out.
std::vector<zun::EncodedFrame> feedAll(FrameReassembler &r, const std::vector<const std::vector<Piece> *> &groups)
{
    std::vector<zun::EncodedFrame> frames;
    for (const auto *group : groups) {
        for (const auto &p : *group) {
            const Result res = feed(r, p);
            if (res == Result::Completed)
                r.take(frames.emplace_back());
        }
    }
    return frames;
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

// Memory stays flat over hours only if a lossy stream stops making buffers once it has as
// many as its frames in progress, the completed one and the one handed back may use.
TEST(FrameReassembler, ALossyStreamMakesItsBuffersOnceAndThenOnlyReusesThem)
{
    FrameReassembler r;
    const size_t most = FrameReassembler::Limits{}.maxFramesPerStream + 2;
    zun::EncodedFrame frame;
    uint64_t madeEarly = 0;
    for (uint32_t n = 1; n <= 200; ++n) {
        const auto payload = zuntest::pattern(zun::byteSize(kFormat), n);
        auto pieces = cut(zuntest::meta(kFormat, n), payload);
        // Four in five frames lose their last piece: up to four frames wait at once, then go.
        if (n % 5 != 0)
            pieces.pop_back();
        Result last = Result::Rejected;
        for (const auto &p : pieces)
            last = feed(r, p);
        if (last == Result::Completed) {
            r.take(frame);
            EXPECT_EQ(frame.payload, payload);
            r.recycle(std::move(frame.payload));
            frame.payload.clear();
        }
        if (n == 20)
            madeEarly = r.buffersMade();
    }
    EXPECT_GE(r.framesIncomplete(), 150u);
    EXPECT_LE(madeEarly, most);
    EXPECT_EQ(r.buffersMade(), madeEarly) << "buffers were still being made after the first frames";
}

TEST(FrameReassembler, BuffersALossyMomentMadeAreGivenBackOnceTheStreamNoLongerNeedsThem)
{
    FrameReassembler r;
    const size_t frameBytes = zun::byteSize(kFormat);
    zun::EncodedFrame frame;
    uint64_t now = 1'000'000'000;
    const auto send = [&](uint32_t n, bool lossy) {
        auto pieces = cut(zuntest::meta(kFormat, n), zuntest::pattern(frameBytes, n));
        if (lossy)
            pieces.pop_back();
        for (const auto &p : pieces)
            if (feed(r, p, now) == Result::Completed) {
                r.take(frame); // as a decoder takes each frame and hands its last one back
                r.recycle(std::move(frame.payload));
                frame.payload.clear();
            }
        r.expire(now);
        now += 33'000'000;
    };
    for (uint32_t n = 1; n <= 20; ++n)
        send(n, n % 5 != 0);
    const uint64_t made = r.buffersMade();
    EXPECT_GE(r.spareBytes() + r.bytesHeld(), 4 * frameBytes) << "the lossy moment needs several buffers";
    const uint64_t idle = FrameReassembler::Limits{}.spareIdleNs;
    for (uint32_t n = 21; now < 1'000'000'000 + 3 * idle; ++n)
        send(n, false);
    EXPECT_EQ(r.buffersMade(), made) << "a steady stream makes no buffer of its own";
    EXPECT_LE(r.spareBytes(), 2 * frameBytes) << "spares unused for " << idle / 1e9 << " s are kept";
    EXPECT_GE(r.spareBytes(), frameBytes) << "the buffer a steady stream cycles through is kept";
}

// A fresh buffer for a frame this large costs its page faults in one burst while the
// socket fills, so a buffer given back is used again however large.
TEST(FrameReassembler, LargestFramesReuseTheBufferGivenBack)
{
    FrameReassembler r;
    const StreamFormat big{8192, 2560, zun::kDepthRgb32, 1}; // 80 MiB
    const uint32_t size = zun::byteSize(big);
    const std::vector<uint8_t> piece(1 << 20, 7);
    const uint8_t *firstBuffer = nullptr;
    zun::EncodedFrame frame;
    for (uint32_t n = 1; n <= 2; ++n) {
        Result last = Result::Rejected;
        for (uint32_t off = 0; off < size; off += uint32_t(piece.size()))
            last = r.add(zuntest::header(zuntest::meta(big, n), size, off, uint32_t(piece.size())), piece, 1);
        ASSERT_EQ(last, Result::Completed);
        r.take(frame);
        ASSERT_EQ(frame.payload.size(), size);
        if (n == 2)
            EXPECT_EQ(frame.payload.data(), firstBuffer) << "a fresh buffer was taken";
        firstBuffer = frame.payload.data();
        r.recycle(std::move(frame.payload));
    }
}

// Parity can fill far more holes in a large frame than the gap limit of small ones allows.
TEST(FrameReassembler, LargeFrameWithManyHolesStillCompletes)
{
    FrameReassembler r;
    const StreamFormat big{4096, 2048, zun::kDepthRgb32, 1}; // 32 MiB, 22,700 MTU-sized pieces
    const uint32_t size = zun::byteSize(big);
    constexpr uint32_t kPiece = 1424;
    const std::vector<uint8_t> piece(kPiece, 3);
    const auto add = [&](uint32_t index) {
        const uint32_t off = index * kPiece;
        const uint32_t length = std::min(kPiece, size - off);
        return r.add(zuntest::header(zuntest::meta(big, 1), size, off, length), {piece.data(), length}, 1);
    };
    const uint32_t pieces = (size + kPiece - 1) / kPiece;
    // Every twentieth piece late, as after 5% loss: 1,135 holes at once.
    for (uint32_t i = 0; i < pieces; ++i) {
        if (i % 20 != 5)
            ASSERT_EQ(add(i), Result::Accepted) << "piece " << i;
    }
    Result last = Result::Rejected;
    for (uint32_t i = 5; i < pieces; i += 20)
        last = add(i);
    EXPECT_EQ(last, Result::Completed);
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

// 15000 bytes in 700-byte pieces: 22 pieces, the last 300 bytes, one block with 5 parity
// pieces at 20%; in 50-byte pieces: 300 pieces, two interleaved blocks of 150 with 30 each.
TEST(FrameRepair, LostPiecesAreRebuiltToTheExactBytesSent)
{
    struct Case {
        const char *what;
        uint32_t pieceSize;
        std::vector<size_t> lost;
    };
    std::vector<size_t> burst(50);
    for (size_t i = 0; i < burst.size(); ++i)
        burst[i] = 120 + i;
    const Case cases[] = {{"first piece", 700, {0}},
                          {"short last piece", 700, {21}},
                          {"first, middle and last", 700, {0, 11, 21}},
                          {"burst as long as the parity", 700, {3, 4, 5, 6, 7}},
                          {"burst over two interleaved blocks", 50, burst}};
    uint32_t number = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FrameReassembler r;
        const LossyFrame f = lossyFrame(number++, c.pieceSize, 20, c.lost);
        for (bool parityFirst : {false, true}) {
            FrameReassembler fresh;
            const auto frames = parityFirst ? feedAll(fresh, {&f.parity, &f.data}) : feedAll(fresh, {&f.data, &f.parity});
            ASSERT_EQ(frames.size(), 1u) << (parityFirst ? "parity first" : "data first");
            EXPECT_TRUE(frames[0].payload == f.payload);
            EXPECT_EQ(frames[0].meta.frameNumber, number - 1);
            EXPECT_EQ(fresh.framesRepaired(), 1u);
            // Parity that overtook the data rebuilds what had not come yet as well.
            if (parityFirst)
                EXPECT_GE(fresh.piecesRebuilt(), c.lost.size());
            else
                EXPECT_EQ(fresh.piecesRebuilt(), c.lost.size());
            EXPECT_EQ(fresh.framesIncomplete(), 0u);
            EXPECT_EQ(fresh.bytesHeld(), 0u);
        }
    }
}

TEST(FrameRepair, WholeFrameNeedsNoRepairAndLeftoverParityIsStale)
{
    FrameReassembler r;
    const LossyFrame f = lossyFrame(4, 700, 20, {});
    const auto frames = feedAll(r, {&f.data});
    ASSERT_EQ(frames.size(), 1u);
    for (const auto &p : f.parity)
        EXPECT_EQ(feed(r, p), Result::Stale);
    EXPECT_EQ(r.framesRepaired(), 0u);
    EXPECT_EQ(r.piecesRebuilt(), 0u);
    EXPECT_EQ(r.bytesHeld(), 0u);
}

TEST(FrameRepair, MoreLostThanParityLosesTheFrameAndFreesItsMemory)
{
    FrameReassembler r;
    const LossyFrame f = lossyFrame(5, 700, 20, {1, 2, 3, 4, 5, 6});
    EXPECT_TRUE(feedAll(r, {&f.data, &f.parity}).empty());
    r.expire(1 + 400'000'000);
    EXPECT_EQ(r.framesIncomplete(), 1u);
    EXPECT_EQ(r.framesRepaired(), 0u);
    EXPECT_EQ(r.bytesHeld(), 0u);
}

// Parity that was damaged, or belongs to another frame of the same size, rebuilds wrong bytes:
// the frame is dropped, never delivered wrong.
TEST(FrameRepair, WrongParityNeverYieldsAWrongFrame)
{
    const LossyFrame f = lossyFrame(6, 700, 20, {9});
    {
        FrameReassembler r;
        LossyFrame damaged = f;
        for (auto &p : damaged.parity)
            p.bytes[17] ^= 0x40;
        EXPECT_TRUE(feedAll(r, {&damaged.data, &damaged.parity}).empty());
        EXPECT_EQ(r.framesRepaired(), 0u);
        EXPECT_EQ(r.framesIncomplete(), 1u);
    }
    {
        // Another frame's parity with this frame's number: its CRC is another's too.
        FrameReassembler r;
        const LossyFrame other = lossyFrame(7, 700, 20, {});
        std::vector<Piece> foreign = other.parity;
        for (auto &p : foreign)
            p.header.meta.frameNumber = 6;
        EXPECT_TRUE(feedAll(r, {&f.data, &foreign}).empty());
        EXPECT_EQ(r.framesIncomplete(), 1u);
    }
    {
        // Parity pieces that disagree with the first one about the layout or the frame are
        // refused, and the right ones still repair it.
        FrameReassembler r;
        const LossyFrame two = lossyFrame(8, 700, 20, {9, 10});
        EXPECT_TRUE(feedAll(r, {&two.data}).empty());
        EXPECT_EQ(feed(r, two.parity[0]), Result::Accepted);
        Piece odd = two.parity[1];
        odd.header.parity->frameCrc ^= 1;
        EXPECT_EQ(feed(r, odd), Result::Rejected);
        odd = two.parity[1];
        odd.header.parity->layout.parityPerBlock = 4;
        EXPECT_EQ(feed(r, odd), Result::Rejected);
        ASSERT_EQ(feed(r, two.parity[1]), Result::Completed);
        zun::EncodedFrame frame;
        r.take(frame);
        EXPECT_TRUE(frame.payload == two.payload);
    }
}
