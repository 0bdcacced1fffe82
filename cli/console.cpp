#include "console.h"

#include "report.h"

#include <cstdio>
#include <ctime>

namespace {

void write(FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

QByteArray withNewline(const QString &text)
{
    QByteArray bytes = text.toLocal8Bit();
    if (!bytes.endsWith('\n'))
        bytes += '\n';
    return bytes;
}

} // namespace

namespace console {

void out(const QString &text)
{
    write(stdout, withNewline(text));
}

void err(const QString &text)
{
    write(stderr, withNewline(text));
}

void json(const QJsonObject &object)
{
    write(stdout, jsonreport::line(object));
}

void error(const char *command, const QString &message)
{
    err(QStringLiteral("zunstream %1: %2").arg(QLatin1String(command), message));
}

} // namespace console

uint64_t monotonicNowNs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1'000'000'000u + uint64_t(now.tv_nsec);
}
