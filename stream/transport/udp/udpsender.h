#pragma once

#include "transport/destinationresolver.h"
#include "transport/networktransport.h"
#include "transport/socketfd.h"

namespace zun {

// Cuts each frame into datagrams that fit the path it leaves by, to a unicast address or
// an IPv4 multicast group (TTL 1, looped back to this host).
class UdpSender : public NetworkSender {
public:
    bool setDestination(const std::string &address, uint16_t port) override;
    bool send(const FrameMeta &meta, std::span<const uint8_t> payload) override;

    // Payload bytes per datagram on the current path; 0 before the first send.
    size_t pieceSize() const { return mPieceSize; }
    // Test hook: the piece with this index is never sent (-1: send all).
    void setSkippedPiece(int index) { mSkippedPiece = index; }

private:
    bool applyTarget();
    bool sendPiece(const uint8_t *header, const uint8_t *data, size_t length);
    bool failTarget(const DestinationResolver::Target &target);
    void noteRefused();

    DestinationResolver mResolver;
    uint64_t mAppliedGeneration = 0;
    SocketFd mSocket;
    size_t mPieceSize = 0;
    int mSkippedPiece = -1;
};

} // namespace zun
