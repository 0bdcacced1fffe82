// `zunstream serve` and `zunstream test`: the control messages and the agreed test read from
// hostile bytes, the key's proof, the server's limits, and tests run over loopback as people
// run them. The InNamespace cases need namespaces of their own (a veth link taken down, a
// multicast stream to two servers) and run through netns.sh. Ports 24100-24499.

#include "controlprotocol.h"
#include "controlserver.h"
#include "keyproof.h"
#include "testreport.h"
#include "testsettings.h"
#include "zunstreamprocess.h"
#include "netns.h"

#include <QJsonArray>
#include <QTemporaryFile>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

QStringList args(std::initializer_list<const char *> list)
{
    QStringList all;
    for (const char *a : list)
        all << QString::fromLatin1(a);
    return all;
}

QString refusalOf(const QJsonObject &object)
{
    return control::parseControlLine(control::lineOf(object)).error;
}

QString settingsError(const QJsonObject &test)
{
    return settingsFromJson(test).error;
}

TEST(ControlLine, RefusesWhatIsNoMessageNamingWhy)
{
    EXPECT_TRUE(control::parseControlLine(QByteArray(control::kLineLimit + 1, 'x')).error.contains(QLatin1String("64 KiB")));
    EXPECT_TRUE(control::parseControlLine("GET / HTTP/1.1\r\n").error.contains(QLatin1String("HTTP")));
    EXPECT_TRUE(control::parseControlLine("{\"type\":\"hel").error.startsWith(QLatin1String("not JSON")));
    EXPECT_TRUE(control::parseControlLine("[1,2]\n").error.contains(QLatin1String("object")));
    EXPECT_TRUE(control::parseControlLine("{\"type\":7}").error.contains(QLatin1String("'type'")));
    EXPECT_TRUE(control::parseControlLine("{\"type\":\"launch\"}").error.contains(QLatin1String("unknown")));
    EXPECT_TRUE(refusalOf({{"type", "hello"}}).contains(QLatin1String("protocol_version")));
    EXPECT_TRUE(refusalOf({{"type", "request"}, {"test", "udp"}}).contains(QLatin1String("'test'")));
    const control::ParsedLine hello = control::parseControlLine(control::lineOf(control::message(
        QStringLiteral("hello"), {{QStringLiteral("protocol_version"), control::kProtocolVersion}})));
    ASSERT_TRUE(hello.message) << hello.error.toStdString();
    EXPECT_EQ(hello.message->type, QLatin1String("hello"));
}

TEST(TestSettingsJson, RefusesEachBadFieldByName)
{
    EXPECT_TRUE(settingsError({{"fps", -5}}).startsWith(QLatin1String("field 'fps'")));
    EXPECT_TRUE(settingsError({{"width", 0}, {"height", 0}, {"depth", 24}}).startsWith(QLatin1String("field 'width'")));
    EXPECT_TRUE(settingsError({{"width", 100000}, {"height", 100000}, {"depth", 24}}).startsWith(QLatin1String("field 'width'")));
    EXPECT_TRUE(settingsError({{"width", 640}, {"height", 480}, {"depth", 12}}).startsWith(QLatin1String("field 'depth'")));
    EXPECT_TRUE(settingsError({{"protocol", "sctp"}}).startsWith(QLatin1String("field 'protocol'")));
    EXPECT_TRUE(settingsError({{"seconds", 1e9}}).startsWith(QLatin1String("field 'seconds'")));
    EXPECT_TRUE(settingsError({{"port", 22}}).startsWith(QLatin1String("field 'port'")));
    EXPECT_TRUE(settingsError({{"protocol", "tcp"}, {"redundancy", 10}}).startsWith(QLatin1String("field 'redundancy'")));
    EXPECT_TRUE(settingsError({{"group", "10.0.0.1"}}).startsWith(QLatin1String("field 'group'")));
    EXPECT_TRUE(settingsError({{"reverse", "yes"}}).startsWith(QLatin1String("field 'reverse'")));
    EXPECT_TRUE(settingsError({{"jpeg", 12.5}}).startsWith(QLatin1String("field 'jpeg'")));
}

