#pragma once

#include "transport/destinationresolver.h"
#include "transport/networktransport.h"
#include "transport/socketfd.h"
#include "transport/wireheader.h"

#include <array>
#include <atomic>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

namespace zun {

// Streams frames over one TCP connection that a thread of its own makes and remakes in
// the background. send never waits: it drops the frame while not connected, and while
// the socket is full the newest frame replaces the one waiting.
class TcpSender : public NetworkSender {
public:
    static constexpr uint64_t kRetryNs = 200'000'000;
    static constexpr uint64_t kConnectTimeoutNs = 2'000'000'000;

    TcpSender();
    ~TcpSender() override;

    bool setDestination(const std::string &address, uint16_t port) override;
    bool send(const FrameMeta &meta, std::span<const uint8_t> payload) override;

    bool connected() const { return mConnected.load(); }
    // Frames replaced while waiting for a full socket.
    uint64_t framesReplaced() const override { return mReplaced.load(); }

private:
    struct Message {
        std::array<uint8_t, WireHeader::kSize> header{};
        std::vector<uint8_t> payload;
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

    DestinationResolver mResolver;
    SocketFd mWake; // eventfd
    std::mutex mMutex;
    // Changed by the thread only, under mMutex; send reads them under it.
    SocketFd mSocket;
    Link mLink = Link::Down;
    // Whoever sets mInFlight.pending (under mMutex) is the only writer to the socket until
    // it is cleared: send while it is clear, the thread while it is set. The thread writes
    // without the lock, so a send never waits for the kernel to take a frame.
    Message mInFlight;
    Message mQueued;      // guarded by mMutex
    size_t mSendBuffer = 0; // guarded by mMutex: the frame size the socket's buffer is sized for
    Message mStaging;     // send's own: a frame is copied here outside the lock
    std::atomic<bool> mConnected{false};
    std::atomic<uint64_t> mReplaced{0};

    // The thread's own.
    uint64_t mGeneration = 0;
    uint64_t mNextAttemptNs = 0;
    uint64_t mConnectStartNs = 0;
    DestinationResolver::State mSeenState = DestinationResolver::State::None;
    std::string mTargetText;

    std::jthread mThread; // last: stops before the members it uses go
};

} // namespace zun
