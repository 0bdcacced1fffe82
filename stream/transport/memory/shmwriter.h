#pragma once

#include "frame.h"
#include "transport/memory/shmsegment.h"

#include <cstdint>
#include <memory>

namespace zun {

namespace shm { struct SegmentHeader; struct SlotHeader; }

// The encoder's side of a "Local (Memory)" port: owns the port's segment and writes
// frames straight into its slots.
//
// One live encoder per port: while one holds the port, another is refused. The segment
// of an encoder that died is taken over by the next one; its readers move across.
class ShmWriter {
public:
    enum class OpenResult { Ok, PortTaken, Failed };

    static std::unique_ptr<ShmWriter> open(uint16_t port, uint64_t slotCapacity, uint32_t streamId,
                                           OpenResult &result);
    // Closes the segment to its readers and removes its name.
    ~ShmWriter();
    ShmWriter(const ShmWriter &) = delete;
    ShmWriter &operator=(const ShmWriter &) = delete;

    uint64_t capacity() const { return mCapacity; }

    // A slot no reader holds, claimed for the next frame; null when every slot is pinned.
    uint8_t *beginFrame();
    // Publishes the claimed slot to readers.
    void publishFrame(const FrameMeta &meta, uint32_t payloadSize);

private:
    ShmWriter() = default;
    bool isPinned(uint32_t slot) const;
    // Clears the pins of readers that hold this slot and no longer live.
    void releaseDeadReaders(uint32_t slotIndex);
    shm::SlotHeader &slot(uint32_t index) const;

    ShmSegment mSegment;
    std::string mName;
    shm::SegmentHeader *mHeader = nullptr;
    uint64_t mCapacity = 0;
    uint64_t mNextFrame = 1;
    uint32_t mKindCount[2] = {0, 0};
    int mClaimed = -1;
};

} // namespace zun
