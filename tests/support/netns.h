#pragma once

// Network namespaces, for the tests and the benchmarks: two "machines" joined by a veth pair,
// and receivers on machines of their own behind one bridge.

#include <memory>
#include <string>
#include <vector>
#include <sys/types.h>

namespace netkit {

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

// A fresh network namespace, kept alive by a child process; gone when this goes.
class HeldNamespace {
public:
    HeldNamespace();
    ~HeldNamespace();
    HeldNamespace(const HeldNamespace &) = delete;
    HeldNamespace &operator=(const HeldNamespace &) = delete;

    bool ok() const { return mFd >= 0; }
    int fd() const { return mFd; }
    // For `ip link ... netns <pid>`.
    pid_t holder() const { return mHolder; }
    // A shell command inside it; false when it fails.
    bool run(const std::string &command) const;

private:
    pid_t mHolder = -1;
    int mFd = -1;
};

// A shell command in this namespace; false when it fails.
bool runHere(const std::string &command);

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

    bool ok() const { return mOk; }
    // Why not, when not ok.
    const std::string &problem() const { return mProblem; }
    bool setMtu(int mtu);
    int peerNetns() const { return mPeer.fd(); }
    bool runInPeer(const std::string &command) const { return mPeer.run(command); }

private:
    HeldNamespace mPeer;
    bool mOk = false;
    std::string mProblem;
};

// Namespaces of their own, each joined by a veth pair at MTU 1500 to a bridge in this one,
// as machines on one Ethernet switch: the bridge has kLocal, namespace i has address(i), and
// multicast sent from kLocal ("group@198.18.1.1") reaches every port (no snooping), one
// packet per datagram.
class BridgedNamespaces {
public:
    static constexpr const char *kLocal = "198.18.1.1";

    explicit BridgedNamespaces(int count);
    ~BridgedNamespaces();
    BridgedNamespaces(const BridgedNamespaces &) = delete;
    BridgedNamespaces &operator=(const BridgedNamespaces &) = delete;

    bool ok() const { return mOk; }
    const std::string &problem() const { return mProblem; }
    int count() const { return int(mSpaces.size()); }
    int netns(int i) const { return mSpaces[size_t(i)]->fd(); }
    static std::string address(int i) { return "198.18.1." + std::to_string(10 + i); }
    bool runIn(int i, const std::string &command) const { return mSpaces[size_t(i)]->run(command); }

private:
    std::vector<std::unique_ptr<HeldNamespace>> mSpaces;
    bool mOk = false;
    std::string mProblem;
};

} // namespace netkit
