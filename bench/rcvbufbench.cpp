// How the UDP pacing burst fares against the receive buffer a receiver is granted, over the
// veth pair at MTU 1500: frames delivered and their latency, for the buffer of an untuned
// machine up to the one the library asks for, each burst tried in turn within one setting.

#include "benches.h"
#include "netns.h"
#include "picture.h"

#include "transport/udp/udpreceiver.h"

#include <vector>

namespace bench {

namespace {

constexpr uint16_t kPort = 24510;

struct Case {
    StreamFormat format;
    uint32_t compressed;
    double fps;
};

struct Cell {
    StreamResult result;
    std::string status; // the decoder's, about its buffer
};

std::string cellText(const StreamResult &r)
{
    char text[80];
    if (!r.ok)
        return "no frame";
    const double share = r.sent ? 100.0 * double(std::min(r.delivered, r.sent)) / double(r.sent) : 0;
    std::snprintf(text, sizeof text, "%5.1f%% %5.1f/%5.1f o%llu", share, r.latencyMedianUs / 1e3,
                  r.latencyP99Us / 1e3, static_cast<unsigned long long>(r.overflowed));
    return text;
}

} // namespace

void runReceiveBufferBench(const Options &options)
{
    netkit::VethPair veth;
    if (!veth.ok() || !veth.setMtu(1500)) {
        std::printf("\nrcvbuf: skipped, %s\n", veth.ok() ? "cannot set the MTU" : veth.problem().c_str());
        return;
    }
    // 208 KiB is what a stock kernel's net.core.rmem_max lets a process without CAP_NET_ADMIN
    // have; the kernel reports double.
    const std::vector<int> buffers = options.buffer ? std::vector<int>{options.buffer}
                                                    : std::vector<int>{212992, 1 << 20, 4 << 20, 128 << 20};
    const std::vector<uint64_t> bursts = options.burst ? std::vector<uint64_t>{options.burst}
                                                       : std::vector<uint64_t>{1 << 20, 256 << 10, 64 << 10, 16 << 10};
    const std::vector<Case> cases{
        {{1280, 720, 1, 1}, 0, 30}, {{1280, 720, 1, 1}, 0, 60},   {{1920, 1080, 1, 1}, 0, 30},
        {{1920, 1080, 1, 1}, 0, 60}, {{1920, 1080, 1, 1}, 1, 30}, {{1920, 1080, 1, 1}, 1, 60}};
    std::printf("\nUDP over the veth pair at MTU 1500, paced: frames delivered, latency median/p99 ms, "
                "datagrams overflowed\n");
    std::printf("%-10s %-7s %4s %-8s", "size", "payload", "fps", "buffer");
    for (uint64_t burst : bursts)
        std::printf("  burst %-4llu KiB              ", static_cast<unsigned long long>(burst >> 10));
    std::printf("  load\n");
    for (int buffer : buffers) {
        zun::UdpReceiver::setReceiveBufferCeiling(buffer);
        for (const Case &c : cases) {
            StreamConfig config;
            config.protocol = ZUN_PROTOCOL_UDP;
            config.address = netkit::VethPair::kPeer;
            config.port = kPort;
            config.format = c.format;
            config.compressed = c.compressed;
            config.level = 15;
            config.seconds = options.seconds;
            config.sourceNetns = veth.peerNetns();
            const auto picture = linePicture(config.format, 400);
            std::vector<StreamResult> best(bursts.size());
            for (int round = 0; round < options.rounds; ++round) {
                for (size_t i = 0; i < bursts.size(); ++i) {
                    config.pacingBurst = bursts[i];
                    const StreamResult r = runPaced(config, picture, c.fps);
                    // The least disturbed round: most frames, then the lowest latency.
                    if (r.ok && (!best[i].ok || r.delivered * best[i].sent > best[i].delivered * r.sent
                                 || (r.delivered * best[i].sent == best[i].delivered * r.sent
                                     && r.latencyMedianUs < best[i].latencyMedianUs)))
                        best[i] = r;
                }
            }
            std::printf("%4ux%-5u %-7s %4.0f %-8s", c.format.width, c.format.height, c.compressed ? "JPEG 15" : "raw",
                        c.fps, buffer >= (1 << 20) ? (std::to_string(buffer >> 20) + " MiB").c_str()
                                                   : (std::to_string(buffer >> 10) + " KiB").c_str());
            for (const StreamResult &r : best)
                std::printf("  %-28s", cellText(r).c_str());
            std::printf("  %.2f\n", loadAverage());
            std::fflush(stdout);
        }
    }
    zun::UdpReceiver::setReceiveBufferCeiling(0);
}

} // namespace bench
