// Network transport benchmark: loopback limits of the machine, then frames through the UDP
// and TCP transports and through the library's C API, raw and JPEG.
#include "format.h"
#include "frame.h"
#include "transport/tcpreceiver.h"
#include "transport/tcpsender.h"
#include "transport/udpreceiver.h"
#include "transport/udpsender.h"
#include "zunVidStreamLib2.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kPort = 21900;
double gSeconds = 2.0;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

sockaddr_in loopback(uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

struct Rate {
    double sent = 0;
    double received = 0;
};

// Bytes per second one UDP socket pair moves through loopback with datagrams of this size:
// what the sender puts out and what the receiver, one recv per datagram, takes in.
Rate udpLimit(size_t datagram, bool batched = false)
{
    const int rx = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int tx = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int size = 32 << 20;
    setsockopt(rx, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    const timeval tick{0, 100000};
    setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    auto addr = loopback(kPort);
    ::bind(rx, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::connect(tx, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> received{0};
    std::thread reader([&] {
        std::vector<char> buf(65536);
        while (!stop) {
            const ssize_t n = ::recv(rx, buf.data(), buf.size(), 0);
            if (n > 0)
                received += uint64_t(n);
        }
    });
    std::vector<char> buf(datagram, 'x');
    constexpr int kBatch = 32;
    iovec part{buf.data(), buf.size()};
    mmsghdr batch[kBatch]{};
    for (auto &m : batch) {
        m.msg_hdr.msg_iov = &part;
        m.msg_hdr.msg_iovlen = 1;
    }
    uint64_t sent = 0;
    const auto start = Clock::now();
    while (secondsSince(start) < gSeconds / 2) {
        if (batched) {
            for (int i = 0; i < 2; ++i)
                sent += uint64_t(std::max(0, ::sendmmsg(tx, batch, kBatch, 0))) * datagram;
        } else {
            for (int i = 0; i < 2 * kBatch; ++i)
                sent += ::send(tx, buf.data(), buf.size(), 0) > 0 ? datagram : 0;
        }
    }
    const double elapsed = secondsSince(start);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    reader.join();
    ::close(rx);
    ::close(tx);
    return {double(sent) / elapsed, double(received) / elapsed};
}

double tcpLimit()
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
        std::vector<char> buf(1 << 20);
        ssize_t n;
        while ((n = ::recv(rx, buf.data(), buf.size(), 0)) > 0)
            received += uint64_t(n);
    });
    std::vector<char> buf(1 << 20, 'x');
    const auto start = Clock::now();
    uint64_t before = 0;
    while (secondsSince(start) < gSeconds / 2)
        ::send(tx, buf.data(), buf.size(), 0);
    const double elapsed = secondsSince(start);
    before = received;
    ::shutdown(tx, SHUT_WR);
    reader.join();
    ::close(tx);
    ::close(rx);
    ::close(listener);
    return double(before) / elapsed;
}

struct Result {
    double fps = 0;
    double mbps = 0;
    uint64_t sent = 0;
    uint64_t lost = 0;
    double medianMs = 0;
    double p99Ms = 0;
};

void summarise(Result &r, std::vector<double> &latencies, uint64_t bytes, double elapsed)
{
    r.fps = double(latencies.size()) / elapsed;
    r.mbps = double(bytes) / elapsed / 1e6;
    r.lost = r.sent > latencies.size() ? r.sent - latencies.size() : 0;
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        r.medianMs = latencies[latencies.size() / 2];
        r.p99Ms = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    }
}

void print(const char *path, const char *transport, const StreamFormat &f, bool jpeg, double fps, const Result &r)
{
    char pace[16];
    if (fps > 0)
        std::snprintf(pace, sizeof pace, "%.0f fps", fps);
    else
        std::snprintf(pace, sizeof pace, "flat out");
    std::printf("%-9s %-4s %4ux%-4u %-4s %-8s %8.1f fps %8.1f MB/s  lost %5llu of %5llu  latency median %6.2f ms  p99 %6.2f ms\n",
                path, transport, f.width, f.height, jpeg ? "jpeg" : "raw", pace, r.fps, r.mbps,
                (unsigned long long)r.lost, (unsigned long long)r.sent, r.medianMs, r.p99Ms);
    std::fflush(stdout);
}

