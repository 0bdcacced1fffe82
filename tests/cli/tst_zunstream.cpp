// zunstream as people run it: `send` and `recv` as two processes over each transport, judged
// by recv's JSON and exit code. The InNamespace cases need a network namespace of their own
// (multicast, nftables loss) and run through netns.sh. Ports 23000-23999, and 24000-24099 for
// the faults found by trying the tool as a user would.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include "zunstreamprocess.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr int kBasePort = 23000;

QStringList args(std::initializer_list<const char *> list)
{
    QStringList all;
    for (const char *a : list)
        all << QString::fromLatin1(a);
    return all;
}

QString port(int offset)
{
    return QString::number(kBasePort + offset);
}

std::unique_ptr<Zunstream> startReceiver(const QStringList &arguments)
{
    auto receiver = std::make_unique<Zunstream>(QStringList{QStringLiteral("recv"), QStringLiteral("--json")} + arguments);
    EXPECT_TRUE(receiver->waitForStderr(QStringLiteral("receiving on")));
    return receiver;
}

Finished run(const QStringList &arguments)
{
    return Zunstream(arguments).finish();
}

void expectSummaryPassed(const Finished &recv)
{
    EXPECT_TRUE(recv.stdoutAllJson) << recv.out.toStdString();
    EXPECT_EQ(recv.last().value(QLatin1String("type")).toString(), QLatin1String("summary"));
    EXPECT_EQ(recv.exitCode, 0) << recv.out.toStdString() << recv.err.toStdString();
    EXPECT_TRUE(recv.last().value(QLatin1String("passed")).toBool());
}

double field(const Finished &f, const char *name)
{
    return f.last().value(QLatin1String(name)).toDouble(-1);
}

class Transports : public ::testing::TestWithParam<const char *> {};

TEST_P(Transports, BarsArriveWholeAndTheThresholdsPass)
{
    const QString protocol = QLatin1String(GetParam());
    const QString p = port(protocol == QLatin1String("udp") ? 1 : protocol == QLatin1String("tcp") ? 2 : 3);
    auto receiver = startReceiver({QStringLiteral("--protocol"), protocol, QStringLiteral("--port"), p,
                                   QStringLiteral("--verify"), QStringLiteral("--seconds"), QStringLiteral("10"),
                                   QStringLiteral("--min-fps"), QStringLiteral("20"), QStringLiteral("--max-loss"),
                                   QStringLiteral("2"), QStringLiteral("--expect"), QStringLiteral("160x120x24")});
    const Finished send = run({QStringLiteral("send"), QStringLiteral("--protocol"), protocol, QStringLiteral("--port"), p,
                               QStringLiteral("--pattern"), QStringLiteral("bars"), QStringLiteral("--size"),
                               QStringLiteral("160x120"), QStringLiteral("--fps"), QStringLiteral("40"),
                               QStringLiteral("--frames"), QStringLiteral("100"), QStringLiteral("--json")});
    EXPECT_EQ(send.exitCode, 0) << send.err.toStdString();
    EXPECT_EQ(field(send, "made_total"), 100);
    // Stopped as the stream ends: a receiver left on long after it would fail for the quiet.
    QThread::msleep(300);
    receiver->interrupt();
    const Finished recv = receiver->finish();
    expectSummaryPassed(recv);
    const double frames = field(recv, "frames");
    EXPECT_GE(frames, 90) << recv.out.toStdString();
    EXPECT_LE(frames, 100);
    EXPECT_EQ(field(recv, "checked"), frames);
    EXPECT_EQ(field(recv, "damaged"), 0);
    EXPECT_EQ(field(recv, "width"), 160);
    EXPECT_EQ(field(recv, "depth"), 24);
    EXPECT_TRUE(recv.last().value(QLatin1String("clock_shared")).toBool());
    EXPECT_GE(field(recv, "latency_median_ms"), 0);
    // One object a second before the summary, the seconds adding up to the summary.
    double perSecond = 0;
    for (const QJsonObject &o : recv.objects.mid(0, recv.objects.size() - 1)) {
        EXPECT_EQ(o.value(QLatin1String("type")).toString(), QLatin1String("second"));
        perSecond += o.value(QLatin1String("frames")).toDouble();
    }
    EXPECT_GE(recv.objects.size(), 3);
    EXPECT_EQ(perSecond, frames);
}

