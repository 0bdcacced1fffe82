#pragma once

// One multicast sender and receivers on machines of their own behind one bridge, each
// losing a share of the datagrams on its side; one receiver may stall for a while.

#include "zunVidStreamLib2.h"

#include <cstdint>
#include <string>
#include <vector>

namespace netkit {

struct FanOutSetup {
    int receivers = 4;
    StreamFormat format{1280, 720, 1, 1};
    double fps = 30;
    double seconds = 5;
    int lossPercent = 1;     // dropped at random on each receiver's side (nftables)
    int stalledReceiver = 0; // reads nothing for stallSeconds from a third into the run; -1: none
    double stallSeconds = 2;
    // Frames count as after the stall from this long after it: the socket buffer the stall filled
    // takes about that to drain, and what overflowed meanwhile is the stall's, not a failure to
    // get the stream again.
    double catchUpSeconds = 0.5;
    uint16_t port = 24560;
};

struct ReceiverTally {
    uint64_t delivered = 0;
    uint64_t deliveredAfterStall = 0; // frames sent after the stall ended and the catch-up time
    uint64_t repaired = 0;
    uint64_t incomplete = 0;
    uint64_t droppedOnFullBuffer = 0; // datagrams, by the kernel
    double latencyMedianMs = 0;
};

struct FanOutResult {
    bool ok = false;
    std::string problem; // why not ok
    uint64_t sent = 0;
    uint64_t sentAfterStall = 0;
    std::vector<ReceiverTally> receivers;
};

// Needs root (or CAP_NET_ADMIN and CAP_SYS_ADMIN) and nft; says why not in problem.
FanOutResult runFanOut(const FanOutSetup &setup);

} // namespace netkit
