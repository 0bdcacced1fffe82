#include "netns.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace netkit {

namespace {
constexpr const char *kLocalLink = "zunbench0";
constexpr const char *kPeerLink = "zunbench1";
constexpr const char *kBridge = "zunbr0";
} // namespace

InNetns::InNetns(int fd)
{
    if (fd < 0)
        return;
    mHome = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (mHome >= 0 && ::setns(fd, CLONE_NEWNET) != 0) {
        ::close(mHome);
        mHome = -1;
    }
}

InNetns::~InNetns()
{
    if (mHome < 0)
        return;
    ::setns(mHome, CLONE_NEWNET);
    ::close(mHome);
}

HeldNamespace::HeldNamespace()
{
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0)
        return;
    mHolder = ::fork();
    if (mHolder == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const char made = ::unshare(CLONE_NEWNET) == 0 ? 1 : 0;
        (void)!::write(ready[1], &made, 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char made = 0;
    const bool ok = mHolder > 0 && ::read(ready[0], &made, 1) == 1 && made;
    ::close(ready[0]);
    if (ok && run("ip link set lo up"))
        mFd = ::open(("/proc/" + std::to_string(mHolder) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
}

HeldNamespace::~HeldNamespace()
{
    if (mFd >= 0)
        ::close(mFd);
    if (mHolder > 0) {
        ::kill(mHolder, SIGKILL);
        ::waitpid(mHolder, nullptr, 0);
    }
}

bool HeldNamespace::run(const std::string &command) const
{
    return mHolder > 0 && runHere("nsenter -t " + std::to_string(mHolder) + " -n " + command);
}

bool runHere(const std::string &command)
{
    const std::string line = command + " >/dev/null 2>&1";
    return std::system(line.c_str()) == 0;
}

VethPair::VethPair()
{
    if (!mPeer.ok()) {
        mProblem = "cannot make a network namespace (needs root or CAP_SYS_ADMIN)";
        return;
    }
    const std::string holder = std::to_string(mPeer.holder());
    const std::string add = std::string("ip link add ") + kLocalLink + " type veth peer name " + kPeerLink + " netns " + holder;
    // A pair left to a namespace that ended just before keeps its name until the kernel has
    // cleared that namespace away, a moment later.
    bool added = runHere(add);
    for (int tries = 0; !added && tries < 20; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        added = runHere(add);
    }
    mOk = added
        && runHere(std::string("ip addr add ") + kLocal + "/30 dev " + kLocalLink)
        && runHere(std::string("ip link set ") + kLocalLink + " up")
        && mPeer.run(std::string("ip addr add ") + kPeer + "/30 dev " + kPeerLink)
        && mPeer.run(std::string("ip link set ") + kPeerLink + " up");
    if (!mOk) {
        mProblem = "cannot make the veth pair (ip link add ... type veth)";
        return;
    }
    // Without it a veth hands datagrams on one by one; where ethtool is missing, so be it.
    mPeer.run(std::string("ethtool -K ") + kPeerLink + " gro on");
}

VethPair::~VethPair()
{
    // Its namespace takes the pair along only when the kernel gets round to it, and a run
    // right after this one would find the name still taken.
    if (mOk)
        runHere(std::string("ip link del ") + kLocalLink);
}

bool VethPair::setMtu(int mtu)
{
    const std::string size = std::to_string(mtu);
    return runHere(std::string("ip link set ") + kLocalLink + " mtu " + size)
        && mPeer.run(std::string("ip link set ") + kPeerLink + " mtu " + size);
}

BridgedNamespaces::BridgedNamespaces(int count)
{
    if (!runHere(std::string("ip link add ") + kBridge + " type bridge mcast_snooping 0")
        || !runHere(std::string("ip addr add ") + kLocal + "/24 dev " + kBridge)
        || !runHere(std::string("ip link set ") + kBridge + " up")) {
        mProblem = "cannot make a bridge (ip link add ... type bridge)";
        return;
    }
    for (int i = 0; i < count; ++i) {
        mSpaces.push_back(std::make_unique<HeldNamespace>());
        const HeldNamespace &space = *mSpaces.back();
        if (!space.ok()) {
            mProblem = "cannot make a network namespace (needs root or CAP_SYS_ADMIN)";
            return;
        }
        const std::string port = std::string(kBridge) + "p" + std::to_string(i);
        if (!runHere("ip link add " + port + " type veth peer name eth0 netns " + std::to_string(space.holder()))
            || !runHere("ip link set " + port + " master " + kBridge + " up")
            || !space.run("ip addr add " + address(i) + "/24 dev eth0") || !space.run("ip link set eth0 up")
            || !space.run("ip route add 224.0.0.0/4 dev eth0")) {
            mProblem = "cannot join a namespace to the bridge (ip link add ... type veth)";
            return;
        }
    }
    // Segmentation offload would carry up to 44 datagrams through the bridge as one packet,
    // and a loss rule would drop them together: cut in software, as by a network card, every
    // datagram meets it alone (veth leaves receive offload off).
    runHere(std::string("ethtool -K ") + kBridge + " tx-udp-segmentation off");
    mOk = true;
}

BridgedNamespaces::~BridgedNamespaces()
{
    // As for a single pair: the ports would go with their namespaces, but only later.
    for (size_t i = 0; i < mSpaces.size(); ++i)
        runHere(std::string("ip link del ") + kBridge + "p" + std::to_string(i));
    mSpaces.clear();
    runHere(std::string("ip link del ") + kBridge);
}

} // namespace netkit
