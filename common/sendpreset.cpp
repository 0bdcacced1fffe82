#include "sendpreset.h"

#include <QSettings>

QString sendPresetGroup(int configId)
{
    return QStringLiteral("%1").arg(configId, 0, 10, QLatin1Char(' '));
}

SendPreset readSendPreset(const QString &path, int configId)
{
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(sendPresetGroup(configId));
    auto read = [&settings](const char *key) { return settings.value(QLatin1String(key)); };
    auto number = [&read](const char *key) {
        const QVariant value = read(key);
        return value.isValid() ? std::optional<int>(value.toInt()) : std::nullopt;
    };

    SendPreset preset;
    if (const QVariant protocol = read("protocol"); protocol.isValid())
        preset.protocol = protocol.toLongLong();
    preset.channel = number("channel");
    if (const QVariant address = read("address"); address.isValid())
        preset.address = address.toString();
    preset.width = number("width");
    preset.height = number("height");
    preset.depth = number("depth");
    preset.compressionType = number("compressiontype");
    preset.compressionLevel = number("compressionlevel");
    settings.endGroup();
    return preset;
}