INSTANTIATE_TEST_SUITE_P(Each, Transports, ::testing::Values("udp", "tcp", "memory"),
                         [](const auto &info) { return std::string(info.param); });

TEST(Verify, JpegFramesAreScoredAndPass)
{
    auto receiver = startReceiver(args({"--protocol", "memory", "--port", "23004", "--min-psnr", "20", "--seconds", "2.5"}));
    run(args({"send", "--protocol", "memory", "--port", "23004", "--pattern", "bars", "--jpeg", "60", "--size",
              "320x240", "--depth", "16", "--fps", "30", "--seconds", "2"}));
    const Finished recv = receiver->finish();
    expectSummaryPassed(recv);
    EXPECT_TRUE(recv.last().value(QLatin1String("jpeg")).toBool());
    EXPECT_GE(field(recv, "worst_psnr_db"), 20);
    EXPECT_LT(field(recv, "worst_psnr_db"), 100) << "JPEG at level 60 is not lossless";
    EXPECT_EQ(field(recv, "damaged"), 0);
}

// A second sender on the same UDP port puts the window's lines between the bars: every one of
// its frames is a wrong picture for the frame number it carries.
TEST(Verify, FindsTheFramesOfAnIntruder)
{
    auto receiver = startReceiver(args({"--port", "23005", "--verify", "--seconds", "3"}));
    Zunstream intruder(args({"send", "--port", "23005", "--pattern", "lines", "--size", "160x120", "--fps", "10",
                             "--seconds", "2"}));
    Zunstream sender(args({"send", "--port", "23005", "--pattern", "bars", "--size", "160x120", "--fps", "30",
                           "--seconds", "2"}));
    intruder.finish();
    sender.finish();
    const Finished recv = receiver->finish();
    EXPECT_EQ(recv.exitCode, 1);
    const double damaged = field(recv, "damaged");
    EXPECT_GE(damaged, 10) << recv.out.toStdString();
    EXPECT_LE(damaged, 25) << "only the intruder's frames are damaged";
    EXPECT_TRUE(recv.last().value(QLatin1String("failures")).toArray().first().toString().contains(QLatin1String("damaged")));
}

TEST(Thresholds, AMissedThresholdExitsOneWithTheReasons)
{
    auto receiver = startReceiver(args({"--port", "23006", "--seconds", "2.5", "--min-fps", "50", "--expect", "160x120x32"}));
    run(args({"send", "--port", "23006", "--size", "160x120", "--fps", "20", "--seconds", "2"}));
    const Finished recv = receiver->finish();
    EXPECT_EQ(recv.exitCode, 1);
    EXPECT_FALSE(recv.last().value(QLatin1String("passed")).toBool());
    const QJsonArray failures = recv.last().value(QLatin1String("failures")).toArray();
    ASSERT_EQ(failures.size(), 2) << recv.out.toStdString();
    EXPECT_TRUE(failures[0].toString().contains(QLatin1String("--min-fps 50")));
    EXPECT_TRUE(failures[1].toString().contains(QLatin1String("160x120x24 arrived")));
    EXPECT_EQ(field(recv, "exit_code"), 1);
}

TEST(Thresholds, NothingArrivingFails)
{
    const Finished recv = run(args({"recv", "--port", "23007", "--seconds", "1.2"}));
    EXPECT_EQ(recv.exitCode, 1);
    EXPECT_TRUE(recv.out.contains(QLatin1String("waiting for a first frame on udp port 23007, group 239.255.105.88 "
                                                "joined on lo")))
        << recv.out.toStdString();
    EXPECT_TRUE(recv.out.contains(QLatin1String("no frame arrived")));
}