TEST(TestSettingsJson, EveryFieldSurvivesTheWire)
{
    TestSettings s;
    s.protocol = QStringLiteral("udp");
    s.size = {1920, 1080, 16};
    s.fps = 59.94;
    s.jpegLevel = 40;
    s.redundancy = 25;
    s.pacingMbps = 800;
    s.pattern = QStringLiteral("bars");
    s.port = 24999;
    s.seconds = 7;
    s.omit = 2;
    s.interval = 0.5;
    s.reverse = true;
    s.group = QStringLiteral("239.1.2.3");
    s.verify = true;
    s.minFps = 50;
    s.maxLossPercent = 1.5;
    s.maxLatencyMs = 20;
    s.minPsnr = 30;
    s.expect = TestSettings::Format{1920, 1080, 16};
    const ParsedSettings back = settingsFromJson(settingsToJson(s));
    ASSERT_TRUE(back.settings) << back.error.toStdString();
    EXPECT_EQ(settingsToJson(*back.settings), settingsToJson(s));
}

TEST(ServerLimits, ARequestPastALimitIsRefusedNamingIt)
{
    ServerLimits limits;
    limits.maxSeconds = 60;
    limits.maxMbps = 100;
    TestSettings s;
    s.size = {320, 240, 24};
    s.seconds = 50;
    EXPECT_EQ(ControlServer::refusal(s, limits, false), QString());
    s.omit = 20;
    EXPECT_TRUE(ControlServer::refusal(s, limits, false).contains(QLatin1String("--max-seconds 60")));
    s.omit = 0;
    s.size = {1920, 1080, 24};
    EXPECT_TRUE(ControlServer::refusal(s, limits, false).contains(QLatin1String("--max-mbps 100")));
    s.jpegLevel = 50; // a tenth of 1493 Mbit/s is still past 100
    EXPECT_TRUE(ControlServer::refusal(s, limits, false).contains(QLatin1String("--max-mbps")));
    s.size = {320, 240, 24};
    s.protocol = QStringLiteral("memory");
    EXPECT_TRUE(ControlServer::refusal(s, limits, false).contains(QLatin1String("memory")));
    EXPECT_EQ(ControlServer::refusal(s, limits, true), QString());
    s.protocol = QStringLiteral("udp");
    s.reverse = true;
    s.group = QStringLiteral("239.0.0.9");
    EXPECT_TRUE(ControlServer::refusal(s, limits, true).contains(QLatin1String("--allow-multicast")));
    limits.allowMulticast = true;
    EXPECT_EQ(ControlServer::refusal(s, limits, true), QString());
}

TEST(KeyProof, OnlyTheSameKeyAnswersAChallenge)
{
    const QByteArray challenge = keyproof::challenge();
    EXPECT_EQ(challenge.size(), 64);
    EXPECT_NE(challenge, keyproof::challenge());
    const QByteArray answer = keyproof::answer("secret", challenge);
    EXPECT_TRUE(keyproof::matches("secret", challenge, answer));
    EXPECT_FALSE(keyproof::matches("secreT", challenge, answer));
    EXPECT_FALSE(keyproof::matches("secret", keyproof::challenge(), answer));
    EXPECT_FALSE(keyproof::matches("secret", challenge, answer.left(63)));
    EXPECT_FALSE(keyproof::matches("secret", challenge, QByteArray()));
}

