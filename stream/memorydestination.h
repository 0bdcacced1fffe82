#pragma once

#include "framedestination.h"
#include "status.h"
#include "transport/memory/shmwriter.h"

#include <atomic>
#include <memory>

namespace zun {

// Writes each frame straight into a slot of its port's shared memory, made for the largest
// payload of the format; a slot every reader holds drops the frame.
class MemoryDestination : public FrameDestination {
public:
    MemoryDestination(const StreamFormat &format, uint32_t streamId);

    // The address is not used.
    bool setDestination(const std::string &address, uint16_t port) override;
    // A segment made for smaller frames is made again; its readers follow.
    bool setFormat(const StreamFormat &format) override;
    uint8_t *reserve(size_t size) override;
    void commit(const FrameMeta &meta) override;
    ZunStatus status() const override { return mStatus.snapshot(); }
    DestinationCounters counters() const override;

private:
    bool open();

    StreamFormat mFormat;
    const uint32_t mStreamId;
    uint16_t mPort = 0;
    std::unique_ptr<ShmWriter> mShm;
    size_t mReserved = 0;
    Status mStatus;
    std::atomic<uint64_t> mSent{0};
    std::atomic<uint64_t> mDropped{0};
    std::atomic<uint64_t> mBytes{0};
};

} // namespace zun