TEST(Status, ASenderSaysWhyNothingLeavesAndExitsOne)
{
    const Finished send = run(args({"send", "--protocol", "tcp", "--port", "23014", "--seconds", "1.3", "--json"}));
    EXPECT_EQ(send.exitCode, 1);
    EXPECT_EQ(field(send, "exit_code"), 1);
    EXPECT_TRUE(send.err.contains(QRegularExpression(QStringLiteral("zunstream send: no frame was sent: .*Connection refused"))))
        << send.err.toStdString();
    ASSERT_GE(send.objects.size(), 2);
    const QJsonObject second = send.objects.first();
    EXPECT_EQ(second.value(QLatin1String("state")).toString(), QLatin1String("connecting"));
    EXPECT_TRUE(second.value(QLatin1String("status")).toString().contains(QLatin1String("Connection refused")))
        << send.out.toStdString();
    EXPECT_EQ(field(send, "sent_total"), 0);
    EXPECT_GT(field(send, "dropped_total"), 0);

    const Finished unresolved = run(args({"send", "--address", "no-such-host.invalid", "--port", "24010", "--seconds", "1.2"}));
    EXPECT_EQ(unresolved.exitCode, 1) << unresolved.out.toStdString();
    EXPECT_TRUE(unresolved.err.contains(QLatin1String("no frame was sent: "))) << unresolved.err.toStdString();
    EXPECT_TRUE(unresolved.err.contains(QLatin1String("no-such-host.invalid"))) << unresolved.err.toStdString();
}

// A stream that stops long before the receiver does fails it, and the receiver, which asked
// for no size, blames no format when it stalls.
TEST(Faults, AnOutageFailsTheRunAndTheStallBlamesNoFormat)
{
    auto receiver = startReceiver(args({"--protocol", "memory", "--port", "24001", "--seconds", "3.5"}));
    run(args({"send", "--protocol", "memory", "--port", "24001", "--size", "160x120", "--fps", "30", "--seconds", "1"}));
    const Finished recv = receiver->finish();
    EXPECT_EQ(recv.exitCode, 1) << recv.out.toStdString();
    const QJsonArray failures = recv.last().value(QLatin1String("failures")).toArray();
    EXPECT_TRUE(failures.first().toString().startsWith(QLatin1String("no frame for the last "))) << recv.out.toStdString();
    EXPECT_GT(field(recv, "quiet_at_end_s"), 1.5);
    EXPECT_LT(field(recv, "fps"), 20) << "30 fps for a third of the run";
    bool stalled = false;
    for (const QJsonObject &second : recv.objects) {
        const QString status = second.value(QLatin1String("status")).toString();
        stalled = stalled || second.value(QLatin1String("state")).toString() == QLatin1String("stalled");
        EXPECT_FALSE(status.contains(QLatin1String("asked for"))) << status.toStdString();
    }
    EXPECT_TRUE(stalled) << recv.out.toStdString();
    // The lines for people, on stderr beside the JSON: a header over columns that fit a terminal.
    EXPECT_TRUE(recv.err.contains(QRegularExpression(QStringLiteral("\\n  time +fps +Mbit/s +frames +lost"))))
        << recv.err.toStdString();
    for (const QString &line : recv.err.split(QLatin1Char('\n')))
        EXPECT_LE(line.size(), 100) << line.toStdString();
}

// A fixed pacing rate holds a sender of raw frames to it: at 30 fps these frames would take
// 221 Mbit/s.
TEST(Faults, PacingRateHoldsTheSenderToIt)
{
    const Finished send = run(args({"send", "--port", "24002", "--fps", "30", "--seconds", "2", "--pacing-mbps", "40",
                                    "--json"}));
    EXPECT_EQ(send.exitCode, 0) << send.err.toStdString();
    EXPECT_GT(field(send, "wire_mbps"), 20) << send.out.toStdString();
    EXPECT_LT(field(send, "wire_mbps"), 48) << send.out.toStdString();
}

