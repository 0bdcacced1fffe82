// One multicast sender, eight receivers on machines of their own behind one bridge, each
// losing 1% of the datagrams on its side, one of them stalling for 2 s.

#include "benches.h"
#include "fanout.h"

#include <algorithm>

namespace bench {

void runFanOutBench(const Options &options)
{
    netkit::FanOutSetup setup;
    setup.receivers = 8;
    setup.seconds = std::max(6.0, options.seconds);
    setup.catchUpSeconds = 0; // every frame from the stall's end: what the buffer held and what it lost
    const netkit::FanOutResult r = netkit::runFanOut(setup);
    if (!r.ok) {
        std::printf("\nfanout: skipped, %s\n", r.problem.c_str());
        return;
    }
    std::printf("\nmulticast raw %ux%u at %.0f fps to %d receivers behind a bridge (MTU 1500), %d%% loss each, "
                "receiver %d stalled %.0f s: %llu frames sent, %llu after the stall\n",
                setup.format.width, setup.format.height, setup.fps, setup.receivers, setup.lossPercent,
                setup.stalledReceiver, setup.stallSeconds, static_cast<unsigned long long>(r.sent),
                static_cast<unsigned long long>(r.sentAfterStall));
    std::printf("%8s %10s %8s %10s %9s %11s %12s %12s\n", "receiver", "delivered", "share", "repaired", "incompl",
                "after stall", "lat med ms", "buffer drops");
    for (size_t i = 0; i < r.receivers.size(); ++i) {
        const netkit::ReceiverTally &t = r.receivers[i];
        std::printf("%7zu%s %10llu %7.1f%% %10llu %9llu %11llu %12.1f %12llu\n", i, int(i) == setup.stalledReceiver ? "*" : " ",
                    static_cast<unsigned long long>(t.delivered), 100.0 * double(t.delivered) / double(r.sent),
                    static_cast<unsigned long long>(t.repaired), static_cast<unsigned long long>(t.incomplete),
                    static_cast<unsigned long long>(t.deliveredAfterStall), t.latencyMedianMs,
                    static_cast<unsigned long long>(t.droppedOnFullBuffer));
    }
    std::printf("load average %.2f\n", loadAverage());
}

} // namespace bench
