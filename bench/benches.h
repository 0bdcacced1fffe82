#pragma once

// What each transport's benchmark file offers to main.

#include "limits.h"
#include "streambench.h"

#include <cstdio>
#include <string>

namespace bench {

struct Options {
    double seconds = 2; // per run
    int rounds = 3;     // each run and each limit is measured this often, interleaved; best kept
    double minutes = 1; // of the soak
    uint64_t burst = 0;  // rcvbuf: only this pacing burst, 0 for every one
    int buffer = 0;      // rcvbuf: only this receive buffer ceiling, 0 for every one
};

// The machine's limits for one frame format, measured once in main's run.
struct FormatLimits {
    StreamFormat format{};
    double memcpyGBps = 0;
    double twoCopyFps = 0; // frames per second that two memcpy passes per frame allow
    JpegRates jpeg;        // at the benchmark's JPEG level
};

FormatLimits measureLimits(const StreamFormat &format, double seconds);
// Keeps the better of each figure: on a shared machine the best run is the least disturbed.
void keepBest(FormatLimits &best, const FormatLimits &next);
void keepBest(StreamResult &best, const StreamResult &next);
void printLimits(const FormatLimits &limits);
// The one-minute load average, to judge how disturbed a run was.
double loadAverage();

void printStreamHeader();
void printStreamRow(const char *mode, const StreamConfig &config, const StreamResult &result,
                    const std::string &versusLimit);

void runMemoryBench(const Options &options);
void runNetworkBench(const Options &options);
// TCP raw 1920x1080 against one plain TCP stream, and its latency at 30 fps.
void runTcpBench(const Options &options);
void runJpegBench(const Options &options);
// A TCP decoder fed a recording of its own encoder's JPEG frames, next to the codec's own rates.
void runJpegDecodeBench(const Options &options);
// Needs root (or CAP_NET_ADMIN) for its namespace and veth pair; says so and returns elsewhere.
void runVethBench(const Options &options);
void runParityBench(const Options &options);
// Pacing bursts against receive buffers over the veth pair; needs what runVethBench needs.
void runReceiveBufferBench(const Options &options);
// Raw 8192x8192 32-bit at 1 fps into a cold decoder over loopback, ten runs in a row.
void runLargestBench(const Options &options);
// How long zunEncode holds its encoder for 8192x8192 32-bit frames, on each transport.
void runEncodeLockBench(const Options &options);
// One multicast sender, eight receivers in namespaces of their own behind a bridge.
void runFanOutBench(const Options &options);
// All transports at once for options.minutes, in a network namespace of its own.
void runSoakBench(const Options &options);
// The soak's shared-memory reader, in a process of its own; runs until killed.
int runMemoryReader(uint16_t port);

} // namespace bench
