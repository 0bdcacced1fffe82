// "Multicast (UDP)" between two network namespaces joined by a veth pair, as between two
// machines on one Ethernet, at MTU 1500 and 9000, next to what plain sockets move over the
// same link in the same run, with and without the kernel's segmentation offloads.

#include "benches.h"
#include "netns.h"
#include "picture.h"
#include "udplimit.h"

#include <arpa/inet.h>

#include <algorithm>

namespace bench {

namespace {

constexpr uint16_t kPort = 21960;
// Raw 1080p over MTU 1500 before these rows were kept: the frame rate to beat threefold.
constexpr double kEarlierFps = 106;

struct MtuResults {
    int mtu = 0;
    Rate plain;   // MTU-sized datagrams, one system call each
    Rate offload; // the same through segmentation and receive offload
    Rate frames;  // and as the library moves raw 1080p frames: header and piece apart
    StreamResult flatOut;
    StreamResult flatOutPlain; // the same without parity
    StreamResult paced;
    StreamResult largest; // raw 8192x8192 32-bit at 1 fps
};

void better(Rate &a, const Rate &b)
{
    a.sent = std::max(a.sent, b.sent);
    a.received = std::max(a.received, b.received);
}

MtuResults measureAt(netkit::VethPair &veth, int mtu, const Options &options)
{
    MtuResults r;
    r.mtu = mtu;
    if (!veth.setMtu(mtu))
        return r;
    UdpLimitSetup setup;
    setup.to.sin_family = AF_INET;
    setup.to.sin_port = htons(kPort);
    inet_pton(AF_INET, netkit::VethPair::kPeer, &setup.to.sin_addr);
    setup.receiverNetns = veth.peerNetns();
    setup.datagram = size_t(mtu) - 28;
    StreamConfig config;
    config.protocol = ZUN_PROTOCOL_UDP;
    config.address = netkit::VethPair::kPeer;
    config.port = kPort;
    config.format = {1920, 1080, 1, 1};
    config.seconds = options.seconds;
    config.sourceNetns = veth.peerNetns();
    const auto picture = linePicture(config.format, 400);
    for (int round = 0; round < options.rounds; ++round) {
        setup.mode = UdpLimitSetup::Mode::OneByOne;
        better(r.plain, udpLimit(setup, 0.5));
        setup.mode = UdpLimitSetup::Mode::Offload;
        better(r.offload, udpLimit(setup, 0.5));
        setup.mode = UdpLimitSetup::Mode::OffloadFrames;
        better(r.frames, udpLimit(setup, 0.5));
        keepBest(r.flatOut, runPipelined(config, picture, 2));
        StreamConfig plain = config;
        plain.redundancy = 0;
        keepBest(r.flatOutPlain, runPipelined(plain, picture, 2));
        keepBest(r.paced, runPaced(config, picture, 30));
    }
    StreamConfig largest = config;
    largest.format = {8192, 8192, 2, 1};
    largest.seconds = std::max(4.0, options.seconds);
    largest.warmUpPeriod = std::chrono::milliseconds(1000);
    r.largest = runPaced(largest, linePicture(largest.format, 400), 1);
    return r;
}

std::string lostText(const StreamResult &r)
{
    char text[64];
    std::snprintf(text, sizeof text, "lost %llu of %llu",
                  static_cast<unsigned long long>(r.sent - std::min(r.sent, r.delivered)),
                  static_cast<unsigned long long>(r.sent));
    return text;
}

void print(const MtuResults &r)
{
    std::printf("\nveth MTU %d, plain sockets with %d-byte datagrams:\n", r.mtu, r.mtu - 28);
    std::printf("  one system call each        %6.0f MB/s sent, %6.0f MB/s received\n", r.plain.sent / 1e6,
                r.plain.received / 1e6);
    std::printf("  segmentation + receive offload %6.0f MB/s sent, %6.0f MB/s received\n",
                r.offload.sent / 1e6, r.offload.received / 1e6);
    std::printf("  offload, 1080p frames in parts %6.0f MB/s sent, %6.0f MB/s received\n",
                r.frames.sent / 1e6, r.frames.received / 1e6);
    std::printf("Multicast (UDP) over the veth pair, decoder in the other namespace\n");
    printStreamHeader();
    StreamConfig config;
    config.format = {1920, 1080, 1, 1};
    const auto versus = [&](const StreamResult &flatOut) {
        char text[160];
        const double share = r.offload.received > 0 ? flatOut.imageMBps * 1e6 / r.offload.received : 0;
        const double framesShare = r.frames.received > 0 ? flatOut.imageMBps * 1e6 / r.frames.received : 0;
        std::snprintf(text, sizeof text, "%5.1f%% of offload limit (target 40%%), %.0f%% of frames in parts, %.1fx %.0f fps%s",
                      100 * share, 100 * framesShare, flatOut.fps / kEarlierFps, kEarlierFps,
                      r.mtu == 1500 && (share < 0.4 || flatOut.fps < 3 * kEarlierFps) ? "  MISSED" : "");
        return std::string(text);
    };
    printStreamRow("window 2", config, r.flatOut, versus(r.flatOut));
    printStreamRow("no parity", config, r.flatOutPlain, versus(r.flatOutPlain));
    printStreamRow("paced 30", config, r.paced, lostText(r.paced));
    config.format = {8192, 8192, 2, 1};
    printStreamRow("paced 1", config, r.largest, lostText(r.largest));
}

} // namespace

void runVethBench(const Options &options)
{
    netkit::VethPair veth;
    if (!veth.ok()) {
        std::printf("\nveth: skipped, %s\n", veth.problem().c_str());
        return;
    }
    for (int mtu : {1500, 9000})
        print(measureAt(veth, mtu, options));
}

} // namespace bench