TEST(TestReport, AnIntervalOnlyOneEndReportedLeavesTheOtherBlank)
{
    const QJsonObject sender{{"elapsed_s", 10.0}, {"fps", 29.5}, {"wire_mbps", 55.3}, {"dropped", 2}, {"cpu_core", 0.04}};
    const QJsonObject receiver{{"elapsed_s", 10.0}, {"fps", 28.0}, {"wire_mbps", 52.1}, {"lost", 3}, {"cpu_core", 0.05}};
    const QString both = testreport::intervalLine(sender, receiver, QStringLiteral("far:24100"));
    const QString senderOnly = testreport::intervalLine(sender, {}, QStringLiteral("far:24100"));
    const QString receiverOnly = testreport::intervalLine({}, receiver, QStringLiteral("far:24100"));
    // Same columns as a full line; the missing end's cells are blank, not zeros.
    EXPECT_EQ(senderOnly.size(), both.size()) << senderOnly.toStdString();
    EXPECT_EQ(receiverOnly.size(), both.size()) << receiverOnly.toStdString();
    const qsizetype split = both.indexOf(QLatin1String(" |"), both.indexOf(QLatin1String(" |")) + 1);
    EXPECT_EQ(senderOnly.left(split), both.left(split));
    EXPECT_TRUE(senderOnly.mid(split + 2, 47).trimmed().isEmpty()) << senderOnly.toStdString();
    EXPECT_EQ(receiverOnly.mid(split), both.mid(split));
    EXPECT_TRUE(receiverOnly.mid(8, split - 8).trimmed().isEmpty()) << receiverOnly.toStdString();
    EXPECT_TRUE(receiverOnly.startsWith(QLatin1String("  10.0 |"))) << "the time comes from the end that reported";
}

// ---- the program over loopback

std::unique_ptr<Zunstream> startServer(const QStringList &extra, const QStringList &wrapper = {})
{
    auto server = std::make_unique<Zunstream>(QStringList{QStringLiteral("serve"), QStringLiteral("--json")} + extra, wrapper);
    EXPECT_TRUE(server->waitForStderr(QStringLiteral("serving on"))) << "the server did not start";
    return server;
}

Finished runTest(const QStringList &arguments, const QStringList &wrapper = {}, int ms = 30000)
{
    return Zunstream(QStringList{QStringLiteral("test"), QStringLiteral("--json")} + arguments, wrapper).finish(ms);
}

QJsonObject endOf(const Finished &f)
{
    for (const QJsonObject &o : f.objects) {
        if (o.value(QLatin1String("event")) == QLatin1String("end"))
            return o;
    }
    return {};
}

double at(const QJsonObject &o, const char *side, const char *field)
{
    return o.value(QLatin1String(side)).toObject().value(QLatin1String(field)).toDouble(-1);
}

void expectPassed(const Finished &test)
{
    EXPECT_TRUE(test.stdoutAllJson) << test.out.toStdString();
    EXPECT_EQ(test.exitCode, 0) << test.out.toStdString() << test.err.toStdString();
    EXPECT_TRUE(endOf(test).value(QLatin1String("passed")).toBool()) << test.out.toStdString();
}

TEST(ServeAndTest, ACleanUdpTestPassesAndBothEndsAgree)
{
    auto server = startServer(args({"--port", "24100", "--once"}));
    const Finished test = runTest(args({"127.0.0.1:24100", "--port", "24101", "--size", "320x240", "--fps", "30",
                                        "--seconds", "3", "--pattern", "bars", "--verify", "--min-fps", "28",
                                        "--max-loss", "0"}));
    expectPassed(test);
    const QJsonObject end = endOf(test);
    const double sent = at(end, "sender", "sent_total"), arrived = at(end, "receiver", "frames");
    EXPECT_GE(sent, 85);
    EXPECT_LE(sent, 92);
    EXPECT_EQ(arrived, sent) << "every frame sent over loopback arrives";
    EXPECT_EQ(at(end, "receiver", "damaged"), 0);
    EXPECT_NEAR(at(end, "receiver", "fps"), at(end, "sender", "fps"), 1.5);
    EXPECT_GE(at(end, "receiver", "cpu_core"), 0);
    EXPECT_EQ(end.value(QLatin1String("receivers")).toArray().first().toObject().value(QLatin1String("limited_by")).toString(),
              QLatin1String("nothing"));
    // Both ends' figures in every interval line, the receiver's from the far end.
    int intervals = 0;
    for (const QJsonObject &o : test.objects) {
        if (o.value(QLatin1String("event")) != QLatin1String("interval"))
            continue;
        ++intervals;
        EXPECT_EQ(o.value(QLatin1String("sender")).toObject().value(QLatin1String("side")), QLatin1String("sender"));
        EXPECT_EQ(o.value(QLatin1String("receiver")).toObject().value(QLatin1String("side")), QLatin1String("receiver"));
    }
    EXPECT_GE(intervals, 3);
    EXPECT_EQ(test.objects.first().value(QLatin1String("event")), QLatin1String("start"));
    const Finished served = server->finish();
    EXPECT_EQ(served.exitCode, 0) << served.err.toStdString();
}

