#include "testsettings.h"

#include <QJsonArray>
#include <QStringList>

#include <cmath>

namespace {

struct Refusal {
    QString message;
};

[[noreturn]] void refuse(const QString &field, const QString &why)
{
    throw Refusal{QStringLiteral("field '%1': %2").arg(field, why)};
}

class Reader
{
public:
    explicit Reader(const QJsonObject &object) : mObject(object) {}

    bool has(const char *field) const
    {
        const QJsonValue v = mObject.value(QLatin1String(field));
        return !v.isUndefined() && !v.isNull();
    }
    double number(const char *field, double low, double high) const
    {
        const QJsonValue v = mObject.value(QLatin1String(field));
        if (!v.isDouble() || !std::isfinite(v.toDouble()))
            refuse(QLatin1String(field), QStringLiteral("not a number"));
        const double value = v.toDouble();
        if (!(value >= low && value <= high))
            refuse(QLatin1String(field), QStringLiteral("%1 is outside %2 to %3").arg(value).arg(low).arg(high));
        return value;
    }
    int whole(const char *field, int low, int high) const
    {
        const double value = number(field, low, high);
        if (value != std::floor(value))
            refuse(QLatin1String(field), QStringLiteral("%1 is not a whole number").arg(value));
        return int(value);
    }
    QString oneOf(const char *field, const QStringList &choices) const
    {
        const QString value = text(field, 16);
        if (!choices.contains(value))
            refuse(QLatin1String(field), QStringLiteral("'%1' is none of %2").arg(value, choices.join(QStringLiteral(", "))));
        return value;
    }
    QString text(const char *field, qsizetype longest) const
    {
        const QJsonValue v = mObject.value(QLatin1String(field));
        if (!v.isString())
            refuse(QLatin1String(field), QStringLiteral("not a string"));
        const QString value = v.toString();
        if (value.size() > longest)
            refuse(QLatin1String(field), QStringLiteral("longer than %1 characters").arg(longest));
        return value;
    }
    bool flag(const char *field) const
    {
        const QJsonValue v = mObject.value(QLatin1String(field));
        if (!v.isBool())
            refuse(QLatin1String(field), QStringLiteral("not true or false"));
        return v.toBool();
    }
    TestSettings::Format format(const char *prefix) const
    {
        const QByteArray w = QByteArray(prefix) + "width", h = QByteArray(prefix) + "height", d = QByteArray(prefix) + "depth";
        TestSettings::Format f;
        f.width = whole(w.constData(), 1, kLargestSide);
        f.height = whole(h.constData(), 1, kLargestSide);
        f.depth = whole(d.constData(), 8, 32);
        if (f.depth % 8 != 0)
            refuse(QLatin1String(d), QStringLiteral("%1 bits is none of 8, 16, 24, 32").arg(f.depth));
        return f;
    }

private:
    const QJsonObject &mObject;
};

// Dotted IPv4 with the first octet 224 to 239.
bool isMulticastGroup(const QString &group)
{
    const QStringList parts = group.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    for (qsizetype i = 0; i < 4; ++i) {
        bool ok = false;
        const int octet = parts[i].toInt(&ok);
        if (!ok || octet < 0 || octet > 255 || parts[i].size() > 3)
            return false;
        if (i == 0 && (octet < 224 || octet > 239))
            return false;
    }
    return true;
}

void putOptional(QJsonObject &o, const char *field, const std::optional<double> &value)
{
    if (value)
        o[QLatin1String(field)] = *value;
}

} // namespace

