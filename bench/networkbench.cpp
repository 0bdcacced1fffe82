// "Multicast (UDP)" and "Remote (TCP)" over loopback inside one process, next to what
// plain sockets move through loopback in the same run.

#include "benches.h"
#include "loopbackaddress.h"
#include "picture.h"
#include "udplimit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kPort = 21950;
constexpr uint32_t kLevel = 15;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// How one plain TCP stream is written and read.
struct PlainStream {
    size_t message = 1 << 20;     // bytes a send is given
    size_t landing = 1 << 20;     // bytes the reader fills before it moves to its next buffer
    int landingBuffers = 1;       // buffers the reader cycles through
    bool copyBeforeSend = false;  // one memcpy of each message first, as zunEncode's
    bool copyAfterReceive = false; // one memcpy of each landed buffer, as the benchmark's reader of the library
};

// Bytes a second one plain stream moves over loopback.
double tcpLimit(double seconds, const PlainStream &how = {})
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    auto addr = loopback(kPort);
    ::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::listen(listener, 1);
    const int tx = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(tx, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    const int rx = ::accept(listener, nullptr, nullptr);
    std::atomic<uint64_t> received{0};
    std::thread reader([&] {
        std::vector<std::vector<char>> landing(size_t(how.landingBuffers), std::vector<char>(how.landing));
        std::vector<char> out(how.copyAfterReceive ? how.landing : 0);
        size_t buffer = 0, at = 0;
        ssize_t n;
        while ((n = ::recv(rx, landing[buffer].data() + at, how.landing - at, 0)) > 0) {
            received += uint64_t(n);
            at += size_t(n);
            if (at == how.landing) {
                if (how.copyAfterReceive)
                    std::memcpy(out.data(), landing[buffer].data(), how.landing);
                at = 0;
                buffer = (buffer + 1) % landing.size();
            }
        }
    });
    std::vector<char> source(how.message, 'x'), staged(how.copyBeforeSend ? how.message : 0);
    const auto start = Clock::now();
    while (secondsSince(start) < seconds) {
        const char *from = source.data();
        if (how.copyBeforeSend) {
            std::memcpy(staged.data(), source.data(), how.message);
            from = staged.data();
        }
        for (size_t sent = 0; sent < how.message;) {
            const ssize_t n = ::send(tx, from + sent, how.message - sent, 0);
            if (n <= 0)
                break;
            sent += size_t(n);
        }
    }
    const double elapsed = secondsSince(start);
    const uint64_t moved = received;
    ::shutdown(tx, SHUT_WR);
    reader.join();
    ::close(tx);
    ::close(rx);
    ::close(listener);
    return double(moved) / elapsed;
}

struct NetworkLimits {
    Rate udpSmall;   // 1472-byte datagrams: an Ethernet MTU
    Rate udpBatched; // the same through sendmmsg, 32 at a time
    Rate udpLarge;   // 65000-byte datagrams: what loopback allows
    double tcp = 0;
};

NetworkLimits measureNetworkLimits(double seconds)
{
    NetworkLimits l;
    UdpLimitSetup setup;
    setup.to = loopback(kPort);
    l.udpSmall = udpLimit(setup, seconds);
    setup.mode = UdpLimitSetup::Mode::Sendmmsg;
    l.udpBatched = udpLimit(setup, seconds);
    setup.mode = UdpLimitSetup::Mode::OneByOne;
    setup.datagram = 65000;
    l.udpLarge = udpLimit(setup, seconds);
    l.tcp = tcpLimit(seconds);
    return l;
}

void keepBest(NetworkLimits &best, const NetworkLimits &next)
{
    auto better = [](Rate &a, const Rate &b) {
        a.sent = std::max(a.sent, b.sent);
        a.received = std::max(a.received, b.received);
    };
    better(best.udpSmall, next.udpSmall);
    better(best.udpBatched, next.udpBatched);
    better(best.udpLarge, next.udpLarge);
    best.tcp = std::max(best.tcp, next.tcp);
}

std::string versus(double mbps, double limitBytesPerSecond, const char *what)
{
    char text[128];
    const double r = limitBytesPerSecond > 0 ? mbps * 1e6 / limitBytesPerSecond : 0;
    std::snprintf(text, sizeof text, "%5.1f%% of %s (target 50%%)%s", 100 * r, what, r >= 0.5 ? "" : "  MISSED");
    return text;
}

} // namespace

