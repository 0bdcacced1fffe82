#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <cstdint>

// Output of the commands, flushed a line at a time so that a pipe sees each second as it ends.
namespace console {
void out(const QString &text);
void err(const QString &text);
void json(const QJsonObject &object);
// "zunstream <command>: <message>" on stderr.
void error(const char *command, const QString &message);
} // namespace console

// CLOCK_MONOTONIC in ns, the clock of the library's send times.
uint64_t monotonicNowNs();
