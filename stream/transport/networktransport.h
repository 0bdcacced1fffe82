#pragma once

#include "frame.h"
#include "status.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <functional>
#include <span>
#include <stop_token>
#include <string>

namespace zun {

struct ReceiveCounters {
    uint64_t packetsRejected = 0;  // failed validation: bad header, size, garbage
    uint64_t framesIncomplete = 0; // abandoned with pieces missing
    uint64_t framesSkipped = 0;    // whole, but passed over for a newer one of their stream
    uint64_t framesRepaired = 0;   // whole only thanks to parity
    uint64_t piecesRebuilt = 0;    // data pieces rebuilt from parity
    uint64_t bytesReceived = 0;    // read off the socket, headers and parity included
    uint64_t overflowed = 0;       // dropped by the kernel on this socket's full receive buffer
};

// What a sender asks while a frame goes out: whether to give up at once, and whether a
// newer frame is waiting.
struct SendWatch {
    std::stop_token stop;
    std::function<bool()> newerWaiting = [] { return false; };
};

// Sends whole frames over the network, one at a time, on its destination's thread; except
// setDestination and the settings, which run on the caller's and must not wait on the network.
class NetworkSender {
public:
    virtual ~NetworkSender() = default;
    // What the sender is doing and its last problem; any thread.
    ZunStatus status() const { return mStatus.snapshot(); }
    virtual bool setDestination(const std::string &address, uint16_t port) = 0;
    // Sends one frame, or drops it (returning false) when the link is not ready.
    virtual bool send(const FrameMeta &meta, std::span<const uint8_t> payload) = 0;
    // Bytes per second for each frame, 0 for the default; false where the transport paces
    // itself (TCP's flow control).
    virtual bool setPacingRate(uint64_t) { return false; }
    // Bytes that may leave at once, 0 for the default; false where the transport paces itself.
    virtual bool setPacingBurst(uint64_t) { return false; }
    // Before the first send, on its destination's thread.
    void setWatch(SendWatch watch) { mWatch = std::move(watch); }
    // Share of parity added to each frame, in percent (0 to 100); false where the transport
    // cannot lose pieces. Any thread.
    virtual bool setRedundancy(uint32_t) { return false; }

protected:
    Status &report() { return mStatus; }
    const SendWatch &watch() const { return mWatch; }

private:
    Status mStatus;
    SendWatch mWatch;
};

// Receives whole, validated frames. listen runs on the caller's thread; receive and
// counters on the decoder's own thread.
class NetworkReceiver {
public:
    virtual ~NetworkReceiver() = default;
    virtual bool listen(uint16_t port) = 0;
    // Waits at most timeout for one complete frame. The buffer frame holds is the
    // receiver's to reuse.
    virtual bool receive(EncodedFrame &frame, std::chrono::milliseconds timeout) = 0;
    virtual ReceiveCounters counters() const = 0;
    // Why the last datagram or message was refused and who sent it, as " (bad magic) from
    // 127.0.0.1:40000"; empty when not known. On the decoder's own thread.
    virtual std::string lastRejection() const { return {}; }
    // Why frames came incomplete where the receiver knows, as "; 12 datagrams dropped on a
    // full receive buffer (208 KiB granted of 128 MiB asked, net.core.rmem_max)"; empty
    // otherwise. On the decoder's own thread.
    virtual std::string lossDetail() const { return {}; }
    // What listen got short of what it asked, as "receive buffer 208 KiB granted of 128 MiB
    // asked, net.core.rmem_max"; empty when it got all. After listen, on the caller's thread.
    virtual std::string listenProblem() const { return {}; }
};

// nullptr for a protocol that is not a network transport.
std::unique_ptr<NetworkReceiver> makeNetworkReceiver(uint32_t protocol);

} // namespace zun
