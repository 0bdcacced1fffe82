// The C entry points: look the handle up, call into it, and let nothing escape.

#include "zunVidStreamLib2.h"

#include "decoder.h"
#include "encoder.h"
#include "format.h"
#include "handleregistry.h"
#include "log.h"

#include <algorithm>
#include <cstring>
#include <string>

using zun::Decoder;
using zun::Encoder;
using zun::HandleRegistry;

// The header states the version CMake's project() gives; a release changes both or neither.
static_assert(ZUN_VERSION_MAJOR == ZUN_PROJECT_VERSION_MAJOR && ZUN_VERSION_MINOR == ZUN_PROJECT_VERSION_MINOR
                  && ZUN_VERSION_PATCH == ZUN_PROJECT_VERSION_PATCH,
              "zunVidStreamLib2.h's ZUN_VERSION_* must match the project version in CMakeLists.txt");

namespace {

constexpr uint32_t kFirstFrameInfoSize = 32;

bool isProtocol(uint32_t protocol)
{
    return protocol == ZUN_PROTOCOL_UDP || protocol == ZUN_PROTOCOL_TCP
        || protocol == ZUN_PROTOCOL_MEMORY;
}

// For the calls that only read: never wait for a changing call.
template <class T, class R, class F>
R withHandle(uint32_t id, R failure, F &&call) noexcept
{
    try {
        if (auto handle = HandleRegistry::instance().find<T>(id))
            return call(*handle);
    } catch (...) {
    }
    return failure;
}

// For the readers that take an encoder or a decoder alike; false for a bad handle.
template <class F>
bool withEither(uint32_t id, F &&call) noexcept
{
    auto callOn = [&](auto &h) {
        call(h);
        return true;
    };
    return withHandle<Encoder>(id, false, callOn) || withHandle<Decoder>(id, false, callOn);
}

// For the calls that change a handle: one at a time per handle, none once it is deleted.
template <class T, class R, class F>
R changeHandle(uint32_t id, R failure, F &&call) noexcept
{
    try {
        if (auto handle = HandleRegistry::instance().find<T>(id))
            return handle->change(failure, [&] { return call(*handle); });
    } catch (...) {
    }
    return failure;
}

template <class T>
int32_t deleteHandle(uint32_t id) noexcept
{
    try {
        auto &registry = HandleRegistry::instance();
        if (!registry.find<T>(id))
            return 0;
        auto handle = registry.remove(id);
        if (!handle)
            return 0; // deleted meanwhile by another thread
        handle->close();
        return 1;
    } catch (...) {
        return 0;
    }
}

} // namespace

