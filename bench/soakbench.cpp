// Hours without a leak: a UDP stream through random loss and reordering, a TCP stream whose
// receiver reconnects every 10 s and a shared-memory stream whose reading process is killed
// and started again every 5 s, all at once, with what the process holds told every minute.

#include "benches.h"
#include "picture.h"
#include "processgauge.h"
#include "reorderingproxy.h"

#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

extern char **environ;

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint16_t kProxyPort = 24520;
constexpr uint16_t kUdpPort = 24521;
constexpr uint16_t kTcpPort = 24530;
constexpr uint16_t kMemoryPort = 24540;
constexpr auto kFrameInterval = std::chrono::microseconds(33'333);
constexpr auto kTcpReconnect = 10s;
constexpr auto kReaderRestart = 5s;
constexpr auto kReportEvery = 60s;
constexpr double kReorderShare = 0.05;
const StreamFormat kUdpFormat{1280, 720, 1, 1};
const StreamFormat kSmallFormat{640, 480, 1, 1};

// A namespace of this process's own, loopback at Ethernet's MTU, the UDP stream's port
// losing 1% of its datagrams.
bool makePrivateNetwork(std::string &problem)
{
    if (::unshare(CLONE_NEWNET) != 0) {
        problem = "cannot make a network namespace (needs root or CAP_SYS_ADMIN)";
        return false;
    }
    if (std::system("ip link set lo up && ip link set lo mtu 1500") != 0) {
        problem = "cannot bring loopback up at MTU 1500 (ip link)";
        return false;
    }
    const std::string rules = "nft add table inet zunsoak && nft add chain inet zunsoak input "
                              "'{ type filter hook input priority 0 ; }' && nft add rule inet zunsoak input udp dport "
        + std::to_string(kUdpPort) + " numgen random mod 100 lt 1 counter drop";
    if (std::system(rules.c_str()) != 0) {
        problem = "cannot add the loss rule (nft)";
        return false;
    }
    return true;
}

uint32_t makeDecoder(uint32_t protocol, const StreamFormat &format, uint16_t port)
{
    const uint32_t decoder = zunGetDecoder(protocol, &format);
    if (decoder && !zunSetSourceAddress(decoder, port)) {
        zunDeleteDecoder(decoder);
        return 0;
    }
    return decoder;
}

uint32_t makeEncoder(uint32_t protocol, const StreamFormat &format, uint16_t port)
{
    const uint32_t encoder = zunGetEncoder(protocol, &format);
    if (encoder && (!zunSetDestFormat(encoder, &format, 0, 0) || !zunSetDestAddress(encoder, "127.0.0.1", port))) {
        zunDeleteEncoder(encoder);
        return 0;
    }
    return encoder;
}

// The reading process of the shared-memory stream: this program again, in its reader mode.
pid_t startMemoryReader()
{
    char self[] = "/proc/self/exe";
    std::string mode = "--memory-reader", port = std::to_string(kMemoryPort);
    char *argv[] = {self, mode.data(), port.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, self, nullptr, nullptr, argv, environ) != 0)
        return -1;
    return pid;
}

void stopProcess(pid_t pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

struct Totals {
    uint64_t udpSent = 0, udpDelivered = 0, udpRepaired = 0, udpIncomplete = 0, udpOverflowed = 0;
    uint64_t tcpSent = 0, tcpDelivered = 0, memorySent = 0;
};

uint64_t framesSent(uint32_t encoder)
{
    ZunStreamStats stats{};
    zunGetStreamStats(encoder, &stats);
    return stats.framesSent;
}

} // namespace

int runMemoryReader(uint16_t port)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives the soak
    const uint32_t decoder = makeDecoder(ZUN_PROTOCOL_MEMORY, kSmallFormat, port);
    if (!decoder)
        return 1;
    std::vector<uint8_t> out(zunGetByteSize(&kSmallFormat));
    for (;;) {
        if (const void *pixels = zunLockReadBuffer(decoder, 0)) {
            std::memcpy(out.data(), pixels, out.size());
            zunUnlockReadBuffer(decoder);
        } else {
            std::this_thread::sleep_for(2ms);
        }
    }
}