TEST(ServeAndTest, TcpJpegAndReverse)
{
    auto server = startServer(args({"--port", "24110"}));
    const Finished tcp = runTest(args({"127.0.0.1:24110", "--protocol", "tcp", "--port", "24111", "--jpeg", "40",
                                       "--pattern", "bars", "--min-psnr", "20", "--fps", "25", "--seconds", "2",
                                       "--min-fps", "23"}));
    expectPassed(tcp);
    EXPECT_TRUE(endOf(tcp).value(QLatin1String("receiver")).toObject().value(QLatin1String("jpeg")).toBool());
    const Finished reverse = runTest(args({"127.0.0.1:24110", "--reverse", "--port", "24112", "--size", "320x240",
                                           "--fps", "40", "--seconds", "2", "--min-fps", "38", "--pattern", "bars",
                                           "--verify"}));
    expectPassed(reverse);
    const QJsonObject end = endOf(reverse);
    EXPECT_EQ(end.value(QLatin1String("receivers")).toArray().first().toObject().value(QLatin1String("server")),
              QLatin1String("here"));
    EXPECT_GE(at(end, "sender", "sent_total"), 75);
    EXPECT_GE(at(end, "receiver", "checked"), 75);
}

TEST(ServeAndTest, ASecondClientIsToldBusyAndAKilledOneFreesTheServer)
{
    auto server = startServer(args({"--port", "24120"}));
    Zunstream first(args({"test", "127.0.0.1:24120", "--port", "24121", "--size", "160x120", "--seconds", "30"}));
    QThread::msleep(1500);
    const Finished busy = runTest(args({"127.0.0.1:24120", "--port", "24122", "--seconds", "1"}));
    EXPECT_EQ(busy.exitCode, 1);
    EXPECT_TRUE(busy.err.contains(QLatin1String("busy: a test from 127.0.0.1 runs"))) << busy.err.toStdString();
    EXPECT_TRUE(busy.err.contains(QLatin1String(" s left"))) << busy.err.toStdString();

    first.killHard();
    QElapsedTimer sinceKill;
    sinceKill.start();
    Finished next;
    do {
        next = runTest(args({"127.0.0.1:24120", "--port", "24123", "--size", "160x120", "--seconds", "1"}));
    } while (next.exitCode == 1 && next.err.contains(QLatin1String("busy")) && sinceKill.elapsed() < 5000);
    EXPECT_LT(sinceKill.elapsed(), 5000 + 2500) << "free within 5 s of the kill, then one test of a second";
    expectPassed(next);
    EXPECT_TRUE(server->running()) << "the server goes on";
}

TEST(ServeAndTest, AWrongOrMissingKeyIsRefused)
{
    QTemporaryFile serverKey, otherKey;
    ASSERT_TRUE(serverKey.open() && otherKey.open());
    serverKey.write("correct horse battery staple\n");
    otherKey.write("correct horse battery stapler\n");
    serverKey.flush();
    otherKey.flush();
    auto server = startServer({QStringLiteral("--port"), QStringLiteral("24130"), QStringLiteral("--key"), serverKey.fileName()});
    const QStringList test = args({"127.0.0.1:24130", "--port", "24131", "--size", "160x120", "--seconds", "1"});
    for (const QStringList &key : {QStringList{}, QStringList{QStringLiteral("--key"), otherKey.fileName()}}) {
        const Finished refused = runTest(test + key);
        EXPECT_EQ(refused.exitCode, 2);
        EXPECT_TRUE(refused.err.contains(QLatin1String("refused: wrong key"))) << refused.err.toStdString();
        EXPECT_EQ(refused.last().value(QLatin1String("event")), QLatin1String("error"));
    }
    expectPassed(runTest(test + QStringList{QStringLiteral("--key"), serverKey.fileName()}));
}

