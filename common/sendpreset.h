#pragma once

#include <QString>

#include <optional>

// One config entry of the settings file as stored; a value the entry does not hold is empty.
// protocol is the stored code (index + 1, any number), depth and compressionType the indexes.
struct SendPreset {
    std::optional<qint64> protocol;
    std::optional<int> channel;
    std::optional<QString> address;
    std::optional<int> width;
    std::optional<int> height;
    std::optional<int> depth;
    std::optional<int> compressionType;
    std::optional<int> compressionLevel;
};

// The settings group that holds entry configId.
QString sendPresetGroup(int configId);

// Reads entry configId of the settings file at path; never writes it.
SendPreset readSendPreset(const QString &path, int configId);
