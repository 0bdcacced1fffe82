#include "testrun.h"

#include "cpumeter.h"
#include "endpoints.h"
#include "receiveloop.h"
#include "report.h"
#include "sendloop.h"
#include "stopsignal.h"
#include "testoptions.h"
#include "testpicture.h"
#include "testreport.h"
#include "thresholds.h"

#include <algorithm>
#include <thread>

namespace {

// Frames still on their way when the sender says it is done.
constexpr int kLateFramesMs = 300;

} // namespace

TestRun::TestRun(const TestSettings &settings, bool sending, const QString &address, std::vector<ControlPeer *> peers)
    : mSettings(settings), mSending(sending), mAddress(address), mPeers(std::move(peers)),
      mPeerDone(mPeers.size(), false), mPeerResults(mPeers.size())
{
}

TestRun::~TestRun()
{
    if (mHandle != 0)
        mSending ? zunDeleteEncoder(mHandle) : zunDeleteDecoder(mHandle);
}

bool TestRun::open(QString *why)
{
    const Options o = endOptions(mSettings, mSending, mAddress);
    mHandle = mSending ? openEncoder(o, o.address, why) : openDecoder(o, why);
    return mHandle != 0;
}

bool TestRun::hear(size_t index, const control::Message &m, const Hooks &hooks)
{
    ControlPeer &peer = *mPeers[index];
    if (m.type == QLatin1String("interval")) {
        if (hooks.peerInterval)
            hooks.peerInterval(index, m.body.value(QLatin1String("figures")).toObject());
    } else if (m.type == QLatin1String("done")) {
        mPeerDone[index] = true;
    } else if (m.type == QLatin1String("result")) {
        mPeerResults[index] = m.body.value(QLatin1String("summary")).toObject();
        mPeerDone[index] = true;
    } else if (m.type == QLatin1String("error")) {
        mAborted = QStringLiteral("%1: %2").arg(peer.peerAddress(), m.body.value(QLatin1String("reason")).toString());
        return false;
    } else if (m.type != QLatin1String("heartbeat")) {
        mAborted = QStringLiteral("%1 sent '%2' during the test").arg(peer.peerAddress(), m.type);
        return false;
    }
    return true;
}

void TestRun::hearPeers(const Hooks &hooks)
{
    for (size_t i = 0; i < mPeers.size() && mAborted.isEmpty(); ++i) {
        ControlPeer &peer = *mPeers[i];
        while (const std::optional<control::Message> m = peer.take()) {
            if (!hear(i, *m, hooks))
                return;
        }
        // A peer that sent its result and closed has said all it had to.
        if (peer.broken() && mPeerResults[i].isEmpty())
            mAborted = QStringLiteral("%1: %2").arg(peer.peerAddress(), peer.problem());
        else if (!peer.broken() && peer.silent())
            mAborted = QStringLiteral("%1 was silent for %2 s").arg(peer.peerAddress())
                           .arg(std::chrono::duration_cast<std::chrono::seconds>(ControlPeer::kSilenceEnds).count());
        else if (!peer.broken())
            peer.keepAlive();
    }
}

QJsonObject TestRun::run(const Hooks &hooks)
{
    const Options o = endOptions(mSettings, mSending, mAddress);
    CpuMeter cpu;
    LoopHooks loop;
    loop.intervalSeconds = mSettings.interval;
    loop.omitSeconds = mSettings.omit;
    loop.tick = [&] {
        hearPeers(hooks);
        if (hooks.tick)
            hooks.tick();
    };
    // A receiver stops when every sender it hears from is done.
    loop.keepGoing = [&] {
        return mAborted.isEmpty() && !stopRequested() &&
               (mSending || std::find(mPeerDone.begin(), mPeerDone.end(), false) != mPeerDone.end());
    };
    auto tell = [&](QJsonObject figures) {
        figures[QStringLiteral("side")] = mSending ? QStringLiteral("sender") : QStringLiteral("receiver");
        testreport::putCpu(figures, cpu.interval());
        for (ControlPeer *peer : mPeers)
            peer->send(control::message(QStringLiteral("interval"), {{QStringLiteral("figures"), figures}}));
        if (hooks.ownInterval)
            hooks.ownInterval(figures);
    };
    QJsonObject summary;
    if (mSending) {
        TestPicture picture(o.pattern, o.format);
        const SendFigures total = SendLoop(mHandle, o, picture).run(
            loop, [&](const SendFigures &f) { tell(jsonreport::sendSecond(f)); },
            [&] {
                for (ControlPeer *peer : mPeers)
                    peer->send(control::message(QStringLiteral("done")));
            });
        summary = jsonreport::sendSummary(total);
        summary[QStringLiteral("asked_fps")] = o.fps;
        summary[QStringLiteral("exit_code")] = total.sentTotal > 0 ? 0 : 1;
        if (total.sentTotal == 0)
            summary[QStringLiteral("problem")] = statusText(mHandle);
    } else {
        QString seen;
        const RunSummary total = ReceiveLoop(mHandle, o).run(
            loop,
            [&](const SecondFigures &f) { tell(jsonreport::recvSecond(f, receiveStatus(o, mHandle, seen))); },
            kLateFramesMs);
        QStringList failures = failedThresholds(o.thresholds, total);
        if (!mAborted.isEmpty())
            failures.prepend(QStringLiteral("the test ended early: ") + mAborted);
        summary = jsonreport::recvSummary(total, failures);
    }
    summary[QStringLiteral("side")] = mSending ? QStringLiteral("sender") : QStringLiteral("receiver");
    testreport::putCpu(summary, cpu.total());
    for (ControlPeer *peer : mPeers)
        peer->send(control::message(QStringLiteral("result"), {{QStringLiteral("summary"), summary}}));
    return summary;
}

void TestRun::awaitPeerResults(int timeoutMs, const Hooks &hooks)
{
    const auto deadline = ControlPeer::Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (ControlPeer::Clock::now() < deadline) {
        bool missing = false;
        for (size_t i = 0; i < mPeers.size(); ++i) {
            if (!mPeerResults[i].isEmpty() || mPeers[i]->broken())
                continue;
            missing = true;
            while (const std::optional<control::Message> m = mPeers[i]->take(20)) {
                if (m->type == QLatin1String("interval") || m->type == QLatin1String("result"))
                    hear(i, *m, hooks);
            }
        }
        if (!missing)
            return;
    }
}
