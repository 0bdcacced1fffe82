// Parity for UDP frames at Ethernet's piece size: what computing it costs the sender per
// frame, and rebuilding the pieces a 1% loss takes costs the receiver, next to memcpy of the
// same frame measured in the same run.

#include "benches.h"
#include "limits.h"

#include "format.h"
#include "transport/udp/framecrc.h"
#include "transport/udp/frameparity.h"
#include "transport/udp/parityencoder.h"

#include <chrono>
#include <cstring>
#include <random>
#include <vector>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kPieceSize = 1416; // 1,472-byte datagrams behind the parity header

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs work until seconds have passed; milliseconds per call.
template <class F>
double msPerCall(double seconds, F &&work)
{
    int calls = 0;
    const auto start = Clock::now();
    do {
        work();
        ++calls;
    } while (secondsSince(start) < seconds);
    return 1e3 * secondsSince(start) / calls;
}

struct ParityCosts {
    double encodeMs = 0;
    double repairMs = 0;
    uint32_t rebuilt = 0;
};

ParityCosts measure(const StreamFormat &format, uint32_t percent, double seconds)
{
    std::vector<uint8_t> frame(zun::byteSize(format));
    std::mt19937 random(1);
    for (auto &b : frame)
        b = uint8_t(random());
    const auto layout = zun::ParityLayout::choose(uint32_t(frame.size()), kPieceSize, percent);
    zun::ParityEncoder encoder;
    ParityCosts costs;
    costs.encodeMs = msPerCall(seconds, [&] {
        encoder.encode(frame, layout);
        (void)zun::frameCrc(frame);
    });

    // Every hundredth piece lost, as 1% random loss takes on average.
    std::vector<uint8_t> lost(layout.pieceCount());
    for (size_t i = 37; i < lost.size(); i += 100)
        lost[i] = 1;
    zun::ErasureCode code;
    std::vector<uint8_t> damaged = frame;
    for (size_t i = 0; i < lost.size(); ++i) {
        if (lost[i])
            std::memset(damaged.data() + i * kPieceSize, 0, layout.pieceLength(uint32_t(i)));
    }
    costs.repairMs = msPerCall(seconds, [&] {
        zun::FrameParity parity({layout, 0, 0, zun::frameCrc(frame)});
        for (uint32_t block = 0; block < layout.blockCount; ++block) {
            for (uint32_t row = 0; row < layout.parityPerBlock; ++row)
                parity.add(block, row, encoder.piece(block, row));
        }
        costs.rebuilt = 0;
        for (uint32_t block = 0; block < layout.blockCount; ++block) {
            const auto rebuilt = parity.repair(block, damaged, [&](uint32_t index) { return !lost[index]; }, code);
            costs.rebuilt += uint32_t(rebuilt.size());
        }
        (void)parity.isSent(damaged);
    });
    if (damaged != frame)
        costs.rebuilt = 0; // shown as a failure below
    return costs;
}

} // namespace

void runParityBench(const Options &options)
{
    std::printf("\nparity at %u-byte pieces (ISA-L Reed-Solomon, blocks of up to 255 pieces), load %.2f\n",
                kPieceSize, loadAverage());
    std::printf("%-10s %-9s %8s %12s %10s %14s %12s %10s\n", "size", "parity", "pieces", "encode ms/fr",
                "encode fps", "repair 1% ms/fr", "rebuilt", "memcpy ms");
    for (const StreamFormat format : {StreamFormat{1280, 720, 1, 1}, StreamFormat{1920, 1080, 1, 1}}) {
        const double memcpyMs = 1e3 * double(zun::byteSize(format)) / (memcpyGBps(zun::byteSize(format), 0.5) * 1e9);
        for (uint32_t percent : {5u, 20u}) {
            ParityCosts best;
            for (int round = 0; round < options.rounds; ++round) {
                const ParityCosts next = measure(format, percent, options.seconds / 2);
                if (round == 0 || next.encodeMs < best.encodeMs)
                    best.encodeMs = next.encodeMs;
                if (round == 0 || next.repairMs < best.repairMs)
                    best.repairMs = next.repairMs;
                best.rebuilt = next.rebuilt;
            }
            const auto layout = zun::ParityLayout::choose(zun::byteSize(format), kPieceSize, percent);
            std::printf("%4ux%-5u %6u%%   %8u %12.2f %10.0f %14.2f %12s %10.2f\n", format.width, format.height,
                        percent, layout.pieceCount(), best.encodeMs, 1e3 / best.encodeMs, best.repairMs,
                        best.rebuilt ? std::to_string(best.rebuilt).c_str() : "WRONG", memcpyMs);
        }
    }
}

} // namespace bench
