#include "transport/udp/datagrambatch.h"

#include <netinet/in.h>
#include <netinet/udp.h>

#include <cerrno>
#include <cstring>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace zun {
namespace {

constexpr int kRefusalRetries = 3;

bool refusesOffload(int error)
{
    return error == EIO || error == EINVAL || error == ENOPROTOOPT || error == EOPNOTSUPP;
}

} // namespace

size_t DatagramBatch::runLength(std::span<const Datagram> datagrams) const
{
    if (!mOffload)
        return 1;
    // Segments are all of the first one's size but the last, which may be shorter.
    const size_t segment = datagrams[0].size();
    size_t count = 1;
    size_t bytes = segment;
    while (count < datagrams.size() && count < kMaxSegments) {
        const size_t next = datagrams[count].size();
        if (next > segment || bytes + next > kMaxOffloadBytes)
            break;
        ++count;
        bytes += next;
        if (next < segment)
            break;
    }
    return count;
}

size_t DatagramBatch::prepare(std::span<const Datagram> datagrams)
{
    mRuns.clear();
    size_t parts = 0;
    for (size_t at = 0; at < datagrams.size() && mRuns.size() < kMessagesPerCall;) {
        const size_t run = runLength(datagrams.subspan(at));
        mRuns.push_back(run);
        parts += 2 * run;
        at += run;
    }
    mParts.resize(parts);
    mMessages.assign(mRuns.size(), mmsghdr{});
    mControls.resize(mRuns.size());
    size_t part = 0;
    size_t at = 0;
    for (size_t m = 0; m < mRuns.size(); ++m) {
        msghdr &message = mMessages[m].msg_hdr;
        message.msg_iov = &mParts[part];
        for (size_t i = 0; i < mRuns[m]; ++i, ++at) {
            const Datagram &d = datagrams[at];
            mParts[part++] = {const_cast<uint8_t *>(d.header.data()), d.header.size()};
            mParts[part++] = {const_cast<uint8_t *>(d.payload.data()), d.payload.size()};
        }
        message.msg_iovlen = 2 * mRuns[m];
        if (mRuns[m] < 2)
            continue;
        const uint16_t segment = uint16_t(datagrams[at - mRuns[m]].size());
        message.msg_control = mControls[m].data();
        message.msg_controllen = mControls[m].size();
        cmsghdr *control = CMSG_FIRSTHDR(&message);
        control->cmsg_level = SOL_UDP;
        control->cmsg_type = UDP_SEGMENT;
        control->cmsg_len = CMSG_LEN(sizeof segment);
        std::memcpy(CMSG_DATA(control), &segment, sizeof segment);
    }
    return mRuns.size();
}

size_t DatagramBatch::send(int fd, std::span<const Datagram> datagrams,
                           const std::function<void()> &refused)
{
    size_t done = 0;
    int refusals = 0;
    while (done < datagrams.size()) {
        const size_t messages = prepare(datagrams.subspan(done));
        const int sent = ::sendmmsg(fd, mMessages.data(), unsigned(messages), MSG_NOSIGNAL);
        if (sent < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            if (error == ECONNREFUSED && ++refusals < kRefusalRetries) {
                refused();
                continue;
            }
            if (mOffload && mRuns[0] > 1 && refusesOffload(error)) {
                mOffload = false;
                continue;
            }
            if (error == ECONNREFUSED)
                refused();
            errno = error;
            return done;
        }
        refusals = 0;
        for (int m = 0; m < sent; ++m)
            done += mRuns[size_t(m)];
    }
    return done;
}

} // namespace zun
