#pragma once

#include "transport/udp/datagramreader.h"
#include "transport/udp/framereassembler.h"
#include "transport/networktransport.h"
#include "transport/socketfd.h"
#include "transport/udp/socketspread.h"

#include <netinet/in.h>

#include <optional>
#include <vector>

namespace zun {

// Takes unicast datagrams to its port and multicast to the stream group (or another one)
// on every interface that carries multicast or on one, and puts frames back together.
class UdpReceiver : public NetworkReceiver {
public:
    static constexpr const char *kGroup = "239.255.105.88";

    // A frame whose trip took this much longer than its stream's quickest shows that the
    // caller has fallen behind.
    static constexpr int64_t kBehindNs = 60'000'000;

    UdpReceiver();
    explicit UdpReceiver(const FrameReassembler::Limits &limits, int64_t behindNs = kBehindNs);

    // Before listen: join this group instead, on the interface with this address if given;
    // listen then fails when that join does.
    void setGroup(in_addr group, std::optional<in_addr> interface);
    // Whether an interface of this host has this IPv4 address.
    static bool isLocalAddress(in_addr address);
    bool listen(uint16_t port) override;
    bool receive(EncodedFrame &frame, std::chrono::milliseconds timeout) override;
    ReceiveCounters counters() const override;
    std::string lastRejection() const override;
    std::string lossDetail() const override;
    std::string listenProblem() const override;

    size_t bytesHeld() const { return mReassembler.bytesHeld(); }
    const DatagramReader &reader() const { return mReader; }
    // Sockets the port's datagrams are spread over (see SocketSpread); 0 before listen.
    size_t socketCount() const { return mSockets.size(); }
    // Datagrams the kernel dropped on full socket buffers, as of the last reads.
    uint64_t droppedOnFullBuffer() const;
    // Test hook, after listen: socket buffers of this size, as where net.core.rmem_max is small.
    void limitReceiveBuffer(int bytes);
    // Benchmark and test hook: receivers that listen from now on get at most this buffer, as
    // where net.core.rmem_max is bytes and the process may not exceed it; 0 ends it. Any thread.
    static void setReceiveBufferCeiling(int bytes);

private:
    // One datagram or a coalesced run of them, or false when none is waiting.
    bool readOne();
    // The socket that should hold the frame's next piece, so a spread frame is read in order.
    size_t socketToReadFirst() const;
    // Opens more sockets on the port where one socket's buffer cannot hold a burst.
    void spreadOver(size_t count, uint16_t port);
    void keepCompleted();
    bool cameLate(const FrameMeta &meta);
    bool joinGroup();
    void noteRejected(const char *reason);

    std::vector<SocketFd> mSockets; // the first joins the groups
    std::vector<uint32_t> mDropsBySocket;
    size_t mLastRead = 0;
    uint32_t mMayHoldData = ~0u; // a bit for each socket not found empty since the last poll
    // "208 KiB granted of 128 MiB asked"
    std::string bufferText() const;

    int mReceiveBufferBytes = 0; // what the kernel granted
    FrameReassembler mReassembler;
    DatagramReader mReader;
    // Frames complete but not yet delivered: at most one per stream, oldest first.
    std::vector<EncodedFrame> mReady;
    uint64_t mSkipped = 0;
    uint64_t mCompleted = 0;
    int64_t mBehindNs;
    bool mLastCompletedLate = false;
    struct Trip {
        uint32_t streamId;
        int64_t quickest; // fastest trip lately, in the sender's clock plus an unknown offset
        uint64_t quickestNs;
        uint64_t seenNs;
    };
    std::vector<Trip> mTrips;
    uint64_t mRejected = 0;
    in_addr mGroup{};
    std::optional<in_addr> mInterface;
    sockaddr_in mFrom{};
    const char *mRejectReason = nullptr;
    sockaddr_in mRejectFrom{};
};

} // namespace zun
