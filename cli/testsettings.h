#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

// The test a client and a server agree on, as the "test" field of a request carries it. The
// direction is the client's: without `reverse` the client sends and the server receives.
struct TestSettings {
    struct Format {
        int width = 0, height = 0, depth = 0; // depth in bits
    };
    QString protocol = QStringLiteral("udp"); // udp, tcp or memory
    Format size{640, 480, 24};
    double fps = 30;
    std::optional<int> jpegLevel;
    std::optional<int> redundancy;
    std::optional<double> pacingMbps;
    QString pattern = QStringLiteral("lines"); // lines or bars
    int port = 10588;
    double seconds = 10;
    double omit = 0; // seconds before `seconds` that no figure counts
    double interval = 1;
    bool reverse = false;
    QString group; // a multicast group the receivers join; "" for unicast
    bool verify = false;
    std::optional<double> minFps, maxLossPercent, maxLatencyMs, minPsnr;
    std::optional<Format> expect;
};

// The most any request may ask, whatever a server allows.
constexpr double kLongestTestSeconds = 86400;
constexpr int kLargestSide = 8192;

QJsonObject settingsToJson(const TestSettings &settings);

// The settings in a request, or a one-line refusal naming the first bad field. Absent fields
// keep their defaults; a field of the wrong type or out of range is refused, never clamped.
struct ParsedSettings {
    std::optional<TestSettings> settings;
    QString error;
};
ParsedSettings settingsFromJson(const QJsonObject &object);

// The picture's rate in Mbit/s before any compression; a JPEG frame counts a tenth of its raw size.
double pictureMbps(const TestSettings &settings);
