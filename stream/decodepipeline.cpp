#include "decodepipeline.h"

#include "format.h"
#include "sourcemonitor.h"
#include "workerpool.h"

#include <algorithm>

namespace zun {

DecodePipeline::DecodePipeline(ReadBuffer &buffer, SourceMonitor &monitor)
    : mBuffer(buffer), mMonitor(monitor)
{
}

DecodePipeline::~DecodePipeline()
{
    drain();
}

DecodePipeline::Slot *DecodePipeline::freeSlot(std::unique_lock<std::mutex> &lock)
{
    for (;;) {
        for (Slot &slot : mSlots)
            if (!slot.busy)
                return &slot;
        mChanged.wait(lock);
    }
}

void DecodePipeline::decode(const FrameMeta &meta, std::span<const uint8_t> payload,
                            Bytes *owned)
{
    if (!mPool)
        mPool = WorkerPool::shared();
    std::unique_lock lock(mMutex);
    Slot &slot = *freeSlot(lock);
    lock.unlock();
    // Until it is marked busy the slot is this thread's alone: workers touch busy slots only.
    if (owned) {
        slot.payload.swap(*owned);
        payload = slot.payload;
    }
    slot.frame = mBuffer.takeSpare();
    slot.frame->meta = meta;
    slot.frame->carriedBytes = uint32_t(payload.size());
    slot.frame->pixels.resize(byteSize(meta.format));
    const uint32_t strips = slot.codec.planDecode(payload, meta.format, meta.jpegLayout, slot.frame->pixels.data());
    if (strips == 0) {
        ++mUndecodable;
        mBuffer.recycle(std::move(slot.frame));
        return;
    }
    slot.failed = false;
    lock.lock();
    slot.busy = true;
    slot.done = false;
    mOrder.push_back({&slot, nullptr});
    lock.unlock();
    mPool->post(
        strips,
        [&slot](uint32_t i) {
            if (!slot.failed.load(std::memory_order_relaxed) && !slot.codec.decodeStrip(i))
                slot.failed = true;
        },
        [this, &slot] { finished(slot); });
    if (!owned)
        drain(); // the source takes its payload back when this returns
}

void DecodePipeline::pass(std::unique_ptr<DecodedFrame> frame)
{
    std::lock_guard lock(mMutex);
    mOrder.push_back({nullptr, std::move(frame)});
    deliverInOrder();
}

void DecodePipeline::finished(Slot &slot)
{
    std::lock_guard lock(mMutex);
    slot.done = true;
    deliverInOrder();
}

void DecodePipeline::deliverInOrder()
{
    bool freed = false;
    while (!mOrder.empty() && (!mOrder.front().slot || mOrder.front().slot->done)) {
        Entry entry = std::move(mOrder.front());
        mOrder.pop_front();
        if (!entry.slot) {
            deliver(std::move(entry.ready));
            continue;
        }
        Slot &slot = *entry.slot;
        if (slot.failed) {
            ++mUndecodable;
            mBuffer.recycle(std::move(slot.frame));
        } else {
            deliver(std::move(slot.frame));
        }
        slot.busy = false;
        freed = true;
    }
    // Under the lock: drain's caller may destroy this as soon as it sees the queue empty.
    if (freed || mOrder.empty())
        mChanged.notify_all();
}

void DecodePipeline::deliver(std::unique_ptr<DecodedFrame> frame)
{
    const StreamFormat format = frame->meta.format;
    mBuffer.push(std::move(frame));
    mMonitor.frameArrived();
    mMonitor.formatSeen(format);
}

void DecodePipeline::drain()
{
    std::unique_lock lock(mMutex);
    mChanged.wait(lock, [this] { return mOrder.empty(); });
}

} // namespace zun