void runSoakBench(const Options &options)
{
    std::string problem;
    if (!makePrivateNetwork(problem)) {
        std::printf("\nsoak: skipped, %s\n", problem.c_str());
        return;
    }
    ReorderingProxy proxy(kProxyPort, kUdpPort, kReorderShare);
    const uint32_t udpDecoder = makeDecoder(ZUN_PROTOCOL_UDP, kUdpFormat, kUdpPort);
    const uint32_t udpEncoder = makeEncoder(ZUN_PROTOCOL_UDP, kUdpFormat, kProxyPort);
    std::atomic<uint32_t> tcpDecoder{makeDecoder(ZUN_PROTOCOL_TCP, kSmallFormat, kTcpPort)};
    const uint32_t tcpEncoder = makeEncoder(ZUN_PROTOCOL_TCP, kSmallFormat, kTcpPort);
    const uint32_t memoryEncoder = makeEncoder(ZUN_PROTOCOL_MEMORY, kSmallFormat, kMemoryPort);
    pid_t reader = startMemoryReader();
    if (!proxy.ok() || !udpDecoder || !udpEncoder || !tcpDecoder || !tcpEncoder || !memoryEncoder || reader < 0) {
        std::printf("\nsoak: FAILED to set up the streams\n");
        stopProcess(reader);
        return;
    }
    std::printf("\nsoak for %.0f min: UDP raw 1280x720 at 30 fps with 1%% loss (nft) and %.0f%% reordered (proxy), "
                "TCP and memory raw 640x480 at 30 fps; TCP receiver anew every %llds, memory reader killed every %llds\n",
                options.minutes, 100 * kReorderShare, static_cast<long long>(kTcpReconnect.count()),
                static_cast<long long>(kReaderRestart.count()));
    // "overflow": datagrams this host dropped on the decoder's full socket buffer, a loss
    // beyond the 1% that parity is there for.
    std::printf("%4s %8s %8s %4s %7s | %6s %6s %9s %8s %9s %10s | %6s %6s | %6s %8s | %5s\n", "min", "RSS MiB",
                "vs min1", "fds", "threads", "UDP", "lost", "repaired", "incompl", "overflow", "reordered", "TCP",
                "lost", "memory", "restarts", "load");

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> udpRead{0}, tcpRead{0};
    std::jthread producer([&] {
        const auto udpPicture = linePicture(kUdpFormat, 400);
        const auto smallPicture = linePicture(kSmallFormat, 400);
        auto next = Clock::now();
        while (!stop) {
            zunEncode(udpEncoder, udpPicture.data());
            zunEncode(tcpEncoder, smallPicture.data());
            zunEncode(memoryEncoder, smallPicture.data());
            next += kFrameInterval;
            std::this_thread::sleep_until(next);
        }
    });
    std::jthread consumer([&] {
        std::vector<uint8_t> out(zunGetByteSize(&kUdpFormat));
        const auto readFrom = [&](uint32_t decoder, const StreamFormat &format) {
            const void *pixels = zunLockReadBuffer(decoder, 0);
            if (!pixels)
                return false;
            std::memcpy(out.data(), pixels, zunGetByteSize(&format));
            zunUnlockReadBuffer(decoder);
            return true;
        };
        while (!stop) {
            const bool udp = readFrom(udpDecoder, kUdpFormat);
            const bool tcp = readFrom(tcpDecoder, kSmallFormat);
            udpRead += udp;
            tcpRead += tcp;
            if (!udp && !tcp)
                std::this_thread::sleep_for(1ms);
        }
    });

    Totals last;
    size_t firstMinuteRss = 0;
    uint64_t restarts = 0;
    const auto start = Clock::now();
    auto nextReconnect = start + kTcpReconnect, nextRestart = start + kReaderRestart, nextReport = start + kReportEvery;
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.minutes * 60));
    for (int minute = 1; Clock::now() < end;) {
        std::this_thread::sleep_until(std::min({nextReconnect, nextRestart, nextReport}));
        const auto now = Clock::now();
        if (now >= nextReconnect) {
            nextReconnect += kTcpReconnect;
            const uint32_t old = tcpDecoder.exchange(0);
            zunDeleteDecoder(old);
            tcpDecoder = makeDecoder(ZUN_PROTOCOL_TCP, kSmallFormat, kTcpPort);
        }
        if (now >= nextRestart) {
            nextRestart += kReaderRestart;
            stopProcess(reader);
            reader = startMemoryReader();
            ++restarts;
        }
        if (now < nextReport)
            continue;
        nextReport += kReportEvery;
        ZunRepairStats repair{};
        zunGetRepairStats(udpDecoder, &repair);
        ZunStreamStats udp{};
        zunGetStreamStats(udpDecoder, &udp);
        ZunReceiveStats arrived{};
        zunGetReceiveStats(udpDecoder, &arrived);
        const Totals totals{framesSent(udpEncoder), udpRead, repair.framesRepaired, udp.framesIncomplete,
                            arrived.datagramsOverflowed, framesSent(tcpEncoder), tcpRead, framesSent(memoryEncoder)};
        const ProcessGauge gauge = measureProcess();
        if (minute == 1)
            firstMinuteRss = gauge.residentBytes;
        const uint64_t udpSent = totals.udpSent - last.udpSent, udpGot = totals.udpDelivered - last.udpDelivered;
        const uint64_t tcpSent = totals.tcpSent - last.tcpSent, tcpGot = totals.tcpDelivered - last.tcpDelivered;
        std::printf("%4d %8.1f %+8.2f %4d %7d | %6llu %6lld %9llu %8llu %9llu %10llu | %6llu %6lld | %6llu %8llu | %5.2f\n",
                    minute, gauge.residentBytes / 1048576.0,
                    (double(gauge.residentBytes) - double(firstMinuteRss)) / 1048576.0, gauge.openFds, gauge.threads,
                    static_cast<unsigned long long>(udpGot), static_cast<long long>(udpSent) - static_cast<long long>(udpGot),
                    static_cast<unsigned long long>(totals.udpRepaired - last.udpRepaired),
                    static_cast<unsigned long long>(totals.udpIncomplete - last.udpIncomplete),
                    static_cast<unsigned long long>(totals.udpOverflowed - last.udpOverflowed),
                    static_cast<unsigned long long>(proxy.reordered()), static_cast<unsigned long long>(tcpGot),
                    static_cast<long long>(tcpSent) - static_cast<long long>(tcpGot),
                    static_cast<unsigned long long>(totals.memorySent - last.memorySent),
                    static_cast<unsigned long long>(restarts), loadAverage());
        std::fflush(stdout);
        last = totals;
        ++minute;
    }
    stop = true;
    producer.join();
    consumer.join();
    stopProcess(reader);
    zunDeleteEncoder(udpEncoder);
    zunDeleteEncoder(tcpEncoder);
    zunDeleteEncoder(memoryEncoder);
    zunDeleteDecoder(udpDecoder);
    zunDeleteDecoder(tcpDecoder);
    std::system("nft list chain inet zunsoak input | grep -o 'packets [0-9]*' | sed 's/^/datagrams dropped by nft: /'");
}

} // namespace bench
