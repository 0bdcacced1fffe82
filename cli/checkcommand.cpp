#include "commands.h"

#include "console.h"
#include "endpoints.h"
#include "framereceiver.h"
#include "report.h"
#include "stopsignal.h"
#include "testpicture.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Pictures drawn before the clock starts, so the run measures the link, not the drawing.
constexpr uint32_t kPictureCycle = 16;

} // namespace

int runCheck(const Options &o)
{
    TestPicture picture(o.pattern, o.format);
    if (!picture.isValid()) {
        console::error("check", QStringLiteral("no test picture at %1 bits").arg(depthBits(o.format.depth)));
        return kExitUsage;
    }
    std::vector<std::vector<uint8_t>> pictures;
    const uint32_t frameBytes = zunGetByteSize(&o.format);
    for (uint32_t i = 0; i < kPictureCycle && frameBytes > 0; ++i) {
        const uint8_t *pixels = picture.frame(i);
        pictures.emplace_back(pixels, pixels + frameBytes);
    }
    QString why;
    const uint32_t decoder = openDecoder(o, &why);
    if (decoder == 0) {
        console::error("check", why);
        return kExitUsage;
    }
    const uint32_t encoder = openEncoder(o, QStringLiteral("127.0.0.1"), &why);
    if (encoder == 0) {
        zunDeleteDecoder(decoder);
        console::error("check", why);
        return kExitUsage;
    }
    console::err(QStringLiteral("checking %1 for %2 s").arg(settingName(o)).arg(o.seconds));

    std::atomic<bool> done{false};
    std::atomic<uint64_t> made{0};
    std::jthread sender([&] {
        while (!done.load()) {
            zunEncode(encoder, pictures[made % kPictureCycle].data());
            ++made;
        }
    });

    const auto start = Clock::now();
    LinkMeter meter(false, monotonicNowNs());
    FrameReceiver receiver(decoder, meter, false);
    console::err(textreport::recvHeader(false));
    auto nextReport = start + std::chrono::seconds(1);
    auto elapsed = [&start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    while (!stopRequested() && elapsed() < o.seconds) {
        if (Clock::now() >= nextReport) {
            console::err(textreport::recvSecond(meter.closeSecond(DecoderCounters::of(decoder), elapsed()),
                                                QStringLiteral("nothing arrives"), false));
            nextReport += std::chrono::seconds(1);
        }
        if (!receiver.takeOne())
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    done.store(true);
    sender.join();
    const double ran = elapsed();

    CheckResult result;
    result.setting = settingName(o);
    ZunStreamStats sent{};
    zunGetStreamStats(encoder, &sent);
    result.send.elapsed = ran;
    result.send.madeTotal = made.load();
    result.send.sentTotal = sent.framesSent;
    result.send.droppedTotal = sent.framesDropped;
    result.send.fps = ran > 0 ? double(made.load()) / ran : 0;
    result.receive = meter.summary(DecoderCounters::of(decoder), ran);
    if (o.fpsGiven) {
        result.wantedFps = o.fps;
        result.passed = result.receive.fps >= o.fps;
    }
    zunDeleteEncoder(encoder);
    zunDeleteDecoder(decoder);
    o.json ? console::json(jsonreport::check(result)) : console::out(textreport::check(result));
    return result.passed ? kExitPassed : kExitFailed;
}
