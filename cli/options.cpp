#include "options.h"

#include "sendpreset.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <limits>

namespace {

struct CommandOptions {
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help.")};
    QCommandLineOption protocol{QStringLiteral("protocol"),
                                QStringLiteral("udp (unicast or multicast), tcp or memory (same host). Default udp."),
                                QStringLiteral("udp|tcp|memory")};
    QCommandLineOption address{QStringLiteral("address"),
                               QStringLiteral("Where to send: IPv4 address or host name, a multicast group, or "
                                              "group@interface-address. Default 127.0.0.1."),
                               QStringLiteral("ADDRESS")};
    QCommandLineOption channel{QStringLiteral("channel"),
                               QStringLiteral("Channel N, port N + %1 (the window's channels). Default 0.").arg(ZUN_PORT_BASE),
                               QStringLiteral("N")};
    QCommandLineOption port{QStringLiteral("port"), QStringLiteral("Port, instead of --channel."),
                            QStringLiteral("PORT")};
    QCommandLineOption size{QStringLiteral("size"), QStringLiteral("Frame size. Default 640x480."),
                            QStringLiteral("WxH")};
    QCommandLineOption depth{QStringLiteral("depth"), QStringLiteral("Bits per pixel: 16, 24, 32 or 8 (grey). Default 24."),
                             QStringLiteral("BITS")};
    QCommandLineOption fps{QStringLiteral("fps"), QStringLiteral("Frames per second. Default 30."),
                           QStringLiteral("FPS")};
    QCommandLineOption checkFps{QStringLiteral("fps"),
                                QStringLiteral("The rate to judge: exits 1 when this machine cannot carry FPS frames "
                                               "a second. Without it, the rate carried is only reported."),
                                QStringLiteral("FPS")};
    QCommandLineOption jpeg{QStringLiteral("jpeg"),
                            QStringLiteral("JPEG at compression level 0-100 (quality 100 - level); raw when absent."),
                            QStringLiteral("LEVEL")};
    QCommandLineOption redundancy{QStringLiteral("redundancy"),
                                  QStringLiteral("UDP: parity as a share of each frame's datagrams, 0-100 percent "
                                                 "(0: none), so the receiver rebuilds lost ones. Default: the "
                                                 "library's."),
                                  QStringLiteral("PERCENT")};
    QCommandLineOption pacing{QStringLiteral("pacing-mbps"),
                              QStringLiteral("UDP: sends each frame's datagrams at R Mbit/s instead of spreading "
                                             "them over the frame interval (the library's default)."),
                              QStringLiteral("R")};
    QCommandLineOption preset{QStringLiteral("preset"),
                              QStringLiteral("Starts from config entry N (0-99) of the window's settings file; "
                                             "options given as well win."),
                              QStringLiteral("N")};
    QCommandLineOption pattern{QStringLiteral("pattern"),
                               QStringLiteral("lines: the window's picture, one random line a frame (default). "
                                              "bars: moving colour bars and the frame number as a block code, "
                                              "which recv --verify checks."),
                               QStringLiteral("lines|bars")};
    QCommandLineOption seconds{QStringLiteral("seconds"), QStringLiteral("Stops after S seconds."),
                               QStringLiteral("S")};
    QCommandLineOption frames{QStringLiteral("frames"), QStringLiteral("Stops after N frames."),
                              QStringLiteral("N")};
    QCommandLineOption json{QStringLiteral("json"),
                            QStringLiteral("Prints one JSON object a second and a summary object on stdout; "
                                           "the progress line goes to stderr.")};
    QCommandLineOption group{QStringLiteral("group"),
                             QStringLiteral("UDP: joins multicast group G as well, on the interface with address "
                                            "IF when given."),
                             QStringLiteral("G[@IF]")};
    QCommandLineOption verify{QStringLiteral("verify"),
                              QStringLiteral("Rebuilds each frame from its number (send --pattern bars): raw frames "
                                             "must match exactly, JPEG frames are scored by PSNR; a frame that "
                                             "fails counts as damaged and fails the run.")};
    QCommandLineOption minFps{QStringLiteral("min-fps"), QStringLiteral("Fails below FPS frames a second."),
                              QStringLiteral("FPS")};
    QCommandLineOption maxLoss{QStringLiteral("max-loss"),
                               QStringLiteral("Fails when more than PERCENT of the frames sent are lost."),
                               QStringLiteral("PERCENT")};
    QCommandLineOption maxLatency{QStringLiteral("max-latency-ms"),
                                  QStringLiteral("Fails when the 99th percentile of latency passes MS (same host)."),
                                  QStringLiteral("MS")};
    QCommandLineOption minPsnr{QStringLiteral("min-psnr"),
                               QStringLiteral("Fails when a JPEG frame scores below DB (implies --verify)."),
                               QStringLiteral("DB")};
    QCommandLineOption reverse{QStringLiteral("reverse"),
                               QStringLiteral("The server sends and this end receives.")};
    QCommandLineOption omit{QStringLiteral("omit"),
                            QStringLiteral("Leaves the first S seconds out of every figure (they come before --seconds)."),
                            QStringLiteral("S")};
    QCommandLineOption interval{QStringLiteral("interval"), QStringLiteral("Reports every S seconds. Default 1."),
                                QStringLiteral("S")};
    QCommandLineOption key{QStringLiteral("key"),
                           QStringLiteral("The shared key in FILE: the client proves it holds the server's (HMAC-SHA256 "
                                          "of a random challenge); the key never crosses the wire."),
                           QStringLiteral("FILE")};
    QCommandLineOption testGroup{QStringLiteral("group"),
                                 QStringLiteral("UDP: one multicast stream to group G, sent on the interface with address "
                                                "IF when given, that every HOST named joins and receives."),
                                 QStringLiteral("G[@IF]")};
    QCommandLineOption sweep{QStringLiteral("sweep"),
                             QStringLiteral("Searches the highest setting that passes, by trials: fps at --size, "
                                            "size at --fps, or the JPEG level."),
                             QStringLiteral("fps|size|jpeg")};
    QCommandLineOption trial{QStringLiteral("trial"), QStringLiteral("Seconds of each trial of --sweep. Default 3."),
                             QStringLiteral("S")};
    QCommandLineOption controlPort{QStringLiteral("port"),
                                   QStringLiteral("The TCP control port. Default %1.").arg(kControlPort),
                                   QStringLiteral("PORT")};
    QCommandLineOption once{QStringLiteral("once"), QStringLiteral("Ends after one test, with its exit status.")};
    QCommandLineOption maxSeconds{QStringLiteral("max-seconds"),
                                  QStringLiteral("Refuses a test longer than S seconds. Default 300."),
                                  QStringLiteral("S")};
    QCommandLineOption maxMbps{QStringLiteral("max-mbps"),
                               QStringLiteral("Refuses a test whose picture passes R Mbit/s (JPEG counted at a "
                                              "tenth of raw)."),
                               QStringLiteral("R")};
    QCommandLineOption allowMulticast{QStringLiteral("allow-multicast"),
                                      QStringLiteral("Sends to the multicast group a --reverse --group client names; "
                                                     "without it, only to the client's own address.")};
    QCommandLineOption serveJson{QStringLiteral("json"),
                                 QStringLiteral("Prints one JSON object a line with \"event\": start, end or error.")};
    QCommandLineOption testJson{QStringLiteral("json"),
                                QStringLiteral("Prints one JSON object a line with \"event\": start, interval, "
                                               "trial, end or error.")};
    QCommandLineOption expect{QStringLiteral("expect"),
                              QStringLiteral("Fails when a frame arrives in another size and depth."),
                              QStringLiteral("WxHxDEPTH")};
};

// Throws the one-line message of a bad value.
struct BadValue {
    QString message;
};

double number(const QCommandLineParser &parser, const QCommandLineOption &option, double low, double high)
{
    bool ok = false;
    const QString text = parser.value(option);
    const double value = text.toDouble(&ok);
    if (!ok || !(value >= low && value <= high))
        throw BadValue{QStringLiteral("--%1 %2: give a number from %3 to %4")
                           .arg(option.names().constLast(), text).arg(low).arg(high)};
    return value;
}

qint64 integer(const QCommandLineParser &parser, const QCommandLineOption &option, qint64 low, qint64 high)
{
    bool ok = false;
    const QString text = parser.value(option);
    const qint64 value = text.toLongLong(&ok);
    if (!ok || value < low || value > high)
        throw BadValue{QStringLiteral("--%1 %2: give a whole number from %3 to %4")
                           .arg(option.names().constLast(), text).arg(low).arg(high)};
    return value;
}

uint16_t depthValue(const QString &name, const QString &text)
{
    bool ok = false;
    const std::optional<uint16_t> depth = depthOfBits(text.toInt(&ok));
    if (!ok || !depth)
        throw BadValue{QStringLiteral("--%1 %2: the depth is 16, 24, 32 or 8").arg(name, text)};
    return *depth;
}

// The library's frame sizes, each way.
constexpr int kLargestSide = 8192;

// "WxH" or "WxHxDEPTH".
StreamFormat formatValue(const QString &name, const QString &text, bool withDepth)
{
    static const QRegularExpression size(QStringLiteral("^(\\d{1,5})x(\\d{1,5})$"));
    static const QRegularExpression sizeAndDepth(QStringLiteral("^(\\d{1,5})x(\\d{1,5})x(\\d{1,2})$"));
    const QRegularExpressionMatch match = (withDepth ? sizeAndDepth : size).match(text);
    const int width = match.captured(1).toInt(), height = match.captured(2).toInt();
    if (!match.hasMatch())
        throw BadValue{QStringLiteral("--%1 %2: give %3").arg(name, text, withDepth ? QStringLiteral("WIDTHxHEIGHTxDEPTH, like 640x480x24")
                                                                                     : QStringLiteral("WIDTHxHEIGHT, like 640x480"))};
    if (width < 1 || height < 1 || width > kLargestSide || height > kLargestSide)
        throw BadValue{QStringLiteral("--%1 %2: sizes are 1 to %3 each way").arg(name, text).arg(kLargestSide)};
    StreamFormat format{uint16_t(width), uint16_t(height), 1, 1};
    if (withDepth)
        format.depth = depthValue(name, match.captured(3));
    return format;
}

uint32_t protocolValue(const QString &text)
{
    if (const std::optional<uint32_t> protocol = protocolOfName(text))
        return *protocol;
    throw BadValue{QStringLiteral("--protocol %1: give udp, tcp or memory").arg(text)};
}

// Options of serve and test alone.
template <typename Given>
void parseControlOptions(const QCommandLineParser &parser, const CommandOptions &o, Options &options, const Given &given)
{
    if (options.command == Command::Serve) {
        if (given(o.controlPort))
            options.controlPort = uint16_t(integer(parser, o.controlPort, 1, 65535));
        options.once = given(o.once);
        if (given(o.maxSeconds))
            options.maxSeconds = number(parser, o.maxSeconds, 0.1, 86400);
        if (given(o.maxMbps))
            options.maxMbps = number(parser, o.maxMbps, 0.001, 1e6);
        options.allowMulticast = given(o.allowMulticast);
    } else {
        options.hosts = parser.positionalArguments();
        if (options.hosts.isEmpty())
            throw BadValue{QStringLiteral("name the server: zunstream test HOST[:PORT]")};
        options.reverse = given(o.reverse);
        if (given(o.omit))
            options.omitSeconds = number(parser, o.omit, 0, 3600);
        if (given(o.interval))
            options.intervalSeconds = number(parser, o.interval, 0.1, 3600);
        if (given(o.sweep)) {
            const QString kind = parser.value(o.sweep);
            if (kind != QLatin1String("fps") && kind != QLatin1String("size") && kind != QLatin1String("jpeg"))
                throw BadValue{QStringLiteral("--sweep %1: give fps, size or jpeg").arg(kind)};
            options.sweep = kind;
        }
        if (given(o.trial))
            options.trialSeconds = number(parser, o.trial, 0.5, 600);
        if (options.hosts.size() > 1 && !given(o.testGroup))
            throw BadValue{QStringLiteral("several servers need --group: one multicast stream they all receive")};
        if (options.hosts.size() > 1 && given(o.reverse))
            throw BadValue{QStringLiteral("--reverse takes one server: one stream has one sender")};
    }
    if (given(o.key))
        options.keyFile = parser.value(o.key);
}

// The settings of one config entry, as the window would start sending them.
void applyPreset(Options &options, Command command, const QString &settingsPath, int entry)
{
    if (!QFileInfo::exists(settingsPath))
        throw BadValue{QStringLiteral("--preset %1: there is no settings file %2").arg(entry).arg(settingsPath)};
    const SendPreset preset = readSendPreset(settingsPath, entry);
    if (!preset.protocol && !preset.channel && !preset.address && !preset.width && !preset.height &&
        !preset.depth && !preset.compressionType && !preset.compressionLevel)
        throw BadValue{QStringLiteral("--preset %1: %2 holds no entry %1").arg(entry).arg(settingsPath)};
    if (preset.protocol) {
        if (*preset.protocol < ZUN_PROTOCOL_UDP || *preset.protocol > ZUN_PROTOCOL_MEMORY)
            throw BadValue{QStringLiteral("--preset %1: the entry's protocol %2 is none of 1 to 3")
                               .arg(entry).arg(*preset.protocol)};
        options.protocol = uint32_t(*preset.protocol);
    }
    if (preset.channel)
        options.port = portOfChannel(std::max(0, *preset.channel));
    if (command == Command::Recv)
        return;
    if (preset.address)
        options.address = *preset.address;
    // As the window: a size of 0 means 128.
    if (preset.width)
        options.format.width = uint16_t(*preset.width > 0 ? std::min(*preset.width, 65535) : 128);
    if (preset.height)
        options.format.height = uint16_t(*preset.height > 0 ? std::min(*preset.height, 65535) : 128);
    if (preset.depth) {
        if (*preset.depth < 0 || *preset.depth > 3)
            throw BadValue{QStringLiteral("--preset %1: the entry's depth code %2 is none of 0 to 3")
                               .arg(entry).arg(*preset.depth)};
        options.format.depth = uint16_t(*preset.depth);
    }
    if (preset.compressionType.value_or(0) != 0)
        options.jpegLevel = uint32_t(std::clamp(preset.compressionLevel.value_or(0), 0, 100));
    else if (preset.compressionType)
        options.jpegLevel.reset();
}

void addOptions(QCommandLineParser &parser, const CommandOptions &o, Command command)
{
    parser.addOption(o.help);
    if (command == Command::Serve) {
        parser.addOptions({o.controlPort, o.once, o.maxSeconds, o.maxMbps, o.key, o.allowMulticast, o.serveJson});
        return;
    }
    if (command == Command::Test) {
        parser.addOptions({o.protocol, o.channel, o.port, o.size, o.depth, o.fps, o.jpeg, o.redundancy, o.pacing,
                           o.pattern, o.seconds, o.testGroup, o.reverse, o.omit, o.interval, o.key, o.testJson,
                           o.verify, o.minFps, o.maxLoss, o.maxLatency, o.minPsnr, o.expect, o.sweep, o.trial});
        parser.addPositionalArgument(QStringLiteral("HOST"), QStringLiteral("A server, HOST[:PORT]; several with --group."));
        return;
    }
    parser.addOption(o.protocol);
    if (command == Command::Send)
        parser.addOptions({o.address, o.redundancy, o.pacing});
    parser.addOptions({o.channel, o.port});
    if (command != Command::Recv)
        parser.addOptions({o.size, o.depth, command == Command::Check ? o.checkFps : o.fps, o.jpeg, o.pattern});
    if (command != Command::Check)
        parser.addOption(o.preset);
    // check measures a rate over its seconds: a count of frames would only cut that short.
    parser.addOption(o.seconds);
    if (command != Command::Check)
        parser.addOption(o.frames);
    parser.addOption(o.json);
    if (command == Command::Recv)
        parser.addOptions({o.group, o.verify, o.minFps, o.maxLoss, o.maxLatency, o.minPsnr, o.expect});
}

void describe(QCommandLineParser &parser, Command command)
{
    switch (command) {
    case Command::Send:
        parser.setApplicationDescription(
            QStringLiteral("zunstream send: draws a test picture and streams it at a steady rate.\n"
                           "Prints frames sent and dropped once a second and a summary at the end."));
        break;
    case Command::Recv:
        parser.setApplicationDescription(QStringLiteral(
            "zunstream recv: receives a stream and reports once a second and at the end: frames per second,\n"
            "Mbit/s, frames delivered, dropped, incomplete and rejected, gaps in the frame numbers, latency\n"
            "(same host only) and jitter. Exits 0 when the thresholds were met, 1 when not, 2 for bad\n"
            "arguments."));
        break;
    case Command::Serve:
        parser.setApplicationDescription(QStringLiteral(
            "zunstream serve: waits for `zunstream test` on a TCP control port and runs its end of one test\n"
            "at a time: receives, or sends with --reverse, only to the client's address. Never exits on a\n"
            "bad or vanished client."));
        break;
    case Command::Test:
        parser.setApplicationDescription(QStringLiteral(
            "zunstream test: agrees a test with a server over its control connection, sends (or receives\n"
            "with --reverse), and prints both ends' figures every interval and a summary side by side.\n"
            "Exits 0 when the receiving end met the thresholds, 1 when not or the server was busy, 2 for\n"
            "bad arguments or a refused test. Default 10 seconds."));
        break;
    case Command::Check:
        parser.setApplicationDescription(QStringLiteral(
            "zunstream check: sends flat out and receives in this one process over loopback or memory, and\n"
            "reports how many frames a second this machine carries at the setting. With --fps, exits 1\n"
            "when that rate is out of reach. Default 3 seconds."));
        break;
    }
}

const char *commandName(Command command)
{
    switch (command) {
    case Command::Send: return "send";
    case Command::Recv: return "recv";
    case Command::Check: return "check";
    case Command::Serve: return "serve";
    case Command::Test: return "test";
    }
    return "";
}

} // namespace