TEST(BadArguments, ExitTwoWithOneLineAndNothingStarted)
{
    const QList<QStringList> bad = {
        args({"send", "--depth", "12"}),
        args({"send", "--size", "9000x100", "--port", "23008"}), // refused by the library
        args({"recv", "--max-loss", "120"}),
        args({"recv", "--nonsense"}),
        args({"transmit"}),
        args({}),
    };
    for (const QStringList &arguments : bad) {
        const Finished f = run(arguments);
        EXPECT_EQ(f.exitCode, 2) << arguments.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(f.out.isEmpty()) << f.out.toStdString();
        EXPECT_TRUE(f.err.startsWith(QLatin1String("zunstream")) || f.err.startsWith(QLatin1String("Usage")))
            << f.err.toStdString();
        if (!arguments.isEmpty()) {
            EXPECT_EQ(f.err.count(QLatin1Char('\n')), 1) << f.err.toStdString();
        }
    }
    EXPECT_TRUE(run(args({"send", "--size", "9000x100"})).err.contains(QLatin1String("sizes are 1 to 8192")));
}

TEST(BadArguments, AHeldPortIsRefusedBeforeAnythingStarts)
{
    Zunstream holder(args({"send", "--protocol", "memory", "--port", "23009", "--seconds", "3"}));
    QThread::msleep(500);
    const Finished second = run(args({"send", "--protocol", "memory", "--port", "23009", "--seconds", "1"}));
    EXPECT_EQ(second.exitCode, 2);
    EXPECT_TRUE(second.err.contains(QLatin1String("another sender holds it"))) << second.err.toStdString();
    holder.interrupt();
    EXPECT_EQ(holder.finish().exitCode, 0);

    auto listener = startReceiver(args({"--protocol", "tcp", "--port", "23010", "--seconds", "3"}));
    const Finished clash = run(args({"recv", "--protocol", "tcp", "--port", "23010", "--seconds", "1"}));
    EXPECT_EQ(clash.exitCode, 2);
    EXPECT_TRUE(clash.err.contains(QLatin1String("cannot receive on tcp port 23010"))) << clash.err.toStdString();
    listener->interrupt();
}

TEST(Interrupt, CtrlCStillPrintsTheSummary)
{
    auto receiver = startReceiver(args({"--protocol", "memory", "--port", "23011"}));
    Zunstream sender(args({"send", "--protocol", "memory", "--port", "23011", "--size", "64x48", "--fps", "50"}));
    QThread::msleep(1500);
    receiver->interrupt();
    const Finished recv = receiver->finish(5000);
    expectSummaryPassed(recv);
    EXPECT_GE(field(recv, "frames"), 10);
    sender.interrupt();
    const Finished send = sender.finish(5000);
    EXPECT_EQ(send.exitCode, 0);
    EXPECT_TRUE(send.out.contains(QLatin1String("summary:"))) << send.out.toStdString();
}

TEST(Check, ReportsCapacityAndJudgesTheRateAsked)
{
    const Finished fits = run(args({"check", "--protocol", "memory", "--port", "23012", "--size", "160x120",
                                    "--seconds", "1", "--fps", "25", "--json"}));
    EXPECT_EQ(fits.exitCode, 0) << fits.out.toStdString() << fits.err.toStdString();
    EXPECT_EQ(fits.last().value(QLatin1String("type")).toString(), QLatin1String("check"));
    EXPECT_GE(field(fits, "fps"), 25);
    EXPECT_GE(field(fits, "made"), field(fits, "frames"));

    const Finished tooMuch = run(args({"check", "--protocol", "tcp", "--port", "23013", "--size", "1920x1080",
                                       "--depth", "32", "--seconds", "1", "--fps", "10000"}));
    EXPECT_EQ(tooMuch.exitCode, 1) << tooMuch.out.toStdString();
    EXPECT_TRUE(tooMuch.out.contains(QLatin1String("10000 fps is out of reach"))) << tooMuch.out.toStdString();
}

bool inNamespace()
{
    return std::getenv("ZUN_TEST_NETNS") != nullptr;
}

