#pragma once

#include "testpicture.h"
#include "thresholds.h"
#include "vocabulary.h"
#include "zunVidStreamLib2.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

enum class Command { Send, Recv, Check, Serve, Test };

// The control port of `serve`, below the channel ports.
constexpr uint16_t kControlPort = ZUN_PORT_BASE - 1;

// Exit codes of every command.
enum ExitCode { kExitPassed = 0, kExitFailed = 1, kExitUsage = 2 };

// What one command was asked to do, after the preset and the options are merged.
struct Options {
    Command command = Command::Send;
    uint32_t protocol = ZUN_PROTOCOL_UDP;
    QString address = QStringLiteral("127.0.0.1");
    QString group; // recv: another multicast group to join, "group[@interface-address]"
    uint32_t port = portOfChannel(0);
    StreamFormat format{640, 480, 1, 1};
    std::optional<uint32_t> jpegLevel;
    std::optional<uint32_t> redundancy; // send over UDP: parity percent, the library's default when absent
    std::optional<double> pacingMbps;   // send over UDP: a fixed rate for each frame's datagrams
    double fps = 30;
    bool fpsGiven = false;
    Pattern pattern = Pattern::Lines;
    double seconds = 0; // 0: until --frames or Ctrl-C
    uint64_t frames = 0; // 0: until --seconds or Ctrl-C
    bool json = false;
    bool verify = false;
    Thresholds thresholds;
    // test
    QStringList hosts; // HOST[:CONTROL-PORT] each
    bool reverse = false;
    double omitSeconds = 0;
    double intervalSeconds = 1;
    QString keyFile;
    std::optional<QString> sweep; // fps, size or jpeg
    double trialSeconds = 3;
    // serve
    uint16_t controlPort = kControlPort;
    bool once = false;
    double maxSeconds = 300;
    std::optional<double> maxMbps;
    bool allowMulticast = false;
};

struct ParsedCommandLine {
    enum Outcome { Run, ShowText, Error } outcome = Error;
    QString text; // help, version or the error
    Options options;
};

// Parses everything after the command name; `settingsPath` is the file --preset reads.
ParsedCommandLine parseCommandLine(Command command, const QStringList &arguments, const QString &settingsPath);

// Help of one command, as --help prints it.
QString commandHelp(Command command);

