#include "fanout.h"

#include "netns.h"

#include "format.h"
#include "transport/udp/udpreceiver.h"
#include "transport/udp/udpsender.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace netkit {

namespace {

using namespace std::chrono_literals;

// Counts whole frames of the stream on its own thread; told when to stall.
class CountingReceiver {
public:
    CountingReceiver(std::unique_ptr<zun::UdpReceiver> receiver, uint64_t stallFromNs, uint64_t stallUntilNs)
        : mReceiver(std::move(receiver)), mStallFromNs(stallFromNs), mStallUntilNs(stallUntilNs)
    {
        mThread = std::jthread([this](std::stop_token stop) { run(stop); });
    }

    ReceiverTally tally(uint32_t firstAfterStall)
    {
        mThread.request_stop();
        mThread.join();
        ReceiverTally t;
        t.delivered = mFrames.size();
        for (const auto &[number, trip] : mFrames)
            t.deliveredAfterStall += number >= firstAfterStall;
        const auto counters = mReceiver->counters();
        t.repaired = counters.framesRepaired;
        t.incomplete = counters.framesIncomplete;
        t.droppedOnFullBuffer = mReceiver->droppedOnFullBuffer();
        std::vector<uint64_t> trips;
        for (const auto &frame : mFrames)
            trips.push_back(frame.second);
        if (!trips.empty()) {
            std::nth_element(trips.begin(), trips.begin() + long(trips.size() / 2), trips.end());
            t.latencyMedianMs = double(trips[trips.size() / 2]) / 1e6;
        }
        return t;
    }

private:
    void run(std::stop_token stop)
    {
        zun::EncodedFrame frame;
        while (!stop.stop_requested()) {
            const uint64_t now = zun::monotonicNowNs();
            if (now >= mStallFromNs && now < mStallUntilNs) {
                std::this_thread::sleep_for(std::chrono::nanoseconds(mStallUntilNs - now));
                continue;
            }
            if (mReceiver->receive(frame, 20ms))
                mFrames.emplace_back(frame.meta.frameNumber, zun::monotonicNowNs() - frame.meta.sendTimeNs);
        }
    }

    std::unique_ptr<zun::UdpReceiver> mReceiver;
    uint64_t mStallFromNs;
    uint64_t mStallUntilNs;
    std::vector<std::pair<uint32_t, uint64_t>> mFrames; // number, trip
    std::jthread mThread;
};

} // namespace

FanOutResult runFanOut(const FanOutSetup &setup)
{
    FanOutResult result;
    BridgedNamespaces spaces(setup.receivers);
    if (!spaces.ok()) {
        result.problem = spaces.problem();
        return result;
    }
    const std::string port = std::to_string(setup.port);
    for (int i = 0; i < setup.receivers; ++i) {
        if (!spaces.runIn(i, "nft add table inet zunloss")
            || !spaces.runIn(i, "nft add chain inet zunloss input '{ type filter hook input priority 0 ; }'")
            || !spaces.runIn(i, "nft add rule inet zunloss input udp dport " + port + " numgen random mod 100 lt "
                                    + std::to_string(setup.lossPercent) + " drop")) {
            result.problem = "cannot add the loss rule (nft)";
            return result;
        }
    }
    const uint64_t frameNs = uint64_t(1e9 / setup.fps);
    const uint64_t frames = uint64_t(setup.seconds * setup.fps);
    const uint64_t startNs = zun::monotonicNowNs() + 200'000'000; // the receivers are listening by then
    const uint64_t stallFromNs = startNs + frames / 3 * frameNs;
    const uint64_t stallUntilNs = stallFromNs + uint64_t(setup.stallSeconds * 1e9);
    std::vector<std::unique_ptr<CountingReceiver>> receivers;
    for (int i = 0; i < setup.receivers; ++i) {
        auto receiver = std::make_unique<zun::UdpReceiver>();
        {
            InNetns inside(spaces.netns(i));
            if (!receiver->listen(setup.port)) {
                result.problem = "cannot listen on port " + port;
                return result;
            }
        }
        const bool stalls = i == setup.stalledReceiver;
        receivers.push_back(std::make_unique<CountingReceiver>(std::move(receiver), stalls ? stallFromNs : 0,
                                                               stalls ? stallUntilNs : 0));
    }
    zun::UdpSender sender;
    if (!sender.setDestination(std::string(zun::UdpReceiver::kGroup) + "@" + BridgedNamespaces::kLocal, setup.port)) {
        result.problem = "cannot send to the group";
        return result;
    }
    std::vector<uint8_t> payload(zun::byteSize(setup.format));
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = uint8_t(i * 7 + i / 4096);
    zun::FrameMeta meta;
    meta.format = setup.format;
    meta.streamId = 0x5eed0001;
    uint32_t firstAfterStall = 0;
    for (uint64_t n = 0; n < frames; ++n) {
        const uint64_t due = startNs + n * frameNs;
        const uint64_t now = zun::monotonicNowNs();
        if (due > now)
            std::this_thread::sleep_for(std::chrono::nanoseconds(due - now));
        meta.frameNumber = uint32_t(n + 1);
        meta.sendTimeNs = zun::monotonicNowNs();
        if (meta.sendTimeNs >= stallUntilNs + uint64_t(setup.catchUpSeconds * 1e9) && firstAfterStall == 0)
            firstAfterStall = meta.frameNumber;
        sender.send(meta, payload);
        ++result.sent;
        result.sentAfterStall += firstAfterStall != 0;
    }
    std::this_thread::sleep_for(1s); // the last frames on their way, on a busy machine late
    for (auto &receiver : receivers)
        result.receivers.push_back(receiver->tally(firstAfterStall ? firstAfterStall : UINT32_MAX));
    result.ok = true;
    return result;
}

} // namespace netkit
