#pragma once

#include "decodepipeline.h"
#include "framesource.h"
#include "handle.h"
#include "readbuffer.h"
#include "sourcemonitor.h"
#include "zunVidStreamLib2.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

namespace zun {

struct SourceAddress;

// Decodes what its source receives into a read buffer; the reader locks one frame at a
// time. Raw frames the source keeps (shared memory's) are not copied: the lock pins them.
// JPEG frames decode on the worker pool while the source receives the next.
class Decoder : public Handle {
public:
    static std::shared_ptr<Decoder> make(uint32_t protocol, const StreamFormat &requested);
    ~Decoder() override;

    bool setSource(uint32_t port);
    // Protocol 1 only: "239.1.2.3" or "239.1.2.3@192.168.1.5" instead of the stream's group.
    bool setSourceGroup(const std::string &group, uint32_t port);
    void setAdaptive(bool adaptive);
    // Never waits: the locked frame, the next one, or null.
    const uint8_t *lock();
    bool unlock();

    struct Info {
        FrameMeta meta;
        uint32_t carriedBytes = 0;
    };
    // Of the locked or last locked frame; all zero before the first.
    Info info() const;
    ZunStreamStats stats() const;
    ZunRepairStats repairStats() const;
    ZunReceiveStats receiveStats() const;
    ZunStatus status() const { return mMonitor.snapshot(); }

protected:
    void release() override;

private:
    explicit Decoder(const StreamFormat &requested);
    SourceContext context();
    // The old source goes first, so its port is free for the new one.
    bool follow(const SourceAddress &where);
    // Stops the current source; what it counted stays in the totals.
    void retireSource();
    // Of the current source and those it replaced.
    SourceCounters sourceCounters() const;
    void decodeInto(const FrameMeta &meta, std::span<const uint8_t> payload, Bytes *rawPayload);
    void releaseLocked();

    uint32_t mProtocol = 0;
    SourceMonitor mMonitor;
    ReadBuffer mBuffer;
    std::atomic<bool> mAdaptive{false};

    mutable std::mutex mMutex; // what the reader's calls share with the source's thread
    bool mLocked = false;
    std::unique_ptr<DecodedFrame> mLockedFrame;
    std::unique_ptr<PinnedFrame> mLockedPin;
    Info mInfo;

    // Changed by the calls that change the decoder; read by stats, which never waits for them.
    mutable std::mutex mSourceMutex;
    std::unique_ptr<FrameSource> mSource;
    SourceCounters mRetired; // of sources replaced

    std::atomic<uint64_t> mDelivered{0};
    std::atomic<uint64_t> mBytes{0};
    std::atomic<uint64_t> mUndecodable{0};
    // After what it delivers to, so that it drains first.
    DecodePipeline mPipeline{mBuffer, mMonitor};
};

} // namespace zun
