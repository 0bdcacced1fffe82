#pragma once

#include "bytes.h"
#include "framedestination.h"
#include "status.h"
#include "transport/destinationresolver.h"
#include "transport/socketfd.h"
#include "transport/wireheader.h"

#include <array>
#include <atomic>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

namespace zun {

// Streams frames over one TCP connection that a thread of its own makes, remakes and writes
// to. Nothing waits on the network: while not connected a frame is dropped before it is
// copied, and while the link is busy the newest frame waits, replacing the one waiting.
class TcpSender : public FrameDestination {
public:
    static constexpr uint64_t kRetryNs = 200'000'000;
    static constexpr uint64_t kConnectTimeoutNs = 2'000'000'000;

    TcpSender();
    ~TcpSender() override;

    bool setDestination(const std::string &address, uint16_t port) override;
    uint8_t *reserve(size_t size) override;
    void commit(const FrameMeta &meta) override;
    ZunStatus status() const override { return mStatus.snapshot(); }
    DestinationCounters counters() const override;

    bool connected() const { return mConnected.load(); }

private:
    struct Message {
        std::array<uint8_t, WireHeader::kSize> header{};
        Bytes payload;
        size_t written = 0; // of header and payload together
        bool pending = false;
    };
    enum class Link { Down, Connecting, Up };

    void run(std::stop_token stop);
    // Writes what the socket takes now; false when the connection broke.
    bool writeSome();
    void startConnect(const DestinationResolver::Target &target, uint64_t nowNs);
    void finishConnect(uint64_t nowNs);
    void drop(uint64_t nowNs);
    void retrying(int error);
    void wake();

    Status mStatus;
    DestinationResolver mResolver;
    SocketFd mWake; // eventfd
    std::mutex mMutex;
    // Changed by the thread only, under mMutex; commit reads mLink under it.
    SocketFd mSocket;
    Link mLink = Link::Down;
    // The thread's: the frame being written, without the lock, so commit never waits for the
    // kernel to take a frame.
    Message mInFlight;
    Message mQueued;        // guarded by mMutex: the newest frame, next to go
    Message mStaging;       // filled between reserve and commit, outside the lock
    size_t mSendBuffer = 0; // the frame size the socket's buffer is sized for
    std::atomic<bool> mConnected{false};
    std::atomic<uint64_t> mSent{0};
    std::atomic<uint64_t> mDropped{0};
    std::atomic<uint64_t> mBytes{0};

    // The thread's own.
    uint64_t mGeneration = 0;
    uint64_t mNextAttemptNs = 0;
    uint64_t mConnectStartNs = 0;
    DestinationResolver::State mSeenState = DestinationResolver::State::None;
    std::string mTargetText;

    std::jthread mThread; // last: stops before the members it uses go
};

} // namespace zun
