#pragma once

// What plain UDP sockets move, one sender and one receiver thread, as the limit the
// library's UDP transport is measured against.

#include <netinet/in.h>

#include <cstddef>

namespace bench {

struct Rate {
    double sent = 0; // bytes per second
    double received = 0;
};

struct UdpLimitSetup {
    enum class Mode {
        OneByOne, // one send and one recv per datagram
        Sendmmsg, // 32 datagrams per sendmmsg, one recv each
        Offload,  // segmentation offload on the sender, receive offload on the receiver
        // Offload as the library's transport moves a frame: each datagram a header and a
        // piece of the frame in two parts, from and into three frame-sized buffers in turn.
        OffloadFrames,
    };
    sockaddr_in to{};       // where the receiver listens
    int receiverNetns = -1; // the receiver's network namespace, -1 for this one
    size_t datagram = 1472;
    Mode mode = Mode::OneByOne;
    size_t frameBytes = 6220800; // for OffloadFrames: raw 1080p
};

Rate udpLimit(const UdpLimitSetup &setup, double seconds);

} // namespace bench
