// What held a test back: the process CPU meter, by the interval and over the run, and the
// verdict that names the sender, the receiver or the network with the figure behind it.

#include "cpumeter.h"
#include "limitverdict.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

TEST(CpuMeter, IntervalsAndTheRunAsSharesOfACoreAndOfTheMachine)
{
    CpuMeter::Sample now{10, 100};
    CpuMeter meter([&now] { return now; }, 4);
    now = {10.5, 101}; // half a core for a second
    const CpuShare first = meter.interval();
    EXPECT_DOUBLE_EQ(first.cpuSeconds, 0.5);
    EXPECT_DOUBLE_EQ(first.ofOneCore, 0.5);
    EXPECT_DOUBLE_EQ(first.ofMachine, 0.125);
    now = {13.5, 102}; // three threads busy the next second
    const CpuShare second = meter.interval();
    EXPECT_DOUBLE_EQ(second.ofOneCore, 3);
    EXPECT_DOUBLE_EQ(second.ofMachine, 0.75);
    const CpuShare run = meter.total();
    EXPECT_DOUBLE_EQ(run.cpuSeconds, 3.5);
    EXPECT_DOUBLE_EQ(run.wallSeconds, 2);
    EXPECT_DOUBLE_EQ(run.ofOneCore, 1.75);
    EXPECT_DOUBLE_EQ(meter.interval().ofOneCore, 0) << "no time passed: no share, and no division by zero";
}

TEST(CpuMeter, ThisProcessSpendsWhatItBurns)
{
    CpuMeter meter;
    EXPECT_GE(meter.cores(), 1);
    const CpuMeter::Sample start = CpuMeter::processSample();
    volatile double sink = 0;
    while (CpuMeter::processSample().cpuSeconds - start.cpuSeconds < 0.05)
        sink = sink + 1;
    const CpuShare run = meter.total();
    EXPECT_GE(run.cpuSeconds, 0.05);
    EXPECT_LE(run.cpuSeconds, run.wallSeconds + 0.01) << "one thread spends no more than the time that passed";
    EXPECT_NEAR(run.ofMachine, run.ofOneCore / meter.cores(), 1e-9);
}

LimitFigures cleanRun()
{
    LimitFigures f;
    f.askedFps = f.madeFps = f.sentFps = f.receivedFps = 30;
    f.senderCpu.ofOneCore = f.receiverCpu.ofOneCore = 0.3;
    return f;
}

TEST(WhoLimits, EachEndAndTheNetworkWithTheFigure)
{
    using Who = LimitVerdict::Who;
    EXPECT_EQ(whoLimits(cleanRun()).who, Who::Nothing);

    LimitFigures sender = cleanRun();
    sender.sentFps = sender.receivedFps = 21.3;
    sender.senderCpu.ofOneCore = 0.98;
    const LimitVerdict s = whoLimits(sender);
    EXPECT_EQ(s.who, Who::Sender);
    EXPECT_EQ(s.figure, QStringLiteral("sent 21.3 of 30.0 fps asked, its CPU at 98% of a core"));

    LimitFigures overflow = cleanRun();
    overflow.overflowed = 120;
    overflow.lostBetween = 0;
    overflow.framesLost = 12;
    const LimitVerdict r = whoLimits(overflow);
    EXPECT_EQ(r.who, Who::Receiver);
    EXPECT_EQ(r.figure, QStringLiteral("120 datagrams dropped on its own full socket buffer"));

    LimitFigures busyReceiver = cleanRun();
    busyReceiver.receivedFps = 24;
    busyReceiver.framesLost = 30;
    busyReceiver.receiverCpu.ofOneCore = 1.0;
    EXPECT_EQ(whoLimits(busyReceiver).who, Who::Receiver);
    // Busy but keeping up: it limited nothing.
    LimitFigures busyButFine = cleanRun();
    busyButFine.receiverCpu.ofOneCore = 1.0;
    EXPECT_EQ(whoLimits(busyButFine).who, Who::Nothing);

    LimitFigures network = cleanRun();
    network.receivedFps = 28;
    network.framesLost = 60;
    network.lostBetween = 75;
    const LimitVerdict n = whoLimits(network);
    EXPECT_EQ(n.who, Who::Network);
    EXPECT_EQ(n.word, QStringLiteral("the network"));
    EXPECT_EQ(n.figure, QStringLiteral("at least 75 datagrams lost between the two ends"));

    // Frames its loop never made: a starved sender, however idle its CPU looks.
    LimitFigures starved = cleanRun();
    starved.madeFps = starved.sentFps = starved.receivedFps = 25.6;
    const LimitVerdict st = whoLimits(starved);
    EXPECT_EQ(st.who, Who::Sender);
    EXPECT_TRUE(st.figure.startsWith(QLatin1String("made 25.6 of 30.0 fps asked"))) << st.figure.toStdString();

    // Whole frames the receiving library dropped for a slow reader: neither the link nor parity.
    LimitFigures slowReader = cleanRun();
    slowReader.receivedFps = 17.4;
    slowReader.framesLost = 60;
    slowReader.droppedAtReceiver = 60;
    const LimitVerdict sr = whoLimits(slowReader);
    EXPECT_EQ(sr.who, Who::Receiver);
    EXPECT_EQ(sr.figure, QStringLiteral("60 whole frames dropped before its reader took them"));

    // Short of the rate with CPU to spare: the link held the sender back.
    LimitFigures flowControl = cleanRun();
    flowControl.sentFps = flowControl.receivedFps = 12;
    EXPECT_EQ(whoLimits(flowControl).who, Who::Network);
    EXPECT_TRUE(whoLimits(flowControl).figure.contains(QLatin1String("12.0 of 30.0 fps")));
}

} // namespace
