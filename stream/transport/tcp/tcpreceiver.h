#pragma once

#include "transport/networktransport.h"
#include "transport/socketfd.h"
#include "transport/tcp/tcpmessagereader.h"

#include <memory>
#include <vector>

namespace zun {

// Listens on all addresses and reads length-framed frames from several senders at once,
// never letting one connection hold up another.
class TcpReceiver : public NetworkReceiver {
public:
    static constexpr size_t kMaxConnections = 32;
    static constexpr uint64_t kStallNs = 2'000'000'000; // mid-message without a byte

    bool listen(uint16_t port) override;
    bool receive(EncodedFrame &frame, std::chrono::milliseconds timeout) override;
    ReceiveCounters counters() const override;

    size_t connectionCount() const { return mConnections.size(); }

private:
    struct Connection {
        SocketFd socket;
        TcpMessageReader reader;
        uint64_t lastProgressNs = 0;
        bool delivered = false; // has sent a whole frame
        int lowWater = 1;       // bytes queued before epoll reports the socket readable
        int lowWaterCap = 1;
    };
    enum class ReadResult { More, Frame, Closed };

    void acceptAll(uint64_t nowNs);
    bool makeRoom();
    ReadResult readFrom(Connection &connection, uint64_t nowNs);
    static void setLowWater(Connection &connection, size_t bytes);
    void close(size_t index);
    void closeStalled(uint64_t nowNs);

    SocketFd mListener;
    SocketFd mEpoll;
    std::vector<std::unique_ptr<Connection>> mConnections;
    uint64_t mRejected = 0;
    uint64_t mIncomplete = 0;
    uint64_t mBytesRead = 0;
};

} // namespace zun
