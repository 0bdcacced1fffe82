#include "transporttestutil.h"

#include <gtest/gtest.h>

using zun::WireHeader;

namespace {

WireHeader sample()
{
    WireHeader h;
    h.meta.format = {640, 480, zun::kDepthRgb888, 1};
    h.meta.compressed = false;
    h.meta.streamId = 0xdeadbeef;
    h.meta.frameNumber = 0x01020304;
    h.meta.sendTimeNs = 0x1122334455667788ull;
    h.totalLength = zun::byteSize(h.meta.format);
    h.pieceOffset = 65463;
    h.pieceLength = 65463;
    return h;
}

std::vector<uint8_t> bytesOf(const WireHeader &h)
{
    return zuntest::datagram(h, {});
}

} // namespace

TEST(WireHeader, RoundTripsEveryField)
{
    for (bool compressed : {false, true}) {
        WireHeader h = sample();
        h.meta.compressed = compressed;
        h.meta.format.orientation = 7;
        if (compressed)
            h.totalLength = 200000;
        const auto back = WireHeader::read(bytesOf(h));
        ASSERT_TRUE(back);
        EXPECT_EQ(back->meta.compressed, compressed);
        EXPECT_EQ(back->meta.streamId, h.meta.streamId);
        EXPECT_EQ(back->meta.frameNumber, h.meta.frameNumber);
        EXPECT_EQ(back->meta.sendTimeNs, h.meta.sendTimeNs);
        EXPECT_EQ(back->meta.format.width, 640);
        EXPECT_EQ(back->meta.format.height, 480);
        EXPECT_EQ(back->meta.format.depth, zun::kDepthRgb888);
        EXPECT_EQ(back->meta.format.orientation, 7);
        EXPECT_EQ(back->totalLength, h.totalLength);
        EXPECT_EQ(back->pieceOffset, h.pieceOffset);
        EXPECT_EQ(back->pieceLength, h.pieceLength);
    }
}

TEST(WireHeader, IsBigEndianAtFixedOffsets)
{
    const auto b = bytesOf(sample());
    ASSERT_EQ(b.size(), WireHeader::kSize);
    const std::vector<uint8_t> expected = {
        'Z', 'V', 'S', 'L', 2, 0, 0, 0,               // magic, version, flags, reserved
        0xde, 0xad, 0xbe, 0xef, 1, 2, 3, 4,           // stream id, frame number
        0x02, 0x80, 0x01, 0xe0, 0, 1, 0, 1,           // width, height, depth, orientation
        0x00, 0x0e, 0x10, 0x00,                       // total 921600
        0x00, 0x00, 0xff, 0xb7, 0x00, 0x00, 0xff, 0xb7, // offset, length 65463
        0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    EXPECT_EQ(b, expected);
}

TEST(WireHeader, RefusesEveryBadField)
{
    auto refused = [](auto change) {
        auto b = bytesOf(sample());
        change(b);
        return !WireHeader::read(b);
    };
    EXPECT_FALSE(refused([](auto &) {}));
    EXPECT_TRUE(refused([](auto &b) { b[0] = 'X'; }));            // magic
    EXPECT_TRUE(refused([](auto &b) { b[4] = 0xff; }));           // version
    EXPECT_TRUE(refused([](auto &b) { b[4] = 0; }));
    EXPECT_TRUE(refused([](auto &b) { b[5] = 0x02; }));           // unknown flag
    EXPECT_TRUE(refused([](auto &b) { b[7] = 1; }));              // reserved
    EXPECT_TRUE(refused([](auto &b) { b[21] = 7; }));             // depth 7
    EXPECT_TRUE(refused([](auto &b) { b[16] = 0; b[17] = 0; }));  // width 0
    EXPECT_TRUE(refused([](auto &b) { b[18] = 0x20; b[19] = 1; })); // height 8193
    EXPECT_TRUE(refused([](auto &b) { b[27] += 1; }));            // raw total not the frame size
    EXPECT_TRUE(refused([](auto &b) { b[32] = b[33] = b[34] = b[35] = 0; })); // empty piece
    EXPECT_TRUE(refused([](auto &b) { b[29] = 0x0e; }));          // offset past the total
    EXPECT_TRUE(refused([](auto &b) { b[28] = b[29] = b[30] = b[31] = 0xff; })); // sum wraps
    EXPECT_TRUE(refused([](auto &b) { b.resize(WireHeader::kSize - 1); })); // truncated
}

TEST(WireHeader, BoundsCompressedTotalByTheFormat)
{
    WireHeader h = sample();
    h.meta.compressed = true;
    h.pieceOffset = 0;
    h.pieceLength = 1;
    const auto limit = zun::maxPayloadSize(h.meta.format, true);
    h.totalLength = uint32_t(limit);
    EXPECT_TRUE(WireHeader::read(bytesOf(h)));
    h.totalLength = uint32_t(limit + 1);
    EXPECT_FALSE(WireHeader::read(bytesOf(h)));
    h.totalLength = 0;
    EXPECT_FALSE(WireHeader::read(bytesOf(h)));
    h.totalLength = 1u << 30;
    EXPECT_FALSE(WireHeader::read(bytesOf(h)));
}

TEST(WireHeader, VersionSaysHowTheJpegIsLaidOut)
{
    WireHeader h = sample();
    h.meta.compressed = true;
    h.totalLength = 200000;
    h.pieceOffset = 0;
    h.pieceLength = 1000;
    for (auto layout : {zun::JpegLayout::kStrips, zun::JpegLayout::kWhole}) {
        h.meta.jpegLayout = layout;
        const auto b = bytesOf(h);
        EXPECT_EQ(b[4], layout == zun::JpegLayout::kStrips ? 2 : 1);
        const auto back = WireHeader::read(b);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->meta.jpegLayout, layout) << "version " << int(b[4]);
    }
}