QJsonObject settingsToJson(const TestSettings &s)
{
    QJsonObject o;
    o[QStringLiteral("protocol")] = s.protocol;
    o[QStringLiteral("width")] = s.size.width;
    o[QStringLiteral("height")] = s.size.height;
    o[QStringLiteral("depth")] = s.size.depth;
    o[QStringLiteral("fps")] = s.fps;
    if (s.jpegLevel)
        o[QStringLiteral("jpeg")] = *s.jpegLevel;
    if (s.redundancy)
        o[QStringLiteral("redundancy")] = *s.redundancy;
    putOptional(o, "pacing_mbps", s.pacingMbps);
    o[QStringLiteral("pattern")] = s.pattern;
    o[QStringLiteral("port")] = s.port;
    o[QStringLiteral("seconds")] = s.seconds;
    o[QStringLiteral("omit")] = s.omit;
    o[QStringLiteral("interval")] = s.interval;
    o[QStringLiteral("reverse")] = s.reverse;
    if (!s.group.isEmpty())
        o[QStringLiteral("group")] = s.group;
    o[QStringLiteral("verify")] = s.verify;
    putOptional(o, "min_fps", s.minFps);
    putOptional(o, "max_loss", s.maxLossPercent);
    putOptional(o, "max_latency_ms", s.maxLatencyMs);
    putOptional(o, "min_psnr", s.minPsnr);
    if (s.expect) {
        o[QStringLiteral("expect_width")] = s.expect->width;
        o[QStringLiteral("expect_height")] = s.expect->height;
        o[QStringLiteral("expect_depth")] = s.expect->depth;
    }
    return o;
}

ParsedSettings settingsFromJson(const QJsonObject &object)
{
    ParsedSettings parsed;
    TestSettings s;
    const Reader r(object);
    try {
        if (r.has("protocol"))
            s.protocol = r.oneOf("protocol", {QStringLiteral("udp"), QStringLiteral("tcp"), QStringLiteral("memory")});
        if (r.has("width") || r.has("height") || r.has("depth"))
            s.size = r.format("");
        if (r.has("fps"))
            s.fps = r.number("fps", 0.01, 10000);
        if (r.has("jpeg"))
            s.jpegLevel = r.whole("jpeg", 0, 100);
        if (r.has("redundancy"))
            s.redundancy = r.whole("redundancy", 0, 100);
        if (r.has("pacing_mbps"))
            s.pacingMbps = r.number("pacing_mbps", 0.001, 1e6);
        if (r.has("pattern"))
            s.pattern = r.oneOf("pattern", {QStringLiteral("lines"), QStringLiteral("bars")});
        if (r.has("port"))
            s.port = r.whole("port", 1024, 65535);
        if (r.has("seconds"))
            s.seconds = r.number("seconds", 0.1, kLongestTestSeconds);
        if (r.has("omit"))
            s.omit = r.number("omit", 0, kLongestTestSeconds);
        if (r.has("interval"))
            s.interval = r.number("interval", 0.1, 3600);
        if (r.has("reverse"))
            s.reverse = r.flag("reverse");
        if (r.has("group")) {
            s.group = r.text("group", 15);
            if (!isMulticastGroup(s.group))
                refuse(QStringLiteral("group"), QStringLiteral("'%1' is no IPv4 multicast group").arg(s.group));
        }
        if (r.has("verify"))
            s.verify = r.flag("verify");
        if (r.has("min_fps"))
            s.minFps = r.number("min_fps", 0, 1e6);
        if (r.has("max_loss"))
            s.maxLossPercent = r.number("max_loss", 0, 100);
        if (r.has("max_latency_ms"))
            s.maxLatencyMs = r.number("max_latency_ms", 0, 1e9);
        if (r.has("min_psnr"))
            s.minPsnr = r.number("min_psnr", 0, 1000);
        if (r.has("expect_width") || r.has("expect_height") || r.has("expect_depth"))
            s.expect = r.format("expect_");
        if (s.redundancy && s.protocol != QLatin1String("udp"))
            refuse(QStringLiteral("redundancy"), QStringLiteral("applies to udp only, not %1").arg(s.protocol));
        if (s.pacingMbps && s.protocol != QLatin1String("udp"))
            refuse(QStringLiteral("pacing_mbps"), QStringLiteral("applies to udp only, not %1").arg(s.protocol));
        if (!s.group.isEmpty() && s.protocol != QLatin1String("udp"))
            refuse(QStringLiteral("group"), QStringLiteral("needs udp, not %1").arg(s.protocol));
    } catch (const Refusal &refusal) {
        parsed.error = refusal.message;
        return parsed;
    }
    parsed.settings = s;
    return parsed;
}

double pictureMbps(const TestSettings &s)
{
    const double frameBits = double(s.size.width) * s.size.height * s.size.depth;
    return frameBits * s.fps / 1e6 / (s.jpegLevel ? 10 : 1);
}
