#pragma once

#include "transport/udp/datagram.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <functional>
#include <span>
#include <vector>

namespace zun {

// Puts datagrams on a connected UDP socket in few system calls: each run of equal-size
// datagrams as one segmentation-offload send that the kernel cuts up, several runs per
// sendmmsg. Where the kernel refuses offload, one datagram per message from then on.
class DatagramBatch {
public:
    // Segments the kernel takes in one offload send.
    static constexpr size_t kMaxSegments = 64;
    static constexpr size_t kMaxOffloadBytes = 65000;
    static constexpr size_t kMessagesPerCall = 16;

    // A new socket: offload is tried again.
    void reset() { mOffload = true; }
    void disableOffload() { mOffload = false; }
    bool offloading() const { return mOffload; }

    // Sends the datagrams in order and returns how many went; when fewer, errno says why
    // the next one did not. refused is told of each "no one listens" answer, which belongs
    // to an earlier datagram, so the send is tried again.
    size_t send(int fd, std::span<const Datagram> datagrams, const std::function<void()> &refused);

private:
    // How many datagrams from the front go as one message.
    size_t runLength(std::span<const Datagram> datagrams) const;
    // Fills up to kMessagesPerCall messages; returns their count.
    size_t prepare(std::span<const Datagram> datagrams);

    bool mOffload = true;
    using Control = std::array<char, CMSG_SPACE(sizeof(uint16_t))>;
    std::vector<iovec> mParts;
    std::vector<mmsghdr> mMessages;
    std::vector<Control> mControls;
    std::vector<size_t> mRuns;
};

} // namespace zun
