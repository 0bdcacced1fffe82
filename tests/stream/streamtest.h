#pragma once

// Helpers for tests that stream through the C API.

#include "framepattern.h"
#include "zunVidStreamLib2.h"

#include <sys/mman.h>

#include <chrono>
#include <string>
#include <thread>

namespace zuntest {

constexpr uint32_t kMemory = ZUN_PROTOCOL_MEMORY;

// Owns an encoder or decoder handle.
class Encoder {
public:
    Encoder(const StreamFormat &format, uint32_t port, uint32_t compressed = 0, uint32_t level = 15,
            uint32_t protocol = kMemory)
        : mHandle(zunGetEncoder(protocol, &format))
    {
        if (mHandle) {
            zunSetDestFormat(mHandle, &format, compressed, level);
            mAddressed = zunSetDestAddress(mHandle, "127.0.0.1", port) == 1;
        }
    }
    ~Encoder() { reset(); }
    Encoder(const Encoder &) = delete;
    Encoder &operator=(const Encoder &) = delete;
    void reset()
    {
        if (mHandle)
            zunDeleteEncoder(mHandle);
        mHandle = 0;
    }
    uint32_t handle() const { return mHandle; }
    bool addressed() const { return mAddressed; }
    bool encode(const void *pixels)
    {
        const bool ok = zunEncode(mHandle, pixels) == 1;
        mCount += ok;
        return ok;
    }
    // Sends the test picture of the frame number the library gives this frame.
    bool encodePattern(const StreamFormat &format) { return encode(makeFrame(format, mCount).data()); }

private:
    uint32_t mHandle;
    bool mAddressed = false;
    uint32_t mCount = 0;
};

class Decoder {
public:
    explicit Decoder(uint32_t port, bool adaptive = false, uint32_t protocol = kMemory)
    {
        const StreamFormat hint{64, 48, 1, 1};
        mHandle = zunGetDecoder(protocol, &hint);
        if (adaptive)
            zunSetAdaptiveBuffer(mHandle, 1);
        zunSetSourceAddress(mHandle, port);
    }
    ~Decoder() { reset(); }
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;
    void reset()
    {
        if (mHandle)
            zunDeleteDecoder(mHandle);
        mHandle = 0;
    }
    uint32_t handle() const { return mHandle; }

    // Polls as the tool does, 1 ms apart; null when nothing came within the time.
    const uint8_t *waitLock(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000))
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (const void *p = zunLockReadBuffer(mHandle, 0))
                return static_cast<const uint8_t *>(p);
            if (std::chrono::steady_clock::now() > end)
                return nullptr;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void unlock() { zunUnlockReadBuffer(mHandle); }
    StreamFormat format() const
    {
        return {uint16_t(zunGetRecvWidth(mHandle)), uint16_t(zunGetRecvHeight(mHandle)),
                uint16_t(zunGetRecvDepth(mHandle)), uint16_t(zunGetRecvOrientation(mHandle))};
    }
    uint32_t frameNumber() const { return zunGetRecvFrameNumber(mHandle); }
    ZunStreamStats stats() const
    {
        ZunStreamStats s{};
        zunGetStreamStats(mHandle, &s);
        return s;
    }

private:
    uint32_t mHandle = 0;
};

// Removes what a killed encoder left on a port.
inline void removeSegment(uint32_t port)
{
    shm_unlink(("/zunVidStream-" + std::to_string(port)).c_str());
}

inline bool sameFormat(const StreamFormat &a, const StreamFormat &b)
{
    return a.width == b.width && a.height == b.height && a.depth == b.depth;
}

} // namespace zuntest