TEST(ServeAndTest, RequestsPastTheLimitsAreRefusedNamingThem)
{
    auto server = startServer(args({"--port", "24140", "--max-seconds", "5", "--max-mbps", "50"}));
    const Finished tooLong = runTest(args({"127.0.0.1:24140", "--port", "24141", "--size", "160x120", "--seconds", "6"}));
    EXPECT_EQ(tooLong.exitCode, 2);
    EXPECT_TRUE(tooLong.err.contains(QLatin1String("--max-seconds 5"))) << tooLong.err.toStdString();
    const Finished tooFast = runTest(args({"127.0.0.1:24140", "--port", "24141", "--size", "640x480", "--seconds", "2"}));
    EXPECT_EQ(tooFast.exitCode, 2);
    EXPECT_TRUE(tooFast.err.contains(QLatin1String("--max-mbps 50"))) << tooFast.err.toStdString();
    const Finished bad = runTest(args({"127.0.0.1:24140", "--port", "24141", "--fps", "-3"}));
    EXPECT_EQ(bad.exitCode, 2);
}

TEST(ServeAndTest, OmittedSecondsAreInNoFigure)
{
    auto server = startServer(args({"--port", "24170", "--once"}));
    const Finished test = runTest(args({"127.0.0.1:24170", "--port", "24171", "--size", "160x120", "--fps", "30",
                                        "--omit", "2", "--seconds", "1", "--interval", "0.5"}));
    expectPassed(test);
    const QJsonObject end = endOf(test);
    // Three seconds streamed, one counted, at either end.
    EXPECT_GE(at(end, "sender", "sent_total"), 27);
    EXPECT_LE(at(end, "sender", "sent_total"), 33);
    EXPECT_GE(at(end, "receiver", "frames"), 27);
    EXPECT_LE(at(end, "receiver", "frames"), 33);
    int intervals = 0;
    for (const QJsonObject &o : test.objects) {
        if (o.value(QLatin1String("event")) != QLatin1String("interval"))
            continue;
        ++intervals;
        for (const char *side : {"sender", "receiver"})
            EXPECT_LE(at(o, side, "elapsed_s"), 1.2) << side << ": an interval of the omitted seconds";
    }
    EXPECT_GE(intervals, 2);
    EXPECT_LE(intervals, 3);
}

int eventsOf(const Finished &f, const char *event)
{
    return int(std::count_if(f.objects.begin(), f.objects.end(), [event](const QJsonObject &o) {
        return o.value(QLatin1String("event")) == QLatin1String(event);
    }));
}

// The server's --max-mbps bounds what loopback would carry: 50 Mbit/s is 27.1 fps of 320x240x24.
TEST(ServeAndTest, AnFpsSweepFindsTheHighestRateThatPassesAndPrintsEveryTrial)
{
    auto server = startServer(args({"--port", "24180", "--max-mbps", "50"}));
    const Finished sweep = runTest(args({"127.0.0.1:24180", "--port", "24181", "--size", "320x240", "--sweep", "fps",
                                         "--trial", "1"}), {}, 60000);
    EXPECT_TRUE(sweep.stdoutAllJson) << sweep.out.toStdString();
    EXPECT_EQ(sweep.exitCode, 0) << sweep.err.toStdString();
    const QJsonObject end = endOf(sweep);
    ASSERT_TRUE(end.value(QLatin1String("passed")).toBool()) << sweep.out.toStdString();
    const double found = end.value(QLatin1String("best")).toObject().value(QLatin1String("setting_fps")).toDouble();
    const double limit = 50e6 / (320 * 240 * 24);
    EXPECT_LE(found, limit);
    EXPECT_GE(found, limit * 0.98) << "within 2% of the limit";
    const int trials = eventsOf(sweep, "trial");
    EXPECT_GE(trials, 5);
    EXPECT_LE(trials, 12);
    EXPECT_EQ(sweep.err.count(QLatin1String("\ntrial ")) + sweep.err.startsWith(QLatin1String("trial ")), trials)
        << "a line for every trial: " << sweep.err.toStdString();
    int number = 0;
    for (const QJsonObject &o : sweep.objects) {
        if (o.value(QLatin1String("event")) != QLatin1String("trial"))
            continue;
        EXPECT_EQ(o.value(QLatin1String("trial")).toInt(), ++number);
        const double fps = o.value(QLatin1String("setting_fps")).toDouble();
        EXPECT_EQ(o.value(QLatin1String("passed")).toBool(), fps <= limit) << fps << " fps";
        if (fps > limit) {
            EXPECT_TRUE(o.value(QLatin1String("why")).toArray().first().toString().contains(QLatin1String("--max-mbps 50")));
        }
    }
    EXPECT_TRUE(server->running());
}

