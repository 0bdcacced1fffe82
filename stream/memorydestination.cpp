#include "memorydestination.h"

#include "format.h"

#include <cerrno>

namespace zun {

MemoryDestination::MemoryDestination(const StreamFormat &format, uint32_t streamId)
    : mFormat(format), mStreamId(streamId)
{
}

bool MemoryDestination::setDestination(const std::string &, uint16_t port)
{
    if (mShm && mPort == port)
        return true;
    mShm.reset();
    mPort = port;
    return open();
}

bool MemoryDestination::setFormat(const StreamFormat &format)
{
    mFormat = format;
    if (!mShm || mShm->capacity() >= maxPayloadSize(format, true))
        return true;
    mShm.reset();
    return open();
}

bool MemoryDestination::open()
{
    ShmWriter::OpenResult result{};
    mShm = ShmWriter::open(mPort, maxPayloadSize(mFormat, true), mStreamId, result);
    const int error = errno;
    const std::string where = portText("memory", mPort);
    mStatus.restart(ZUN_STATE_SENDING);
    if (result == ShmWriter::OpenResult::PortTaken)
        mStatus.fail(EBUSY, where + ": held by another encoder");
    else if (!mShm)
        mStatus.fail(error, where + ": " + errorText(error));
    return mShm != nullptr;
}

uint8_t *MemoryDestination::reserve(size_t size)
{
    uint8_t *slot = mShm && size <= mShm->capacity() ? mShm->beginFrame() : nullptr;
    if (!slot)
        ++mDropped; // every slot held by readers
    mReserved = size;
    return slot;
}

void MemoryDestination::commit(const FrameMeta &meta)
{
    mShm->publishFrame(meta, uint32_t(mReserved));
    ++mSent;
    mBytes += mReserved;
}

DestinationCounters MemoryDestination::counters() const
{
    return {mSent.load(), mDropped.load(), mBytes.load()};
}

} // namespace zun
