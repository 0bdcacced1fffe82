#include "netns.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace bench {

namespace {
constexpr const char *kLocalLink = "zunbench0";
constexpr const char *kPeerLink = "zunbench1";
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

VethPair::VethPair()
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
    if (mHolder < 0 || ::read(ready[0], &made, 1) != 1 || !made) {
        ::close(ready[0]);
        mProblem = "cannot make a network namespace (needs root or CAP_SYS_ADMIN)";
        return;
    }
    ::close(ready[0]);
    const std::string holder = std::to_string(mHolder);
    const bool linked = run(std::string("ip link add ") + kLocalLink + " type veth peer name " + kPeerLink
                                + " netns " + holder, false)
        && run(std::string("ip addr add ") + kLocal + "/30 dev " + kLocalLink, false)
        && run(std::string("ip link set ") + kLocalLink + " up", false)
        && run(std::string("ip addr add ") + kPeer + "/30 dev " + kPeerLink, true)
        && run(std::string("ip link set ") + kPeerLink + " up", true) && run("ip link set lo up", true);
    if (!linked) {
        mProblem = "cannot make the veth pair (ip link add ... type veth)";
        return;
    }
    // Without it a veth hands datagrams on one by one; where ethtool is missing, so be it.
    run(std::string("ethtool -K ") + kPeerLink + " gro on", true);
    mPeerNetns = ::open(("/proc/" + holder + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
}

VethPair::~VethPair()
{
    if (mPeerNetns >= 0)
        ::close(mPeerNetns);
    if (mHolder > 0) {
        ::kill(mHolder, SIGKILL);
        ::waitpid(mHolder, nullptr, 0);
    }
}

bool VethPair::setMtu(int mtu)
{
    const std::string size = std::to_string(mtu);
    return run(std::string("ip link set ") + kLocalLink + " mtu " + size, false)
        && run(std::string("ip link set ") + kPeerLink + " mtu " + size, true);
}

bool VethPair::run(const std::string &command, bool inPeer)
{
    const std::string line = (inPeer ? "nsenter -t " + std::to_string(mHolder) + " -n " : std::string())
        + command + " >/dev/null 2>&1";
    return std::system(line.c_str()) == 0;
}

} // namespace bench
