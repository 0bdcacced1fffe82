#include "testoptions.h"

// A receiver told nothing ends this long after the test should have: the sender has gone.
constexpr double kReceiverGraceSeconds = 5;

Options endOptions(const TestSettings &s, bool sending, const QString &address)
{
    Options o;
    o.command = sending ? Command::Send : Command::Recv;
    o.protocol = protocolOfName(s.protocol).value_or(ZUN_PROTOCOL_UDP);
    o.port = uint32_t(s.port);
    o.seconds = sending ? s.seconds : s.seconds + kReceiverGraceSeconds;
    if (sending) {
        o.address = address;
        o.format = StreamFormat{uint16_t(s.size.width), uint16_t(s.size.height),
                                depthOfBits(s.size.depth).value_or(ZUN_DEPTH_RGB888), 1};
        o.fps = s.fps;
        o.fpsGiven = true;
        if (s.jpegLevel)
            o.jpegLevel = uint32_t(*s.jpegLevel);
        if (s.redundancy)
            o.redundancy = uint32_t(*s.redundancy);
        o.pacingMbps = s.pacingMbps;
        o.pattern = s.pattern == QLatin1String("bars") ? Pattern::Bars : Pattern::Lines;
        return o;
    }
    o.group = address;
    o.verify = s.verify || s.minPsnr;
    o.thresholds.minFps = s.minFps;
    o.thresholds.maxLossPercent = s.maxLossPercent;
    o.thresholds.maxLatencyMs = s.maxLatencyMs;
    o.thresholds.minPsnr = s.minPsnr;
    if (s.expect)
        o.thresholds.expect = StreamFormat{uint16_t(s.expect->width), uint16_t(s.expect->height),
                                           depthOfBits(s.expect->depth).value_or(ZUN_DEPTH_RGB888), 1};
    return o;
}

TestSettings settingsOfOptions(const Options &o)
{
    TestSettings s;
    s.protocol = protocolName(o.protocol);
    s.size = {o.format.width, o.format.height, depthBits(o.format.depth)};
    s.fps = o.fps;
    if (o.jpegLevel)
        s.jpegLevel = int(*o.jpegLevel);
    if (o.redundancy)
        s.redundancy = int(*o.redundancy);
    s.pacingMbps = o.pacingMbps;
    s.pattern = o.pattern == Pattern::Bars ? QStringLiteral("bars") : QStringLiteral("lines");
    s.port = int(o.port);
    s.seconds = o.seconds;
    s.omit = o.omitSeconds;
    s.interval = o.intervalSeconds;
    s.reverse = o.reverse;
    s.group = o.group.section(QLatin1Char('@'), 0, 0);
    s.verify = o.verify;
    s.minFps = o.thresholds.minFps;
    s.maxLossPercent = o.thresholds.maxLossPercent;
    s.maxLatencyMs = o.thresholds.maxLatencyMs;
    s.minPsnr = o.thresholds.minPsnr;
    if (o.thresholds.expect)
        s.expect = TestSettings::Format{o.thresholds.expect->width, o.thresholds.expect->height,
                                        depthBits(o.thresholds.expect->depth)};
    return s;
}