QString commandHelp(Command command)
{
    QCommandLineParser parser;
    const CommandOptions o;
    describe(parser, command);
    addOptions(parser, o, command);
    // The first line names the program as it was started; a command's usage names the command.
    const QString help = parser.helpText();
    return QStringLiteral("Usage: zunstream %1 [options]").arg(QLatin1String(commandName(command))) +
           help.mid(help.indexOf(QLatin1Char('\n')));
}

ParsedCommandLine parseCommandLine(Command command, const QStringList &arguments, const QString &settingsPath)
{
    QCommandLineParser parser;
    const CommandOptions o;
    describe(parser, command);
    addOptions(parser, o, command);
    ParsedCommandLine result;
    if (!parser.parse(QStringList{QStringLiteral("zunstream")} + arguments)) {
        result.text = parser.errorText();
        return result;
    }
    if (parser.isSet(o.help)) {
        result.outcome = ParsedCommandLine::ShowText;
        result.text = commandHelp(command);
        return result;
    }
    if (command != Command::Test && !parser.positionalArguments().isEmpty()) {
        result.text = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().constFirst());
        return result;
    }

    // Options a command does not have are never set; asking Qt about them would warn.
    const QStringList names = parser.optionNames();
    auto given = [&names](const QCommandLineOption &option) { return names.contains(option.names().constLast()); };
    Options &options = result.options;
    options.command = command;
    if (command == Command::Check)
        options.seconds = 3;
    if (command == Command::Test)
        options.seconds = 10;
    try {
        if (command == Command::Serve || command == Command::Test)
            parseControlOptions(parser, o, options, given);
        if (given(o.preset))
            applyPreset(options, command, settingsPath, int(integer(parser, o.preset, 0, 99)));
        if (given(o.protocol))
            options.protocol = protocolValue(parser.value(o.protocol));
        if (given(o.address))
            options.address = parser.value(o.address);
        if (given(o.channel) && given(o.port))
            throw BadValue{QStringLiteral("give --channel or --port, not both")};
        if (given(o.channel))
            options.port = portOfChannel(int(integer(parser, o.channel, 0, 65535 - ZUN_PORT_BASE)));
        if (command != Command::Serve && given(o.port))
            options.port = uint32_t(integer(parser, o.port, 1, 65535));
        if (given(o.size)) {
            const StreamFormat size = formatValue(QStringLiteral("size"), parser.value(o.size), false);
            options.format.width = size.width;
            options.format.height = size.height;
        }
        if (given(o.depth))
            options.format.depth = depthValue(QStringLiteral("depth"), parser.value(o.depth));
        if (given(o.fps)) {
            options.fps = number(parser, o.fps, 0.01, 10000);
            options.fpsGiven = true;
        }
        if (given(o.jpeg))
            options.jpegLevel = uint32_t(integer(parser, o.jpeg, 0, 100));
        if (given(o.redundancy))
            options.redundancy = uint32_t(integer(parser, o.redundancy, 0, 100));
        if (given(o.pacing))
            options.pacingMbps = number(parser, o.pacing, 0.001, 1e6);
        for (const QCommandLineOption *udpOnly : {&o.redundancy, &o.pacing}) {
            if (given(*udpOnly) && options.protocol != ZUN_PROTOCOL_UDP)
                throw BadValue{QStringLiteral("--%1 applies to udp only, not %2")
                                   .arg(udpOnly->names().constLast(), protocolName(options.protocol))};
        }
        if (given(o.pattern)) {
            const QString pattern = parser.value(o.pattern);
            if (pattern != QLatin1String("lines") && pattern != QLatin1String("bars"))
                throw BadValue{QStringLiteral("--pattern %1: give lines or bars").arg(pattern)};
            options.pattern = pattern == QLatin1String("bars") ? Pattern::Bars : Pattern::Lines;
        }
        if (given(o.seconds))
            options.seconds = number(parser, o.seconds, 0.001, 1e9);
        if (given(o.frames))
            options.frames = uint64_t(integer(parser, o.frames, 1, std::numeric_limits<qint64>::max()));
        options.json = given(o.json);
        if (given(o.group)) {
            if (options.protocol != ZUN_PROTOCOL_UDP)
                throw BadValue{QStringLiteral("--group needs --protocol udp")};
            options.group = parser.value(o.group);
        }
        options.verify = given(o.verify) || given(o.minPsnr);
        Thresholds &t = options.thresholds;
        if (given(o.minFps))
            t.minFps = number(parser, o.minFps, 0, 1e6);
        if (given(o.maxLoss))
            t.maxLossPercent = number(parser, o.maxLoss, 0, 100);
        if (given(o.maxLatency))
            t.maxLatencyMs = number(parser, o.maxLatency, 0, 1e9);
        if (given(o.minPsnr))
            t.minPsnr = number(parser, o.minPsnr, 0, 1000);
        if (given(o.expect))
            t.expect = formatValue(QStringLiteral("expect"), parser.value(o.expect), true);
    } catch (const BadValue &bad) {
        result.text = bad.message;
        return result;
    }
    result.outcome = ParsedCommandLine::Run;
    return result;
}