TEST(InNamespace, MulticastReachesTheReceiver)
{
    if (!inNamespace())
        GTEST_SKIP() << "runs only in a private network namespace (tests/transport/netns.sh)";
    auto receiver = startReceiver(args({"--port", "23020", "--verify", "--seconds", "2.5", "--min-fps", "20"}));
    run(args({"send", "--address", "239.255.105.88", "--port", "23020", "--pattern", "bars", "--size", "320x240",
              "--fps", "30", "--seconds", "2"}));
    const Finished recv = receiver->finish();
    expectSummaryPassed(recv);
    EXPECT_GE(field(recv, "frames"), 40);
}

// A receiver joins the group it is told; one that is not told does not hear it.
TEST(InNamespace, RecvJoinsAnotherGroup)
{
    if (!inNamespace())
        GTEST_SKIP() << "runs only in a private network namespace (tests/transport/netns.sh)";
    auto joined = startReceiver(args({"--port", "23022", "--group", "239.1.2.3@127.0.0.1", "--seconds", "2.5"}));
    auto deaf = startReceiver(args({"--port", "23022", "--seconds", "2.5"}));
    run(args({"send", "--address", "239.1.2.3", "--port", "23022", "--size", "64x48", "--fps", "30", "--seconds", "2"}));
    const Finished heard = joined->finish();
    expectSummaryPassed(heard);
    EXPECT_GE(field(heard, "frames"), 40);
    const Finished notHeard = deaf->finish();
    EXPECT_EQ(field(notHeard, "frames"), 0);
    EXPECT_EQ(notHeard.exitCode, 1);
    EXPECT_EQ(run(args({"recv", "--group", "10.1.2.3", "--port", "23023"})).exitCode, 2) << "not a multicast group";
    // An interface address this host lacks joins nothing: refused at once, in one line.
    const Finished nowhere = run(args({"recv", "--group", "239.1.2.3@192.0.2.77", "--port", "24003", "--seconds", "1"}));
    EXPECT_EQ(nowhere.exitCode, 2) << nowhere.out.toStdString();
    EXPECT_TRUE(nowhere.out.isEmpty()) << nowhere.out.toStdString();
    EXPECT_EQ(nowhere.err.count(QLatin1Char('\n')), 1) << nowhere.err.toStdString();
    EXPECT_TRUE(nowhere.err.contains(QLatin1String("no interface of this host has address 192.0.2.77")))
        << nowhere.err.toStdString();
}

QString shell(const QString &command)
{
    QProcess process;
    process.start(QStringLiteral("sh"), {QStringLiteral("-c"), command});
    process.waitForFinished(10000);
    return QString::fromLocal8Bit(process.readAllStandardOutput() + process.readAllStandardError());
}

