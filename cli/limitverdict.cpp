#include "limitverdict.h"

namespace {

// A process this busy has no time to spare: its CPU is what stops it.
constexpr double kBusyCore = 0.9;
// Within this share of the rate asked, the rate counts as met.
constexpr double kRateMet = 0.95;

QString percent(double share)
{
    return QStringLiteral("%1%").arg(share * 100, 0, 'f', 0);
}

QString fps(double value)
{
    return QString::number(value, 'f', 1);
}

} // namespace

LimitVerdict whoLimits(const LimitFigures &f)
{
    using Who = LimitVerdict::Who;
    const bool sentShort = f.askedFps > 0 && f.sentFps < kRateMet * f.askedFps;
    const bool receivedShort = f.askedFps > 0 && f.receivedFps < kRateMet * f.askedFps;
    if (!sentShort && !receivedShort && f.framesLost == 0 && f.overflowed == 0 && f.lostBetween == 0)
        return {Who::Nothing, QStringLiteral("nothing"),
                QStringLiteral("%1 of %2 fps asked arrived, none lost").arg(fps(f.receivedFps), fps(f.askedFps))};
    if (sentShort && f.senderCpu.ofOneCore >= kBusyCore)
        return {Who::Sender, QStringLiteral("the sender"),
                QStringLiteral("sent %1 of %2 fps asked, its CPU at %3 of a core")
                    .arg(fps(f.sentFps), fps(f.askedFps), percent(f.senderCpu.ofOneCore))};
    if (sentShort && f.madeFps < kRateMet * f.askedFps)
        return {Who::Sender, QStringLiteral("the sender"),
                QStringLiteral("made %1 of %2 fps asked, its CPU at %3 of a core: the process got too little time")
                    .arg(fps(f.madeFps), fps(f.askedFps), percent(f.senderCpu.ofOneCore))};
    if (f.overflowed > 0)
        return {Who::Receiver, QStringLiteral("the receiver"),
                QStringLiteral("%1 datagrams dropped on its own full socket buffer").arg(f.overflowed)};
    if (f.receiverCpu.ofOneCore >= kBusyCore && (receivedShort || f.framesLost > 0))
        return {Who::Receiver, QStringLiteral("the receiver"),
                QStringLiteral("%1 of %2 fps sent arrived, its CPU at %3 of a core")
                    .arg(fps(f.receivedFps), fps(f.sentFps), percent(f.receiverCpu.ofOneCore))};
    if (f.droppedAtReceiver > 0)
        return {Who::Receiver, QStringLiteral("the receiver"),
                QStringLiteral("%1 whole frames dropped before its reader took them").arg(f.droppedAtReceiver)};
    if (f.lostBetween > 0)
        return {Who::Network, QStringLiteral("the network"),
                QStringLiteral("at least %1 datagrams lost between the two ends").arg(f.lostBetween)};
    // A sender short of its rate with CPU to spare was held back by the link (TCP's flow control).
    if (sentShort)
        return {Who::Network, QStringLiteral("the network"),
                QStringLiteral("took %1 of %2 fps asked, the sender's CPU at %3 of a core")
                    .arg(fps(f.sentFps), fps(f.askedFps), percent(f.senderCpu.ofOneCore))};
    return {Who::Unclear, QStringLiteral("unclear"),
            QStringLiteral("%1 of %2 fps asked arrived, %3 frames lost, neither end busy nor a datagram lost")
                .arg(fps(f.receivedFps), fps(f.askedFps)).arg(f.framesLost)};
}
