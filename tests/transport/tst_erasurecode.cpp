#include "transport/udp/erasurecode.h"
#include "transport/paritylayout.h"
#include "transporttestutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

constexpr uint32_t kData = 6;
constexpr uint32_t kParity = 3;
constexpr size_t kLength = 100; // not a multiple of the vector width, so the tail is coded too

} // namespace

// Every choice of lost rows, data or parity, up to the parity count is rebuilt exactly; one
// more is refused.
TEST(ErasureCode, RebuildsAnyLossUpToTheParityCountAndRefusesMore)
{
    std::vector<std::vector<uint8_t>> rows;
    for (uint32_t i = 0; i < kData; ++i)
        rows.push_back(zuntest::pattern(kLength, i + 1));
    rows.resize(kData + kParity, std::vector<uint8_t>(kLength));
    std::vector<const uint8_t *> data;
    std::vector<uint8_t *> parity;
    for (uint32_t i = 0; i < kData + kParity; ++i)
        (i < kData ? void(data.push_back(rows[i].data())) : void(parity.push_back(rows[i].data())));
    zun::ErasureCode code;
    code.encode(kData, kParity, kLength, data.data(), parity.data());

    int tried = 0;
    for (uint32_t lost = 1; lost < (1u << (kData + kParity)); ++lost) {
        const int count = __builtin_popcount(lost);
        std::vector<uint32_t> held, missing;
        std::vector<const uint8_t *> sources;
        for (uint32_t i = 0; i < kData + kParity; ++i) {
            if (lost & (1u << i)) {
                if (i < kData)
                    missing.push_back(i);
            } else if (held.size() < kData) {
                held.push_back(i);
                sources.push_back(rows[i].data());
            }
        }
        if (missing.empty())
            continue;
        std::vector<std::vector<uint8_t>> rebuilt(missing.size(), std::vector<uint8_t>(kLength));
        std::vector<uint8_t *> outputs;
        for (auto &r : rebuilt)
            outputs.push_back(r.data());
        const bool ok = code.rebuild(kData, kParity, kLength, held, sources.data(), missing, outputs.data());
        ASSERT_EQ(ok, count <= int(kParity)) << "lost mask " << lost;
        if (!ok)
            continue;
        ++tried;
        for (size_t i = 0; i < missing.size(); ++i)
            ASSERT_EQ(rebuilt[i], rows[missing[i]]) << "lost mask " << lost << ", row " << missing[i];
    }
    EXPECT_GT(tried, 100);
}

// Blocks as long as the code allows, parity in the share asked for, and every piece in
// exactly one block.
TEST(ParityLayout, ChosenLayoutsFitTheCodeAndTheShare)
{
    for (uint32_t percent : {1u, 5u, 20u, 100u}) {
        for (uint32_t pieces : {1u, 2u, 254u, 255u, 1953u, 4394u}) {
            const uint32_t pieceSize = 1416;
            const auto layout = zun::ParityLayout::choose(pieces * pieceSize - 7, pieceSize, percent);
            SCOPED_TRACE(testing::Message() << percent << "% of " << pieces << " pieces");
            ASSERT_EQ(layout.pieceCount(), pieces);
            ASSERT_LE(layout.dataInBlock(0) + layout.parityPerBlock, zun::ParityLayout::kMaxBlockPieces);
            uint32_t covered = 0;
            for (uint32_t b = 0; b < layout.blockCount; ++b) {
                covered += layout.dataInBlock(b);
                EXPECT_GE(layout.dataInBlock(0), layout.dataInBlock(b));
            }
            EXPECT_EQ(covered, pieces);
            EXPECT_GE(layout.parityPerBlock * 100, layout.dataInBlock(0) * percent);
            EXPECT_LE(layout.parityPerBlock, std::max(1u, layout.dataInBlock(0) * percent / 100 + 1));
            EXPECT_TRUE(zun::ParityLayout::checked(layout.totalLength, layout.pieceSize, layout.blockCount,
                                                   layout.parityPerBlock));
        }
    }
}
