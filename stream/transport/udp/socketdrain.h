#pragma once

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace zun {

// Empties a UDP socket on a thread of its own into a ring of memory it made and touched
// once, for a receiver whose socket buffer holds too little to ride out a pause of the
// thread that reassembles: this thread does little else than sleep in poll, so it gets a
// core quickly when datagrams come. One reader takes the messages in order. When the ring
// is full, what comes is read and dropped, and counted, so neither side waits on the other.
class SocketDrain {
public:
    struct Message {
        std::span<const uint8_t> bytes;
        size_t segment = 0; // the kernel's coalesced segment size, 0 for one datagram
        bool truncated = false;
        sockaddr_in from{};
    };

    static constexpr size_t kMaxMessage = 65536;

    // fd is non-blocking and outlives this object; ringBytes is at least a few messages.
    SocketDrain(int fd, size_t ringBytes);
    SocketDrain(const SocketDrain &) = delete;
    SocketDrain &operator=(const SocketDrain &) = delete;

    // The oldest message not yet popped, or false when the ring is empty. Reader only.
    bool peek(Message &message);
    // Frees the message peek gave last.
    void pop();
    // Waits up to timeoutNs for a message; false when none came. Reader only.
    bool wait(uint64_t timeoutNs);

    // Datagrams the kernel dropped on the socket's full buffer, and those dropped here on
    // the full ring. Any thread.
    uint32_t droppedOnFullBuffer() const { return mKernelDropped.load(std::memory_order_relaxed); }
    uint64_t droppedOnFullRing() const { return mRingDropped.load(std::memory_order_relaxed); }
    size_t ringBytes() const { return mRing.size(); }

private:
    struct Record {
        uint32_t length;
        uint32_t segment;
        uint32_t flags;
        sockaddr_in from;
    };
    static constexpr size_t kRecordSpace = 32;
    static_assert(sizeof(Record) <= kRecordSpace);

    void run(std::stop_token stop);
    // One message off the socket into the ring, or dropped; false when none was waiting.
    bool drainOne();
    void publish(uint64_t head);

    int mFd;
    std::vector<uint8_t> mRing;
    std::vector<uint8_t> mDiscard;
    std::atomic<uint64_t> mHead{0}; // written by the drain thread
    std::atomic<uint64_t> mTail{0}; // written by the reader
    std::atomic<uint32_t> mKernelDropped{0};
    std::atomic<uint64_t> mRingDropped{0};
    std::mutex mWaitMutex;
    std::condition_variable mWake;
    std::atomic<bool> mReaderWaiting{false};
    std::jthread mThread; // last: stops before what it uses goes
};

} // namespace zun