TEST(ServeAndTest, ASweepWhereNoTrialPassesExitsOne)
{
    auto server = startServer(args({"--port", "24190", "--max-mbps", "20"}));
    const Finished sweep = runTest(args({"127.0.0.1:24190", "--port", "24191", "--size", "160x120", "--sweep", "fps",
                                         "--trial", "1", "--max-latency-ms", "0.001"}), {}, 60000);
    EXPECT_EQ(sweep.exitCode, 1) << sweep.err.toStdString();
    const QJsonObject end = endOf(sweep);
    EXPECT_FALSE(end.value(QLatin1String("passed")).toBool(true));
    EXPECT_FALSE(end.contains(QLatin1String("best")));
    EXPECT_GE(eventsOf(sweep, "trial"), 3);
    EXPECT_TRUE(sweep.err.contains(QLatin1String("no setting passed"))) << sweep.err.toStdString();
}

// A socket to the server that the test drives byte by byte.
class RawClient
{
public:
    explicit RawClient(uint16_t port)
    {
        mSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        mConnected = ::connect(mSocket, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
        const timeval wait{3, 0};
        setsockopt(mSocket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~RawClient() { ::close(mSocket); }
    bool connected() const { return mConnected; }
    void write(const QByteArray &bytes) { (void)!::send(mSocket, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL); }
    // The first line the server answers, "" when none within 3 s.
    QByteArray reply()
    {
        QByteArray line;
        char c = 0;
        while (line.size() < 4096 && ::recv(mSocket, &c, 1, 0) == 1 && c != '\n')
            line += c;
        return line;
    }

private:
    int mSocket = -1;
    bool mConnected = false;
};

TEST(ServeAndTest, AThousandHostileConnectionsThenARealTestPasses)
{
    constexpr uint16_t kPort = 24150;
    auto server = startServer(args({"--port", "24150"}));
    // Half-open ones stay for the real test: an idle connection must not hold the server.
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 100; ++i)
        idle.push_back(std::make_unique<RawClient>(kPort));
    // Slow ones send a hello a byte at a time.
    std::vector<std::unique_ptr<RawClient>> slow;
    for (int i = 0; i < 20; ++i)
        slow.push_back(std::make_unique<RawClient>(kPort));
    const QByteArray hello = "{\"type\":\"hello\",\"protocol_version\":1}\n";
    int answered = 0;
    for (int i = 0; i < 880; ++i) {
        RawClient client(kPort);
        ASSERT_TRUE(client.connected()) << "connection " << i;
        server->drain();
        if (i < hello.size()) {
            for (auto &s : slow)
                s->write(hello.mid(i, 1));
        }
        switch (i % 6) {
        case 0: client.write(QByteArray::fromHex("00ff13370a")); break;
        case 1: client.write(QByteArray(70 * 1024, '{')); break;
        case 2: client.write("GET / HTTP/1.1\r\nHost: x\r\n\r\n"); break;
        case 3: client.write("{\"type\":\"request\",\"test\":{}}\n"); break;
        case 4: client.write(hello + "{\"type\":\"request\",\"test\":{\"fps\":-1}}\n"); break;
        case 5: break; // connects and leaves
        }
        // The first few of each kind wait for their one line.
        if (i < 60 && i % 6 != 5) {
            if (i % 6 == 4) {
                EXPECT_TRUE(client.reply().contains("\"hello\""));
            }
            const QByteArray reply = client.reply();
            const char *expected[] = {"not JSON", "64 KiB", "HTTP request", "must be 'hello'", "field 'fps'"};
            EXPECT_TRUE(reply.contains(expected[i % 6])) << i << ": " << reply.toStdString();
            ++answered;
        }
    }
    EXPECT_EQ(answered, 50);
    for (auto &s : slow)
        EXPECT_TRUE(s->reply().contains("\"hello\"")) << "a slow client is answered";
    const Finished test = runTest(args({"127.0.0.1:24150", "--port", "24151", "--size", "160x120", "--seconds", "2",
                                        "--min-fps", "28"}));
    expectPassed(test);
    EXPECT_TRUE(server->running());
}

// ---- other machines: namespaces of their own (netns.sh)

QStringList inNamespace(int fd)
{
    return {QStringLiteral("nsenter"), QStringLiteral("--net=/proc/%1/fd/%2").arg(::getpid()).arg(fd)};
}

bool inOwnNamespace()
{
    return qEnvironmentVariableIsSet("ZUN_TEST_NETNS");
}

TEST(InNamespace, ALinkTakenDownEndsTheTestAndFreesTheServer)
{
    if (!inOwnNamespace())
        GTEST_SKIP() << "runs through netns.sh";
    netkit::VethPair veth;
    ASSERT_TRUE(veth.ok()) << veth.problem();
    const QString server = QStringLiteral("%1:24200").arg(QLatin1String(netkit::VethPair::kPeer));
    auto serve = startServer(args({"--port", "24200"}), inNamespace(veth.peerNetns()));
    Zunstream client(QStringList{QStringLiteral("test"), server} + args({"--port", "24201", "--size", "320x240", "--seconds", "30"}));
    ASSERT_TRUE(client.waitForStderr(QStringLiteral("zunstream"), 2500) || client.running());
    QThread::msleep(2000);
    ASSERT_TRUE(netkit::runHere("ip link set zunbench0 down"));
    QElapsedTimer sinceDown;
    sinceDown.start();
    EXPECT_TRUE(serve->waitForStderr(QStringLiteral("ended early"), 5000)) << "the server notices within 5 s";
    EXPECT_LT(sinceDown.elapsed(), 5000);
    const Finished lost = client.finish(8000);
    EXPECT_EQ(lost.exitCode, 1) << "the client's test ends too, failed";
    ASSERT_TRUE(netkit::runHere("ip link set zunbench0 up"));
    QThread::msleep(500);
    expectPassed(runTest(QStringList{server} + args({"--port", "24202", "--size", "320x240", "--seconds", "2", "--min-fps", "28"})));
}

// nftables' byte limit holds a second of its rate in its bucket, full at each trial's start: a
// trial of T seconds carries R (1 + 1/T) before it loses a frame, and no more.
TEST(InNamespace, AnFpsSweepFindsTheRateOfAPolicer)
{
    if (!inOwnNamespace())
        GTEST_SKIP() << "runs through netns.sh";
    // The veth pair of the case before goes with its namespace, a moment after.
    for (int i = 0; i < 40 && netkit::runHere("ip link show zunbench0 >/dev/null 2>&1"); ++i)
        QThread::msleep(50);
    netkit::VethPair veth;
    ASSERT_TRUE(veth.ok()) << veth.problem();
    constexpr double kPolicerBytes = 4.0 * 1024 * 1024, kTrialSeconds = 2;
    ASSERT_TRUE(veth.runInPeer("sh -c \"nft add table inet zunpolicer && nft add chain inet zunpolicer in "
                               "'{ type filter hook input priority 0 ; }' && nft add rule inet zunpolicer in "
                               "udp dport 24221 limit rate over 4 mbytes/second drop\""));
    auto serve = startServer(args({"--port", "24220"}), inNamespace(veth.peerNetns()));
    const QString server = QStringLiteral("%1:24220").arg(QLatin1String(netkit::VethPair::kPeer));
    const Finished sweep = runTest(QStringList{server} + args({"--port", "24221", "--size", "320x240", "--redundancy", "0",
                                                               "--sweep", "fps", "--trial", "2"}), {}, 60000);
    EXPECT_EQ(sweep.exitCode, 0) << sweep.err.toStdString();
    const QJsonObject best = endOf(sweep).value(QLatin1String("best")).toObject();
    ASSERT_FALSE(best.isEmpty()) << sweep.out.toStdString();
    // What a frame takes on the wire, as the receiver counted it, at the rate the search found.
    const double bytesPerFrame = best.value(QLatin1String("wire_mbps")).toDouble() * 1e6 / 8 /
                                 best.value(QLatin1String("fps")).toDouble();
    const double carried = best.value(QLatin1String("setting_fps")).toDouble() * bytesPerFrame;
    const double bucketAllows = kPolicerBytes * (1 + 1 / kTrialSeconds);
    EXPECT_GE(carried, kPolicerBytes * 0.9) << "found " << carried << " B/s against a policer of " << kPolicerBytes;
    EXPECT_LE(carried, bucketAllows * 1.1) << "found " << carried << " B/s against a policer of " << kPolicerBytes;
    // Every trial above what the bucket lets through lost frames.
    for (const QJsonObject &o : sweep.objects) {
        if (o.value(QLatin1String("event")) == QLatin1String("trial") &&
            o.value(QLatin1String("setting_fps")).toDouble() * bytesPerFrame > bucketAllows * 1.1) {
            EXPECT_FALSE(o.value(QLatin1String("passed")).toBool()) << o.value(QLatin1String("setting")).toString().toStdString();
        }
    }
}

TEST(InNamespace, OneMulticastStreamReachesTwoServersReportedApartAndFailsWhenOneFails)
{
    if (!inOwnNamespace())
        GTEST_SKIP() << "runs through netns.sh";
    netkit::BridgedNamespaces machines(2);
    ASSERT_TRUE(machines.ok()) << machines.problem();
    std::vector<std::unique_ptr<Zunstream>> servers;
    QStringList hosts;
    for (int i = 0; i < 2; ++i) {
        servers.push_back(startServer(args({"--port", "24210"}), inNamespace(machines.netns(i))));
        hosts << QStringLiteral("%1:24210").arg(QString::fromStdString(netkit::BridgedNamespaces::address(i)));
    }
    const QString group = QStringLiteral("239.24.21.1@%1").arg(QLatin1String(netkit::BridgedNamespaces::kLocal));
    const QStringList test = hosts + QStringList{QStringLiteral("--group"), group} +
                             args({"--port", "24211", "--size", "320x240", "--seconds", "2", "--pattern", "bars",
                                   "--verify", "--min-fps", "25"});
    const Finished both = runTest(test);
    expectPassed(both);
    const QJsonArray receivers = endOf(both).value(QLatin1String("receivers")).toArray();
    ASSERT_EQ(receivers.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const QJsonObject r = receivers[i].toObject();
        EXPECT_EQ(r.value(QLatin1String("server")).toString(), hosts[i]);
        EXPECT_GE(r.value(QLatin1String("summary")).toObject().value(QLatin1String("frames")).toDouble(), 50);
    }

    // The second server's machine stops taking the stream: the test fails for it alone.
    ASSERT_TRUE(machines.runIn(1, "sh -c \"nft add table inet zunserve && nft add chain inet zunserve input "
                                  "'{ type filter hook input priority 0 ; }' && nft add rule inet zunserve input "
                                  "udp dport 24211 drop\""));
    const Finished one = runTest(test);
    EXPECT_EQ(one.exitCode, 1) << one.out.toStdString();
    const QJsonObject end = endOf(one);
    EXPECT_FALSE(end.value(QLatin1String("passed")).toBool());
    const QJsonArray judged = end.value(QLatin1String("receivers")).toArray();
    ASSERT_EQ(judged.size(), 2);
    EXPECT_TRUE(judged[0].toObject().value(QLatin1String("summary")).toObject().value(QLatin1String("passed")).toBool());
    EXPECT_FALSE(judged[1].toObject().value(QLatin1String("summary")).toObject().value(QLatin1String("passed")).toBool());
    const QJsonArray why = end.value(QLatin1String("failures")).toArray();
    ASSERT_FALSE(why.isEmpty());
    for (const QJsonValue &reason : why)
        EXPECT_TRUE(reason.toString().startsWith(hosts[1])) << reason.toString().toStdString();
    for (auto &s : servers)
        s->interrupt();
}

} // namespace