std::vector<uint8_t> picture(const StreamFormat &f)
{
    // A picture with structure (so JPEG is realistic) and noise (so raw is not all zeros).
    std::vector<uint8_t> pixels(zun::byteSize(f));
    const uint32_t stride = zun::rowStride(f);
    uint32_t x = 1;
    for (uint32_t row = 0; row < f.height; ++row) {
        for (uint32_t i = 0; i < stride; ++i) {
            x = x * 1664525u + 1013904223u;
            pixels[size_t(row) * stride + i] = uint8_t((row + i / 3) / 4 + (x >> 29));
        }
    }
    return pixels;
}

// Frames straight through a transport's sender and receiver classes, each on a thread.
Result transportRun(int protocol, const StreamFormat &f, double fps)
{
    std::unique_ptr<zun::NetworkSender> sender = zun::makeNetworkSender(protocol);
    std::unique_ptr<zun::NetworkReceiver> receiver = zun::makeNetworkReceiver(protocol);
    receiver->listen(kPort);
    sender->setDestination("127.0.0.1", kPort);
    const auto payload = picture(f);
    std::atomic<bool> stop{false};
    std::vector<double> latencies;
    uint64_t bytes = 0;
    std::thread reader([&] {
        zun::EncodedFrame frame;
        while (!stop) {
            if (receiver->receive(frame, std::chrono::milliseconds(20))) {
                latencies.push_back(double(zun::monotonicNowNs() - frame.meta.sendTimeNs) / 1e6);
                bytes += frame.payload.size();
            }
        }
    });
    // TCP connects in the background: wait for it before counting.
    zun::FrameMeta meta;
    meta.format = f;
    meta.streamId = 42;
    const auto warm = Clock::now();
    while (secondsSince(warm) < 2 && !sender->send(meta, payload))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    latencies.clear();
    bytes = 0;
    Result r;
    const auto start = Clock::now();
    uint32_t n = 1;
    while (secondsSince(start) < gSeconds) {
        meta.frameNumber = ++n;
        meta.sendTimeNs = zun::monotonicNowNs();
        sender->send(meta, payload);
        ++r.sent;
        if (fps > 0) {
            std::this_thread::sleep_until(start + std::chrono::duration<double>(double(r.sent) / fps));
        } else if (protocol == 2) {
            // Sending faster than the link only replaces the waiting frame; pace by the queue.
            std::this_thread::yield();
        }
    }
    const double elapsed = secondsSince(start);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop = true;
    reader.join();
    summarise(r, latencies, bytes, elapsed);
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1)
        gSeconds = std::max(0.5, std::atof(argv[1]));
    std::printf("loopback limits (one sender, one receiver):\n");
    const struct {
        const char *name;
        size_t size;
        bool batched;
    } udp[] = {{"UDP 1472-byte datagrams  ", 1472, false},
               {"UDP 1472, sendmmsg by 32 ", 1472, true},
               {"UDP 65000-byte datagrams ", 65000, false},
               {"UDP 65000, sendmmsg by 32", 65000, true}};
    for (const auto &u : udp) {
        const Rate r = udpLimit(u.size, u.batched);
        std::printf("  %s %8.0f MB/s sent, %8.0f MB/s received\n", u.name, r.sent / 1e6, r.received / 1e6);
    }
    std::printf("  TCP                       %8.0f MB/s\n", tcpLimit() / 1e6);
    std::printf("\n");
    const StreamFormat sizes[] = {{640, 480, 1, 1}, {1920, 1080, 1, 1}};
    for (int protocol : {1, 2}) {
        const char *name = protocol == 1 ? "UDP" : "TCP";
        for (const auto &f : sizes) {
            for (double fps : {30.0, 0.0})
                print("transport", name, f, false, fps, transportRun(protocol, f, fps));
        }
    }
    return 0;
}
