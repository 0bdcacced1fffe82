#include "endpoints.h"

#include "linkstatus.h"
#include "report.h"

namespace {

// The library's own words on why, where it has them.
void withReason(QString *why, uint32_t handle)
{
    const QString reason = statusText(handle);
    if (!reason.isEmpty())
        *why += QStringLiteral(" (%1)").arg(reason);
}

} // namespace

QString settingName(const Options &o)
{
    return QStringLiteral("%1%2 over %3 port %4")
        .arg(formatName(o.format, o.jpegLevel.has_value()))
        .arg(o.jpegLevel ? QStringLiteral(" level %1").arg(*o.jpegLevel) : QString())
        .arg(protocolName(o.protocol))
        .arg(o.port);
}

uint32_t openEncoder(const Options &o, const QString &address, QString *why)
{
    const uint32_t encoder = zunGetEncoder(o.protocol, &o.format);
    if (encoder == 0) {
        *why = QStringLiteral("the library refuses a %1x%2 frame at %3 bits (sizes are 1 to 8192)")
                   .arg(o.format.width).arg(o.format.height).arg(depthBits(o.format.depth));
        return 0;
    }
    if (!zunSetDestFormat(encoder, &o.format, o.jpegLevel ? 1 : 0, o.jpegLevel.value_or(0))) {
        *why = QStringLiteral("the library refuses the format %1").arg(formatName(o.format, o.jpegLevel.has_value()));
        zunDeleteEncoder(encoder);
        return 0;
    }
    if (o.redundancy && !zunSetRedundancy(encoder, *o.redundancy)) {
        *why = QStringLiteral("the library refuses redundancy %1").arg(*o.redundancy);
        zunDeleteEncoder(encoder);
        return 0;
    }
    if (o.pacingMbps && !zunSetPacingRate(encoder, uint64_t(*o.pacingMbps * 1e6 / 8))) {
        *why = QStringLiteral("the library refuses a pacing rate of %1 Mbit/s").arg(*o.pacingMbps);
        zunDeleteEncoder(encoder);
        return 0;
    }
    const QByteArray destination = address.toLocal8Bit();
    if (!zunSetDestAddress(encoder, destination.constData(), o.port)) {
        *why = o.protocol == ZUN_PROTOCOL_MEMORY
                   ? QStringLiteral("memory port %1 cannot be used: another sender holds it, or /dev/shm is full")
                         .arg(o.port)
                   : QStringLiteral("the library refuses address '%1' port %2").arg(address).arg(o.port);
        withReason(why, encoder);
        zunDeleteEncoder(encoder);
        return 0;
    }
    return encoder;
}

uint32_t openDecoder(const Options &o, QString *why)
{
    // The library names a format other than the one asked for; a receiver asks only under --expect.
    const StreamFormat hint = o.thresholds.expect.value_or(StreamFormat{0, 0, ZUN_DEPTH_RGB888, 1});
    const uint32_t decoder = zunGetDecoder(o.protocol, &hint);
    if (decoder == 0) {
        *why = QStringLiteral("the library refuses protocol %1").arg(protocolName(o.protocol));
        return 0;
    }
    const QByteArray group = o.group.toLocal8Bit();
    if (!(o.group.isEmpty() ? zunSetSourceAddress(decoder, o.port)
                            : zunSetSourceGroup(decoder, group.constData(), o.port))) {
        *why = o.group.isEmpty() ? QStringLiteral("cannot receive on %1 port %2").arg(protocolName(o.protocol)).arg(o.port)
                                 : QStringLiteral("cannot join group '%1' on udp port %2").arg(o.group).arg(o.port);
        withReason(why, decoder);
        zunDeleteDecoder(decoder);
        return 0;
    }
    return decoder;
}