// Frames of 160 x 120 x 24 fit one datagram each and go without parity, so every datagram
// nftables drops is one frame number the receiver never sees.
TEST(InNamespace, LossFigureMatchesTheDatagramsDropped)
{
    if (!inNamespace())
        GTEST_SKIP() << "runs only in a private network namespace (tests/transport/netns.sh)";
    if (std::system("nft list ruleset >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "nftables is not usable here";
    const QString rules = QStringLiteral(
        "nft -f - <<'EOF'\nadd table inet zuncli\ndelete table inet zuncli\ntable inet zuncli {\n"
        "  chain in {\n    type filter hook input priority 0; policy accept;\n"
        "    udp dport 23021 numgen random mod 100 < 10 counter drop\n  }\n}\nEOF\n");
    ASSERT_TRUE(shell(rules).trimmed().isEmpty());
    // Stopped a little after the sender ends, so a slow start under load loses no frame at the end.
    auto receiver = startReceiver(args({"--port", "23021", "--seconds", "10", "--max-loss", "30"}));
    const Finished send = run(args({"send", "--port", "23021", "--size", "160x120", "--fps", "100", "--seconds", "3",
                                    "--redundancy", "0", "--json"}));
    QThread::msleep(300);
    receiver->interrupt();
    const Finished recv = receiver->finish();
    const QRegularExpression packets(QStringLiteral("counter packets (\\d+)"));
    const double dropped = packets.match(shell(QStringLiteral("nft list chain inet zuncli in"))).captured(1).toDouble();
    shell(QStringLiteral("nft delete table inet zuncli"));
    const double sent = field(send, "sent_total");
    const double lost = field(recv, "lost");
    std::printf("[ figures  ] %g frames sent, %g datagrams dropped, %g frames lost (%.2f %%), %g received\n", sent,
                dropped, lost, field(recv, "loss_percent"), field(recv, "frames"));
    expectSummaryPassed(recv);
    EXPECT_GT(dropped, 10);
    // Drops before the first frame or after the last leave no gap to see.
    EXPECT_LE(lost, dropped);
    EXPECT_GE(lost, dropped - 3);
    EXPECT_NEAR(field(recv, "frames") + dropped, sent, 1) << "every frame sent is received or dropped";
    // Each drop at an edge also takes a frame out of what the receiver counts the share of.
    EXPECT_NEAR(field(recv, "loss_percent"), 100 * dropped / sent, 0.5 + 100 * (dropped - lost) / sent);
    EXPECT_EQ(field(recv, "incomplete"), 0);
}

// Raw 640 x 480 frames take about 15 datagrams each on loopback. With half the datagrams of one
// port dropped and no parity, no frame comes whole: all are lost, and the wire still carried
// what arrived. With 2% dropped on another port and the default parity, the lost datagrams are
// rebuilt, and the receiver says so.
TEST(InNamespace, TotalLossIsLossAndRepairsAreTold)
{
    if (!inNamespace())
        GTEST_SKIP() << "runs only in a private network namespace (tests/transport/netns.sh)";
    if (std::system("nft list ruleset >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "nftables is not usable here";
    const QString rules = QStringLiteral(
        "nft -f - <<'EOF'\nadd table inet zunfaults\ndelete table inet zunfaults\ntable inet zunfaults {\n"
        "  chain in {\n    type filter hook input priority 0; policy accept;\n"
        "    udp dport 24020 numgen random mod 100 < 50 drop\n"
        "    udp dport 24021 numgen random mod 100 < 2 drop\n  }\n}\nEOF\n");
    ASSERT_TRUE(shell(rules).trimmed().isEmpty());
    auto lossy = startReceiver(args({"--port", "24020", "--seconds", "10"}));
    auto repaired = startReceiver(args({"--port", "24021", "--seconds", "10"}));
    Zunstream toLossy(args({"send", "--port", "24020", "--fps", "20", "--seconds", "2", "--redundancy", "0"}));
    Zunstream toRepaired(args({"send", "--port", "24021", "--fps", "20", "--seconds", "2"}));
    toLossy.finish();
    toRepaired.finish();
    QThread::msleep(300);
    lossy->interrupt();
    repaired->interrupt();
    const Finished none = lossy->finish();
    const Finished mended = repaired->finish();
    shell(QStringLiteral("nft delete table inet zunfaults"));

    EXPECT_EQ(none.exitCode, 1);
    EXPECT_LE(field(none, "frames"), 1) << none.out.toStdString();
    EXPECT_GE(field(none, "incomplete"), 30);
    EXPECT_GE(field(none, "lost"), field(none, "incomplete"));
    EXPECT_GT(field(none, "loss_percent"), 95);
    EXPECT_GT(field(none, "wire_mbps"), 10) << "half of 147 Mbit/s arrived";

    std::printf("[ figures  ] %g frames, %g datagrams rebuilt in %g frames, %g incomplete\n", field(mended, "frames"),
                field(mended, "repaired_datagrams"), field(mended, "repaired_frames"), field(mended, "incomplete"));
    EXPECT_GT(field(mended, "repaired_datagrams"), 0) << mended.out.toStdString();
    EXPECT_GE(field(mended, "repaired_datagrams"), field(mended, "repaired_frames"));
    EXPECT_EQ(field(mended, "buffer_overflow"), 0);
    double repairedEachSecond = 0;
    for (const QJsonObject &second : mended.objects.mid(0, mended.objects.size() - 1))
        repairedEachSecond += second.value(QLatin1String("repaired_datagrams")).toDouble();
    EXPECT_EQ(repairedEachSecond, field(mended, "repaired_datagrams"));
}

} // namespace
