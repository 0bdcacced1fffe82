#include "commands.h"

#include "console.h"
#include "endpoints.h"
#include "linkstatus.h"
#include "report.h"
#include "stopsignal.h"
#include "testpicture.h"

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Keeps a sender's counters and turns them into figures once a second.
class SendTally
{
public:
    explicit SendTally(uint32_t encoder) : mEncoder(encoder) {}

    void madeOne() { ++mMade; }
    uint64_t made() const { return mMade; }

    SendFigures second(double elapsed)
    {
        ZunStreamStats now{};
        zunGetStreamStats(mEncoder, &now);
        const double span = elapsed - mLastElapsed;
        SendFigures f;
        f.elapsed = elapsed;
        f.made = mMade - mLastMade;
        f.madeTotal = mMade;
        f.sent = now.framesSent - mLast.framesSent;
        f.sentTotal = now.framesSent;
        f.dropped = now.framesDropped - mLast.framesDropped;
        f.droppedTotal = now.framesDropped;
        f.fps = span > 0 ? double(f.sent) / span : 0;
        f.wireMbps = span > 0 ? double(now.bytesTransferred - mLast.bytesTransferred) * 8 / span / 1e6 : 0;
        f.status = sendStatus(mEncoder);
        mLast = now;
        mLastMade = mMade;
        mLastElapsed = elapsed;
        return f;
    }

    SendFigures total(double elapsed) const
    {
        ZunStreamStats now{};
        zunGetStreamStats(mEncoder, &now);
        SendFigures f;
        f.elapsed = elapsed;
        f.madeTotal = mMade;
        f.sentTotal = now.framesSent;
        f.droppedTotal = now.framesDropped;
        f.fps = elapsed > 0 ? double(now.framesSent) / elapsed : 0;
        f.wireMbps = elapsed > 0 ? double(now.bytesTransferred) * 8 / elapsed / 1e6 : 0;
        f.status = sendStatus(mEncoder);
        return f;
    }

private:
    uint32_t mEncoder;
    uint64_t mMade = 0, mLastMade = 0;
    ZunStreamStats mLast{};
    double mLastElapsed = 0;
};

} // namespace

int runSend(const Options &o)
{
    TestPicture picture(o.pattern, o.format);
    if (!picture.isValid()) {
        console::error("send", QStringLiteral("no test picture at %1 bits").arg(depthBits(o.format.depth)));
        return kExitUsage;
    }
    QString why;
    const uint32_t encoder = openEncoder(o, o.address, &why);
    if (encoder == 0) {
        console::error("send", why);
        return kExitUsage;
    }
    const QString header = QStringLiteral("sending %1 to %2 at %3 fps")
                               .arg(settingName(o), o.protocol == ZUN_PROTOCOL_MEMORY ? QStringLiteral("this host") : o.address)
                               .arg(o.fps);
    // The lines for people go to stderr when stdout carries the JSON.
    const auto text = o.json ? console::err : console::out;
    text(header + (o.pacingMbps ? QStringLiteral(", paced at %1 Mbit/s").arg(*o.pacingMbps) : QString()));
    text(textreport::sendHeader());

    SendTally tally(encoder);
    const auto start = Clock::now();
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / o.fps));
    auto nextFrame = start;
    auto nextReport = start + std::chrono::seconds(1);
    auto elapsed = [&start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    while (!stopRequested()) {
        const auto now = Clock::now();
        if (o.seconds > 0 && elapsed() >= o.seconds)
            break;
        if (o.frames > 0 && tally.made() >= o.frames)
            break;
        if (now >= nextReport) {
            const SendFigures second = tally.second(elapsed());
            if (o.json)
                console::json(jsonreport::sendSecond(second));
            text(textreport::sendSecond(second));
            nextReport += std::chrono::seconds(1);
        }
        if (now < nextFrame) {
            std::this_thread::sleep_until(std::min(nextFrame, nextReport));
            continue;
        }
        // The library numbers every frame handed to it from 0, as the picture is numbered here.
        zunEncode(encoder, picture.frame(uint32_t(tally.made())));
        tally.madeOne();
        // A sender that fell behind by more than a frame starts afresh instead of bursting.
        nextFrame = std::max(nextFrame + period, Clock::now() - period);
    }
    const double ran = elapsed();
    // Time for the frames still queued to leave before the encoder goes.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const SendFigures total = tally.total(ran);
    const QString problem = statusText(encoder);
    zunDeleteEncoder(encoder);
    const int exitCode = total.sentTotal > 0 ? kExitPassed : kExitFailed;
    if (o.json) {
        QJsonObject summary = jsonreport::sendSummary(total);
        summary[QStringLiteral("exit_code")] = exitCode;
        console::json(summary);
    } else {
        console::out(textreport::sendSummary(total));
    }
    if (exitCode != kExitPassed)
        console::error("send", QStringLiteral("no frame was sent: %1")
                                   .arg(problem.isEmpty() ? QStringLiteral("the library was %1").arg(total.status.state) : problem));
    return exitCode;
}
