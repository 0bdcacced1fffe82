#include "transport/udp/socketdrain.h"

#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>

#ifndef UDP_GRO
#define UDP_GRO 104
#endif

namespace zun {
namespace {

constexpr uint32_t kWrap = 1; // the rest of the ring is unused; go on at its start
constexpr uint32_t kTruncated = 2;
// Short enough that deleting a decoder stays quick, long enough to cost nothing idle.
constexpr int kPollMs = 20;

constexpr size_t roundUp(size_t bytes, size_t to)
{
    return (bytes + to - 1) / to * to;
}

struct Received {
    ssize_t length = -1;
    size_t segment = 0;
    bool truncated = false;
};

Received receiveInto(int fd, uint8_t *to, size_t room, sockaddr_in &from, std::atomic<uint32_t> &kernelDropped)
{
    iovec part{to, room};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int)) + CMSG_SPACE(sizeof(uint32_t))];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    Received got;
    got.length = ::recvmsg(fd, &message, 0);
    if (got.length < 0)
        return got;
    got.truncated = (message.msg_flags & MSG_TRUNC) != 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
            int size = 0;
            std::memcpy(&size, CMSG_DATA(c), sizeof size);
            if (size > 0 && size_t(size) < size_t(got.length))
                got.segment = size_t(size);
        } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
            uint32_t dropped = 0;
            std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
            kernelDropped.store(dropped, std::memory_order_relaxed);
        }
    }
    return got;
}

} // namespace

SocketDrain::SocketDrain(int fd, size_t ringBytes)
    : mFd(fd), mRing(roundUp(std::max(ringBytes, 4 * (kRecordSpace + kMaxMessage)), kRecordSpace)),
      mDiscard(kMaxMessage)
{
    // The vector has written every byte: no page of the ring faults in while datagrams pour in.
    mThread = std::jthread([this](std::stop_token stop) { run(stop); });
}

void SocketDrain::run(std::stop_token stop)
{
    while (!stop.stop_requested()) {
        if (drainOne())
            continue;
        pollfd pfd{mFd, POLLIN, 0};
        ::poll(&pfd, 1, kPollMs);
    }
}

bool SocketDrain::drainOne()
{
    const size_t capacity = mRing.size();
    uint64_t head = mHead.load(std::memory_order_relaxed);
    const uint64_t used = head - mTail.load(std::memory_order_acquire);
    const size_t at = size_t(head % capacity);
    // A message needs its room in one piece; records are aligned, so a wrap mark always fits.
    const size_t skip = capacity - at < kRecordSpace + kMaxMessage ? capacity - at : 0;
    sockaddr_in from{};
    if (used + skip + kRecordSpace + kMaxMessage > capacity) {
        const Received got = receiveInto(mFd, mDiscard.data(), mDiscard.size(), from, mKernelDropped);
        if (got.length < 0)
            return false;
        const uint64_t datagrams = got.segment ? (size_t(got.length) + got.segment - 1) / got.segment : 1;
        mRingDropped.fetch_add(datagrams, std::memory_order_relaxed);
        return true;
    }
    if (skip) {
        const Record wrap{0, 0, kWrap, {}};
        std::memcpy(mRing.data() + at, &wrap, sizeof wrap);
        head += skip;
    }
    uint8_t *record = mRing.data() + size_t(head % capacity);
    const Received got = receiveInto(mFd, record + kRecordSpace, kMaxMessage, from, mKernelDropped);
    if (got.length < 0) {
        if (skip)
            publish(head);
        return false;
    }
    const Record written{uint32_t(got.length), uint32_t(got.segment), got.truncated ? kTruncated : 0, from};
    std::memcpy(record, &written, sizeof written);
    publish(head + roundUp(kRecordSpace + size_t(got.length), kRecordSpace));
    return true;
}

void SocketDrain::publish(uint64_t head)
{
    mHead.store(head, std::memory_order_seq_cst);
    // Either the reader sees the new head before it sleeps, or it is seen waiting here.
    if (mReaderWaiting.load(std::memory_order_seq_cst)) {
        { std::lock_guard lock(mWaitMutex); }
        mWake.notify_one();
    }
}

bool SocketDrain::peek(Message &message)
{
    const size_t capacity = mRing.size();
    uint64_t tail = mTail.load(std::memory_order_relaxed);
    for (;;) {
        if (tail == mHead.load(std::memory_order_acquire))
            return false;
        const size_t at = size_t(tail % capacity);
        Record record;
        std::memcpy(&record, mRing.data() + at, sizeof record);
        if (record.flags & kWrap) {
            tail += capacity - at;
            mTail.store(tail, std::memory_order_release);
            continue;
        }
        message.bytes = {mRing.data() + at + kRecordSpace, record.length};
        message.segment = record.segment;
        message.truncated = (record.flags & kTruncated) != 0;
        message.from = record.from;
        return true;
    }
}

void SocketDrain::pop()
{
    const uint64_t tail = mTail.load(std::memory_order_relaxed);
    if (tail == mHead.load(std::memory_order_acquire))
        return;
    Record record;
    std::memcpy(&record, mRing.data() + size_t(tail % mRing.size()), sizeof record);
    mTail.store(tail + roundUp(kRecordSpace + record.length, kRecordSpace), std::memory_order_release);
}

bool SocketDrain::wait(uint64_t timeoutNs)
{
    std::unique_lock lock(mWaitMutex);
    mReaderWaiting.store(true, std::memory_order_seq_cst);
    const bool came = mWake.wait_for(lock, std::chrono::nanoseconds(timeoutNs), [this] {
        return mHead.load(std::memory_order_seq_cst) != mTail.load(std::memory_order_relaxed);
    });
    mReaderWaiting.store(false, std::memory_order_relaxed);
    return came;
}

} // namespace zun
