#pragma once

// Network namespaces for the benchmark between two "machines" joined by a veth pair.

#include <string>
#include <sys/types.h>

namespace bench {

// While it lives, the calling thread works in the namespace given by fd (-1: stays put).
class InNetns {
public:
    explicit InNetns(int fd);
    ~InNetns();
    InNetns(const InNetns &) = delete;
    InNetns &operator=(const InNetns &) = delete;

private:
    int mHome = -1;
};

// A second namespace joined to this one by a veth pair with addresses from the range kept
// for benchmarks (198.18.0.0/15); gone, with its link, when this goes.
class VethPair {
public:
    static constexpr const char *kLocal = "198.18.0.1";
    static constexpr const char *kPeer = "198.18.0.2";

    VethPair();
    ~VethPair();
    VethPair(const VethPair &) = delete;
    VethPair &operator=(const VethPair &) = delete;

    bool ok() const { return mPeerNetns >= 0; }
    // Why not, when not ok.
    const std::string &problem() const { return mProblem; }
    bool setMtu(int mtu);
    int peerNetns() const { return mPeerNetns; }

private:
    bool run(const std::string &command, bool inPeer);

    pid_t mHolder = -1; // keeps the peer namespace alive
    int mPeerNetns = -1;
    std::string mProblem;
};

} // namespace bench
