#pragma once

#include "status.h"
#include "zunVidStreamLib2.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace zun {

// Tells from the frames a decoder's source delivers whether it is waiting, receiving or
// stalled, and says in words what goes wrong with it: frames it rejects or loses, a format
// other than the one asked for.
class SourceMonitor {
public:
    static constexpr uint64_t kStallNs = 1'000'000'000;

    explicit SourceMonitor(const StreamFormat &requested) : mRequested(requested) {}

    // A new source, e.g. "udp port 10588", whose refused units are called unitNoun.
    void start(const std::string &name, const char *unitNoun);
    void fail(int error, const std::string &why);
    // A problem that leaves the source working, badly where it matters.
    void warn(const std::string &why);
    // From the thread that delivers a frame: the receiving one, a worker that decoded it, or
    // the reader's for frames it takes straight from memory.
    void frameArrived();
    void formatSeen(const StreamFormat &format);
    // From the receiving thread, often: logs stalls and, once a second, new losses, each
    // with what the source can say about it.
    void check(uint64_t rejected, uint64_t incomplete, const std::function<std::string()> &rejectionDetail,
               const std::function<std::string()> &lossDetail = {});
    ZunStatus snapshot() const;

private:
    uint32_t stateAt(uint64_t nowNs) const;

    const StreamFormat mRequested;
    Status mStatus;
    std::atomic<uint64_t> mLastFrameNs{0};
    std::mutex mMutex; // the receiving thread's view below, against start
    std::string mName;
    const char *mUnitNoun = "";
    uint32_t mLoggedState = ZUN_STATE_IDLE;
    uint64_t mNextCountCheckNs = 0;
    uint64_t mRejectedSeen = 0;
    uint64_t mIncompleteSeen = 0;
    StreamFormat mLastFormat{};
};

} // namespace zun
