// A TCP decoder fed a recorded stream of its own encoder's JPEG frames, a reader locking each,
// against the codec alone: TurboJPEG on one thread and the striped codec on the worker pool.

#include "benches.h"
#include "loopbackaddress.h"
#include "picture.h"

#include "format.h"
#include "jpegcodec.h"
#include "transport/wireheader.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr uint16_t kRecordPort = 25000;
constexpr uint16_t kDecoderPort = 25001;
constexpr uint32_t kLevel = 15;
constexpr int kRecordedFrames = 8;
constexpr double kGoal = 1.7; // of TurboJPEG's one-thread rate, on two cores

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Appends what the socket holds, waiting up to waitMs for the first byte; false when none came.
bool readSome(int fd, std::vector<uint8_t> &out, int waitMs)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0)
        return false;
    uint8_t chunk[64 * 1024];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0)
        return false;
    out.insert(out.end(), chunk, chunk + n);
    return true;
}

// What the library's TCP encoder writes for kRecordedFrames frames, as its peer reads it.
std::vector<uint8_t> recordStream(const StreamFormat &format, const std::vector<uint8_t> &picture)
{
    std::vector<uint8_t> stream;
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const auto addr = loopback(kRecordPort);
    const uint32_t encoder = zunGetEncoder(ZUN_PROTOCOL_TCP, &format);
    if (::bind(listener, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0 && ::listen(listener, 1) == 0
        && zunSetDestFormat(encoder, &format, 1, kLevel) && zunSetDestAddress(encoder, "127.0.0.1", kRecordPort)) {
        pollfd p{listener, POLLIN, 0};
        const int peer = ::poll(&p, 1, 3000) == 1 ? ::accept(listener, nullptr, nullptr) : -1;
        ZunStatus status{};
        const auto giveUp = Clock::now() + 3s;
        while (zunGetStatus(encoder, &status) && status.state != ZUN_STATE_SENDING && Clock::now() < giveUp)
            std::this_thread::sleep_for(1ms);
        ZunStreamStats stats{};
        for (int i = 0; i < kRecordedFrames; ++i) {
            zunEncode(encoder, picture.data());
            // One at a time, so that none gives way to the next.
            while (zunGetStreamStats(encoder, &stats) && stats.framesSent < uint64_t(i + 1) && Clock::now() < giveUp + 5s)
                readSome(peer, stream, 1);
        }
        const size_t bytes = stats.bytesTransferred + kRecordedFrames * zun::WireHeader::kSize;
        while (stream.size() < bytes && readSome(peer, stream, 1000)) {
        }
        if (peer < 0 || stats.framesSent != kRecordedFrames || stream.size() != bytes)
            stream.clear();
        if (peer >= 0)
            ::close(peer);
    }
    zunDeleteEncoder(encoder);
    ::close(listener);
    return stream;
}

// The first frame's payload of a recorded stream.
std::vector<uint8_t> firstPayload(const std::vector<uint8_t> &stream, zun::FrameMeta &meta)
{
    const auto header = zun::WireHeader::read(stream);
    if (!header || stream.size() < zun::WireHeader::kSize + header->totalLength)
        return {};
    meta = header->meta;
    const auto start = stream.begin() + zun::WireHeader::kSize;
    return {start, start + header->totalLength};
}

double codecDecodeFps(const zun::FrameMeta &meta, const std::vector<uint8_t> &payload, double seconds)
{
    zun::JpegCodec codec;
    std::vector<uint8_t> out(zun::byteSize(meta.format));
    int frames = 0;
    const auto start = Clock::now();
    while (secondsSince(start) < seconds || frames == 0) {
        if (!codec.decode(payload, meta.format, meta.jpegLayout, out.data()))
            return 0;
        ++frames;
    }
    return frames / secondsSince(start);
}

struct DecoderRate {
    double fps = 0;
    uint64_t dropped = 0;
    double cpuMsPerFrame = 0;
};

// The recording sent over and over to a TCP decoder as fast as it takes it; the reader locks
// and unlocks every frame.
DecoderRate decoderRate(const StreamFormat &format, const std::vector<uint8_t> &stream, double seconds)
{
    DecoderRate rate;
    const uint32_t decoder = zunGetDecoder(ZUN_PROTOCOL_TCP, &format);
    if (!decoder || !zunSetSourceAddress(decoder, kDecoderPort)) {
        zunDeleteDecoder(decoder);
        return rate;
    }
    const int feeder = ::socket(AF_INET, SOCK_STREAM, 0);
    const auto addr = loopback(kDecoderPort);
    std::atomic<bool> stop{false};
    std::jthread feed;
    if (::connect(feeder, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0) {
        feed = std::jthread([&] {
            while (!stop) {
                size_t sent = 0;
                while (sent < stream.size()) {
                    const ssize_t n = ::send(feeder, stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
                    if (n <= 0)
                        return;
                    sent += size_t(n);
                }
            }
        });
    }
    const auto readOne = [decoder] {
        if (!zunLockReadBuffer(decoder, 0))
            return false;
        zunUnlockReadBuffer(decoder);
        return true;
    };
    const auto pause = [] { std::this_thread::sleep_for(100us); }; // a spinning reader takes a decoding core
    const auto warmUpEnd = Clock::now() + 3s;
    int warm = 0;
    while (warm < 2 * kRecordedFrames && Clock::now() < warmUpEnd)
        readOne() ? void(++warm) : pause();
    if (warm == 2 * kRecordedFrames) {
        ZunStreamStats before{}, after{};
        zunGetStreamStats(decoder, &before);
        const double cpu = processCpuSeconds();
        uint64_t frames = 0;
        const auto start = Clock::now();
        while (secondsSince(start) < seconds)
            readOne() ? void(++frames) : pause();
        rate.fps = frames / secondsSince(start);
        rate.cpuMsPerFrame = frames ? (processCpuSeconds() - cpu) * 1e3 / double(frames) : 0;
        zunGetStreamStats(decoder, &after);
        rate.dropped = after.framesDropped - before.framesDropped;
    }
    stop = true;
    ::shutdown(feeder, SHUT_RDWR);
    if (feed.joinable())
        feed.join();
    ::close(feeder);
    zunDeleteDecoder(decoder);
    return rate;
}

} // namespace

void runJpegDecodeBench(const Options &options)
{
    const StreamFormat format{1920, 1080, 1, 1};
    const auto picture = linePicture(format, 400);
    const int quality = zun::JpegCodec::qualityForLevel(kLevel);
    const auto stream = recordStream(format, picture);
    zun::FrameMeta meta;
    const auto payload = firstPayload(stream, meta);
    if (payload.empty() || !meta.compressed) {
        std::printf("\nJPEG decode: FAILED (recording the encoder's stream)\n");
        return;
    }
    const double seconds = std::min(options.seconds, 2.0);
    double turbo = 0, codec = 0;
    DecoderRate best;
    for (int round = 0; round < options.rounds; ++round) {
        turbo = std::max(turbo, turboJpegRates(format, picture, quality, seconds).decodeFps);
        codec = std::max(codec, codecDecodeFps(meta, payload, seconds));
        const DecoderRate next = decoderRate(format, stream, seconds);
        if (next.fps > best.fps)
            best = next;
    }
    std::printf("\nJPEG decode, 1920x1080 RGB888 level %u (%zu KB a frame, %u strips), %u cores, best of %d\n",
                kLevel, payload.size() / 1000, zun::JpegCodec::stripCountFor(format),
                std::max(1u, std::thread::hardware_concurrency()), options.rounds);
    std::printf("  TurboJPEG, one thread                 %7.1f fps\n", turbo);
    std::printf("  codec, strips on the worker pool      %7.1f fps  %.2fx one thread\n", codec, codec / turbo);
    std::printf("  TCP decoder, a reader locking each    %7.1f fps  %.2fx one thread, %.2f of the codec; "
                "%llu dropped, %.2f ms CPU a frame%s\n",
                best.fps, best.fps / turbo, codec > 0 ? best.fps / codec : 0,
                static_cast<unsigned long long>(best.dropped), best.cpuMsPerFrame,
                best.fps / turbo >= kGoal ? "" : "  BELOW GOAL");
    std::printf("closing note: load average %.2f; decoder %.2fx TurboJPEG's one-thread rate (goal %.1fx)\n",
                loadAverage(), best.fps / turbo, kGoal);
}

} // namespace bench
