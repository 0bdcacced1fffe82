#include "recordingstream.h"

#include <deque>
#include <mutex>

namespace recording {
namespace {

struct QueuedFrame {
    StreamFormat format;
    std::vector<uint8_t> pixels;
    uint32_t compressedSize;
};

struct State {
    std::mutex mutex;
    std::vector<Call> calls;
    uint32_t encoderResult = 1;
    uint32_t decoderResult = 2;
    std::deque<QueuedFrame> queue;
    QueuedFrame locked{};
    bool haveLocked = false;
    uint32_t lastCompressedSize = 0;
    uint64_t emptyPolls = 0;
    uint32_t byteSizeShortfall = 0;
};

State &state()
{
    static State instance;
    return instance;
}

void record(std::string name, std::vector<int64_t> args, const StreamFormat *format = nullptr,
            std::string text = {})
{
    Call call{std::move(name), std::move(args), std::move(text), {}};
    if (format)
        call.format = *format;
    state().calls.push_back(std::move(call));
}

int64_t present(const void *pointer)
{
    return pointer ? 1 : 0;
}

uint32_t paddedByteSize(const StreamFormat &format)
{
    static const uint32_t bytesPerPixel[] = {2, 3, 4, 1};
    if (format.depth > 3)
        return 0;
    const uint32_t row = (uint32_t(format.width) * bytesPerPixel[format.depth] + 3u) & ~3u;
    return row * format.height;
}

} // namespace

std::vector<Call> calls()
{
    std::lock_guard lock(state().mutex);
    return state().calls;
}

std::vector<std::string> callNames()
{
    std::vector<std::string> names;
    for (const Call &call : calls())
        names.push_back(call.name);
    return names;
}

void reset()
{
    std::lock_guard lock(state().mutex);
    State &s = state();
    s.calls.clear();
    s.encoderResult = 1;
    s.decoderResult = 2;
    s.queue.clear();
    s.haveLocked = false;
    s.lastCompressedSize = 0;
    s.emptyPolls = 0;
    s.byteSizeShortfall = 0;
}

void note(std::string name)
{
    std::lock_guard lock(state().mutex);
    record(std::move(name), {});
}

void setByteSizeShortfall(uint32_t bytes)
{
    std::lock_guard lock(state().mutex);
    state().byteSizeShortfall = bytes;
}

void setEncoderResult(uint32_t handle)
{
    std::lock_guard lock(state().mutex);
    state().encoderResult = handle;
}

void setDecoderResult(uint32_t handle)
{
    std::lock_guard lock(state().mutex);
    state().decoderResult = handle;
}

void queueFrame(const StreamFormat &format, std::vector<uint8_t> pixels, uint32_t compressedSize)
{
    std::lock_guard lock(state().mutex);
    state().queue.push_back({format, std::move(pixels), compressedSize});
}

size_t queuedFrames()
{
    std::lock_guard lock(state().mutex);
    return state().queue.size();
}

uint64_t emptyPolls()
{
    std::lock_guard lock(state().mutex);
    return state().emptyPolls;
}

} // namespace recording

using recording::present;
using recording::record;
using recording::state;

extern "C" {

uint32_t zunGetByteSize(const StreamFormat *format)
{
    std::lock_guard lock(state().mutex);
    record("zunGetByteSize", {present(format)}, format);
    if (!format)
        return 0;
    const uint32_t size = recording::paddedByteSize(*format);
    return size > state().byteSizeShortfall ? size - state().byteSizeShortfall : 0;
}

uint32_t zunGetEncoder(uint32_t protocol, const StreamFormat *format)
{
    std::lock_guard lock(state().mutex);
    record("zunGetEncoder", {protocol, present(format)}, format);
    return state().encoderResult;
}

int32_t zunSetDestFormat(uint32_t encoder, const StreamFormat *format, uint32_t compressed,
                         uint32_t level)
{
    std::lock_guard lock(state().mutex);
    record("zunSetDestFormat", {encoder, present(format), compressed, level}, format);
    return 1;
}

int32_t zunSetDestAddress(uint32_t encoder, const char *address, uint32_t port)
{
    std::lock_guard lock(state().mutex);
    record("zunSetDestAddress", {encoder, present(address), port}, nullptr, address ? address : "");
    return 1;
}

int32_t zunEncode(uint32_t encoder, const void *pixels)
{
    std::lock_guard lock(state().mutex);
    record("zunEncode", {encoder, present(pixels)});
    return 1;
}

int32_t zunDeleteEncoder(uint32_t encoder)
{
    std::lock_guard lock(state().mutex);
    record("zunDeleteEncoder", {encoder});
    return 1;
}

uint32_t zunGetDecoder(uint32_t protocol, const StreamFormat *requested)
{
    std::lock_guard lock(state().mutex);
    record("zunGetDecoder", {protocol, present(requested)}, requested);
    return state().decoderResult;
}

int32_t zunSetSourceAddress(uint32_t decoder, uint32_t port)
{
    std::lock_guard lock(state().mutex);
    record("zunSetSourceAddress", {decoder, port});
    return 1;
}

int32_t zunSetAdaptiveBuffer(uint32_t decoder, uint32_t adaptive)
{
    std::lock_guard lock(state().mutex);
    record("zunSetAdaptiveBuffer", {decoder, adaptive});
    return 1;
}

const void *zunLockReadBuffer(uint32_t decoder, uint32_t flags)
{
    std::lock_guard lock(state().mutex);
    auto &s = state();
    if (!s.haveLocked) {
        if (s.queue.empty()) {
            ++s.emptyPolls;
            return nullptr;
        }
        s.locked = std::move(s.queue.front());
        s.queue.pop_front();
        s.haveLocked = true;
        s.lastCompressedSize = s.locked.compressedSize;
    }
    record("zunLockReadBuffer", {decoder, flags});
    return s.locked.pixels.data();
}

int32_t zunUnlockReadBuffer(uint32_t decoder)
{
    std::lock_guard lock(state().mutex);
    record("zunUnlockReadBuffer", {decoder});
    // The frame's description stays readable after the unlock, as the library's does.
    const bool had = state().haveLocked;
    state().haveLocked = false;
    return had ? 1 : 0;
}

int32_t zunGetRecvFrameInfo(uint32_t decoder, ZunFrameInfo *info)
{
    std::lock_guard lock(state().mutex);
    record("zunGetRecvFrameInfo", {decoder, present(info)});
    if (!info)
        return 0;
    const StreamFormat &format = state().locked.format;
    *info = ZunFrameInfo{info->size, format.width, format.height, format.depth, format.orientation, 0, 0,
                         state().locked.compressedSize, 0};
    return 1;
}

uint32_t zunGetCompressedFrameSize(uint32_t decoder)
{
    std::lock_guard lock(state().mutex);
    record("zunGetCompressedFrameSize", {decoder});
    return state().lastCompressedSize;
}

int32_t zunGetStreamStats(uint32_t handle, ZunStreamStats *stats)
{
    std::lock_guard lock(state().mutex);
    record("zunGetStreamStats", {handle, present(stats)});
    if (stats)
        *stats = {};
    return stats ? 1 : 0;
}

int32_t zunDeleteDecoder(uint32_t decoder)
{
    std::lock_guard lock(state().mutex);
    record("zunDeleteDecoder", {decoder});
    return 1;
}

} // extern "C"