extern "C" {

ZUN_API uint32_t zunGetVersion(void)
{
    return ZUN_VERSION_NUMBER;
}

ZUN_API uint32_t zunGetByteSize(const StreamFormat *format)
{
    return format ? zun::byteSize(*format) : 0;
}

ZUN_API uint32_t zunGetEncoder(uint32_t protocol, const StreamFormat *format)
{
    try {
        if (!format || !isProtocol(protocol))
            return 0;
        auto encoder = Encoder::make(protocol, *format);
        return encoder ? HandleRegistry::instance().add(std::move(encoder)) : 0;
    } catch (...) {
        return 0;
    }
}

ZUN_API int32_t zunSetDestFormat(uint32_t encoder, const StreamFormat *format, uint32_t compressed,
                                 uint32_t level)
{
    if (!format)
        return 0;
    return changeHandle<Encoder>(encoder, int32_t(0), [&](Encoder &e) {
        return int32_t(e.setFormat(*format, compressed != 0, level));
    });
}

ZUN_API int32_t zunSetDestAddress(uint32_t encoder, const char *address, uint32_t port)
{
    if (!address)
        return 0;
    return changeHandle<Encoder>(encoder, int32_t(0), [&](Encoder &e) {
        return int32_t(e.setDestination(std::string(address), port));
    });
}

ZUN_API int32_t zunEncode(uint32_t encoder, const void *pixels)
{
    if (!pixels)
        return 0;
    return changeHandle<Encoder>(encoder, int32_t(0), [&](Encoder &e) {
        return int32_t(e.encode(static_cast<const uint8_t *>(pixels)));
    });
}

ZUN_API int32_t zunSetPacingRate(uint32_t encoder, uint64_t bytesPerSecond)
{
    return changeHandle<Encoder>(encoder, int32_t(0),
                                 [&](Encoder &e) { return int32_t(e.setPacingRate(bytesPerSecond)); });
}

ZUN_API int32_t zunDeleteEncoder(uint32_t encoder)
{
    return deleteHandle<Encoder>(encoder);
}

ZUN_API uint32_t zunGetDecoder(uint32_t protocol, const StreamFormat *requested)
{
    try {
        if (!requested || !isProtocol(protocol))
            return 0;
        auto decoder = Decoder::make(protocol, *requested);
        return decoder ? HandleRegistry::instance().add(std::move(decoder)) : 0;
    } catch (...) {
        return 0;
    }
}

ZUN_API int32_t zunSetSourceAddress(uint32_t decoder, uint32_t port)
{
    return changeHandle<Decoder>(decoder, int32_t(0),
                               [&](Decoder &d) { return int32_t(d.setSource(port)); });
}

ZUN_API int32_t zunSetSourceGroup(uint32_t decoder, const char *group, uint32_t port)
{
    if (!group)
        return 0;
    return changeHandle<Decoder>(decoder, int32_t(0), [&](Decoder &d) {
        return int32_t(d.setSourceGroup(std::string(group), port));
    });
}

ZUN_API int32_t zunSetAdaptiveBuffer(uint32_t decoder, uint32_t adaptive)
{
    return changeHandle<Decoder>(decoder, int32_t(0), [&](Decoder &d) {
        d.setAdaptive(adaptive != 0);
        return int32_t(1);
    });
}

ZUN_API const void *zunLockReadBuffer(uint32_t decoder, uint32_t flags)
{
    if (flags != 0)
        return nullptr; // refused now, so a flag defined later cannot be mistaken for none
    return changeHandle<Decoder>(decoder, static_cast<const void *>(nullptr),
                               [&](Decoder &d) { return static_cast<const void *>(d.lock()); });
}

ZUN_API int32_t zunUnlockReadBuffer(uint32_t decoder)
{
    return changeHandle<Decoder>(decoder, int32_t(0), [&](Decoder &d) { return int32_t(d.unlock()); });
}

ZUN_API uint32_t zunGetRecvWidth(uint32_t decoder)
{
    return withHandle<Decoder>(decoder, uint32_t(0),
                               [&](Decoder &d) { return uint32_t(d.info().meta.format.width); });
}

ZUN_API uint32_t zunGetRecvHeight(uint32_t decoder)
{
    return withHandle<Decoder>(decoder, uint32_t(0),
                               [&](Decoder &d) { return uint32_t(d.info().meta.format.height); });
}

ZUN_API uint32_t zunGetRecvDepth(uint32_t decoder)
{
    return withHandle<Decoder>(decoder, uint32_t(0),
                               [&](Decoder &d) { return uint32_t(d.info().meta.format.depth); });
}

ZUN_API uint32_t zunGetRecvOrientation(uint32_t decoder)
{
    return withHandle<Decoder>(decoder, uint32_t(0), [&](Decoder &d) {
        return uint32_t(d.info().meta.format.orientation);
    });
}

ZUN_API uint32_t zunGetRecvFrameNumber(uint32_t decoder)
{
    return withHandle<Decoder>(decoder, uint32_t(0),
                               [&](Decoder &d) { return d.info().meta.frameNumber; });
}

ZUN_API uint64_t zunGetRecvSendTime(uint32_t decoder)
{
    return withHandle<Decoder>(decoder, uint64_t(0),
                               [&](Decoder &d) { return d.info().meta.sendTimeNs; });
}

ZUN_API int32_t zunGetRecvFrameInfo(uint32_t decoder, ZunFrameInfo *info)
{
    if (!info || info->size < kFirstFrameInfoSize)
        return 0;
    return withHandle<Decoder>(decoder, int32_t(0), [&](Decoder &d) {
        const Decoder::Info got = d.info();
        ZunFrameInfo filled{};
        filled.size = info->size;
        filled.width = got.meta.format.width;
        filled.height = got.meta.format.height;
        filled.depth = got.meta.format.depth;
        filled.orientation = got.meta.format.orientation;
        filled.frameNumber = got.meta.frameNumber;
        filled.sendTimeNs = got.meta.sendTimeNs;
        filled.payloadBytes = got.carriedBytes;
        filled.jpeg = got.meta.compressed ? 1 : 0;
        // A caller built against an older, shorter record gets only what fits in it.
        std::memcpy(info, &filled, std::min<size_t>(info->size, sizeof filled));
        return int32_t(1);
    });
}

ZUN_API uint32_t zunGetCompressedFrameSize(uint32_t decoder)
{
    return withHandle<Decoder>(decoder, uint32_t(0),
                               [&](Decoder &d) { return d.info().carriedBytes; });
}

ZUN_API int32_t zunGetStreamStats(uint32_t handle, ZunStreamStats *stats)
{
    return stats && withEither(handle, [&](auto &h) { *stats = h.stats(); }) ? 1 : 0;
}

ZUN_API int32_t zunGetStatus(uint32_t handle, ZunStatus *status)
{
    return status && withEither(handle, [&](auto &h) { *status = h.status(); }) ? 1 : 0;
}

ZUN_API int32_t zunSetRedundancy(uint32_t encoder, uint32_t percent)
{
    return changeHandle<Encoder>(encoder, int32_t(0),
                                 [&](Encoder &e) { return e.setRedundancy(percent) ? 1 : 0; });
}

ZUN_API int32_t zunGetRepairStats(uint32_t decoder, ZunRepairStats *stats)
{
    return stats && withHandle<Decoder>(decoder, false, [&](Decoder &d) {
        *stats = d.repairStats();
        return true;
    }) ? 1 : 0;
}

ZUN_API int32_t zunGetReceiveStats(uint32_t decoder, ZunReceiveStats *stats)
{
    return stats && withHandle<Decoder>(decoder, false, [&](Decoder &d) {
        *stats = d.receiveStats();
        return true;
    }) ? 1 : 0;
}

ZUN_API int32_t zunDeleteDecoder(uint32_t decoder)
{
    return deleteHandle<Decoder>(decoder);
}

ZUN_API void zunSetLogHandler(ZunLogHandler handler, void *user)
{
    try {
        zun::setLogHandler(handler, user);
    } catch (...) {
    }
}

} // extern "C"