void runNetworkBench(const Options &options)
{
    const StreamFormat formats[] = {{640, 480, 1, 1}, {1920, 1080, 1, 1}};
    NetworkLimits limits;
    // [protocol][format][compressed][mode: window 2, flat out, paced 30]
    StreamResult results[2][2][2][3];
    for (int round = 0; round < options.rounds; ++round) {
        keepBest(limits, measureNetworkLimits(0.5));
        for (int p = 0; p < 2; ++p) {
            for (int f = 0; f < 2; ++f) {
                const auto picture = linePicture(formats[f], 400);
                for (uint32_t compressed : {0u, 1u}) {
                    StreamConfig config;
                    config.protocol = p == 0 ? ZUN_PROTOCOL_UDP : ZUN_PROTOCOL_TCP;
                    config.port = kPort;
                    config.format = formats[f];
                    config.compressed = compressed;
                    config.level = kLevel;
                    config.seconds = options.seconds;
                    auto &r = results[p][f][compressed];
                    keepBest(r[0], runPipelined(config, picture, 2));
                    keepBest(r[1], runPipelined(config, picture, 0));
                    keepBest(r[2], runPaced(config, picture, 30));
                }
            }
        }
    }
    std::printf("\nloopback limits, one sender and one receiver thread:\n");
    std::printf("  UDP 1472-byte datagrams    %6.0f MB/s sent, %6.0f MB/s received\n",
                limits.udpSmall.sent / 1e6, limits.udpSmall.received / 1e6);
    std::printf("  UDP 1472 by sendmmsg (32)  %6.0f MB/s sent, %6.0f MB/s received\n",
                limits.udpBatched.sent / 1e6, limits.udpBatched.received / 1e6);
    std::printf("  UDP 65000-byte datagrams   %6.0f MB/s sent, %6.0f MB/s received\n",
                limits.udpLarge.sent / 1e6, limits.udpLarge.received / 1e6);
    std::printf("  TCP                        %6.0f MB/s\n", limits.tcp / 1e6);
    for (int p = 0; p < 2; ++p) {
        std::printf("\n%s over loopback, encoder and decoder in one process; every frame copied out of "
                    "the locked buffer\n", p == 0 ? "Multicast (UDP)" : "Remote (TCP)");
        printStreamHeader();
        for (int f = 0; f < 2; ++f) {
            for (uint32_t compressed : {0u, 1u}) {
                StreamConfig config;
                config.format = formats[f];
                config.compressed = compressed;
                config.level = kLevel;
                const auto &r = results[p][f][compressed];
                std::string best;
                if (!compressed)
                    best = p == 0 ? versus(r[0].imageMBps, limits.udpLarge.received, "UDP 65000")
                                  : versus(r[0].imageMBps, limits.tcp, "TCP");
                printStreamRow("window 2", config, r[0], best);
                printStreamRow("flat out", config, r[1], "");
                char lost[64];
                std::snprintf(lost, sizeof lost, "lost %llu of %llu",
                              static_cast<unsigned long long>(r[2].sent - std::min(r[2].sent, r[2].delivered)),
                              static_cast<unsigned long long>(r[2].sent));
                printStreamRow("paced 30", config, r[2], lost);
            }
        }
    }
}

// Raw 1920x1080 over TCP against one plain TCP stream, rounds interleaved with the plain stream
// so that both see the same machine; and the latency at 30 frames a second. The plain stream
// is also read frame by frame into buffers of a frame's size, as any receiver that hands out
// whole frames must; then written with one copy of each frame first, as zunEncode's; then also
// with each frame copied out where it landed, as this benchmark's reader of the library does,
// which is the same work the library's run does.
void runTcpBench(const Options &options)
{
    const StreamFormat format{1920, 1080, 1, 1};
    const auto picture = linePicture(format, 400);
    StreamConfig config;
    config.protocol = ZUN_PROTOCOL_TCP;
    config.port = kPort;
    config.format = format;
    config.seconds = options.seconds;
    PlainStream framed;
    framed.message = framed.landing = picture.size();
    framed.landingBuffers = 3; // one read, one waiting, one landing
    PlainStream copiedIn = framed;
    copiedIn.copyBeforeSend = true;
    PlainStream copiedBoth = copiedIn;
    copiedBoth.copyAfterReceive = true;
    const PlainStream plains[] = {{}, framed, copiedIn, copiedBoth};
    double plain[std::size(plains)] = {};
    StreamResult windowed, flatOut, paced;
    for (int round = 0; round < options.rounds; ++round) {
        for (size_t i = 0; i < std::size(plains); ++i)
            plain[i] = std::max(plain[i], tcpLimit(options.seconds, plains[i]));
        keepBest(windowed, runPipelined(config, picture, 2));
        keepBest(flatOut, runPipelined(config, picture, 0));
        keepBest(paced, runPaced(config, picture, 30));
    }
    std::printf("\nRemote (TCP) raw 1920x1080 over loopback, best of %d; one plain TCP stream %.0f MB/s in 1 MiB "
                "reads, %.0f MB/s read frame by frame, %.0f MB/s with a copy of each frame sent, %.0f MB/s "
                "with a copy at both ends\n",
                options.rounds, plain[0] / 1e6, plain[1] / 1e6, plain[2] / 1e6, plain[3] / 1e6);
    printStreamHeader();
    const auto ratios = [&](const StreamResult &r) {
        const double bytes = r.imageMBps * 1e6;
        const auto of = [&](size_t i) { return plain[i] > 0 ? bytes / plain[i] : 0; };
        char text[128];
        std::snprintf(text, sizeof text, "%.2f of plain TCP, %.2f read by frame, %.2f with the copy, %.2f with both",
                      of(0), of(1), of(2), of(3));
        return std::string(text);
    };
    printStreamRow("window 2", config, windowed, ratios(windowed));
    printStreamRow("flat out", config, flatOut, ratios(flatOut));
    printStreamRow("paced 30", config, paced, "");
    std::printf("closing note: load average %.2f\n", loadAverage());
}

} // namespace bench