namespace {

// A parity piece of a 640x480 raw frame in 1416-byte pieces: 651 pieces in 3 blocks of 217,
// 11 parity pieces each.
WireHeader parityPiece()
{
    WireHeader h = sample();
    h.pieceOffset = 0;
    h.pieceLength = 1416;
    h.parity = WireHeader::Parity{zun::ParityLayout::choose(h.totalLength, 1416, 5), 2, 10, 0xcafef00d};
    return h;
}

} // namespace

TEST(WireHeader, ParityPieceTellsItsPlaceInTheLayout)
{
    for (auto layout : {zun::JpegLayout::kStrips, zun::JpegLayout::kWhole}) {
        WireHeader h = parityPiece();
        h.meta.jpegLayout = layout;
        const auto b = bytesOf(h);
        ASSERT_EQ(b.size(), WireHeader::kParitySize);
        EXPECT_EQ(b[4], 3);
        const std::vector<uint8_t> tail(b.begin() + 44, b.end());
        const uint8_t dataVersion = layout == zun::JpegLayout::kStrips ? 2 : 1;
        EXPECT_EQ(tail, (std::vector<uint8_t>{0, 3, 0, 2, 11, 10, dataVersion, 0, 0xca, 0xfe, 0xf0, 0x0d}));
        const auto back = WireHeader::read(b);
        ASSERT_TRUE(back && back->parity);
        EXPECT_EQ(back->meta.jpegLayout, layout);
        EXPECT_EQ(back->parity->layout, h.parity->layout);
        EXPECT_EQ(back->parity->block, 2u);
        EXPECT_EQ(back->parity->row, 10u);
        EXPECT_EQ(back->parity->frameCrc, 0xcafef00du);
    }
    // A data piece's header cut short is not read as the start of a parity piece.
    auto shortened = bytesOf(parityPiece());
    shortened.resize(WireHeader::kSize);
    EXPECT_FALSE(WireHeader::read(shortened));
}

TEST(WireHeader, RefusesEveryBadParityField)
{
    auto refused = [](auto change) {
        auto b = bytesOf(parityPiece());
        change(b);
        return !WireHeader::read(b);
    };
    EXPECT_FALSE(refused([](auto &) {}));
    EXPECT_TRUE(refused([](auto &b) { b.resize(WireHeader::kParitySize - 1); }));
    EXPECT_TRUE(refused([](auto &b) { b[31] = 1; }));                 // offset not 0
    EXPECT_TRUE(refused([](auto &b) { b[34] = 0xf0; b[35] = 0; }));  // 15 longer pieces: 5 a block, under 11 parity
    EXPECT_TRUE(refused([](auto &b) { b[44] = b[45] = 0; }));         // no block
    EXPECT_TRUE(refused([](auto &b) { b[44] = 0x03; }));              // more blocks than pieces
    EXPECT_TRUE(refused([](auto &b) { b[45] = 1; }));                 // one block of 651 pieces
    EXPECT_TRUE(refused([](auto &b) { b[47] = 3; }));                 // block past the count
    EXPECT_TRUE(refused([](auto &b) { b[48] = 0; }));                 // no parity
    EXPECT_TRUE(refused([](auto &b) { b[48] = 218; }));               // more parity than data
    EXPECT_TRUE(refused([](auto &b) { b[48] = 39; }));                // 217 + 39 past the code's 255
    EXPECT_TRUE(refused([](auto &b) { b[49] = 11; }));                // row past the parity count
    EXPECT_TRUE(refused([](auto &b) { b[50] = 3; }));                 // data version unknown
    EXPECT_TRUE(refused([](auto &b) { b[50] = 0; }));
    EXPECT_TRUE(refused([](auto &b) { b[51] = 1; }));                 // reserved
}
