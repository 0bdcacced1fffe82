#include "linkstatus.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace {

QString stateName(uint32_t state)
{
    switch (state) {
    case ZUN_STATE_IDLE: return QStringLiteral("idle");
    case ZUN_STATE_RESOLVING: return QStringLiteral("resolving");
    case ZUN_STATE_CONNECTING: return QStringLiteral("connecting");
    case ZUN_STATE_SENDING: return QStringLiteral("sending");
    case ZUN_STATE_WAITING: return QStringLiteral("waiting");
    case ZUN_STATE_RECEIVING: return QStringLiteral("receiving");
    case ZUN_STATE_STALLED: return QStringLiteral("stalled");
    case ZUN_STATE_FAILED: return QStringLiteral("failed");
    default: return QStringLiteral("unknown");
    }
}

QString groupsJoined(const Options &o)
{
    const QString group = o.group.isEmpty() ? QStringLiteral("239.255.105.88") : o.group.section(QLatin1Char('@'), 0, 0);
    const QString where = o.group.contains(QLatin1Char('@'))
                              ? QStringLiteral("the interface with address %1").arg(o.group.section(QLatin1Char('@'), 1))
                              : multicastInterfaceNames().join(QStringLiteral(", "));
    return QStringLiteral("group %1 joined on %2").arg(group, where.isEmpty() ? QStringLiteral("no interface") : where);
}

QString textOf(const ZunStatus &status)
{
    return QString::fromLocal8Bit(status.text, int(qstrnlen(status.text, sizeof status.text)));
}

} // namespace

QStringList multicastInterfaceNames()
{
    QStringList names;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return names;
    for (const ifaddrs *ifa = list; ifa; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET || !(ifa->ifa_flags & IFF_UP) ||
            !(ifa->ifa_flags & (IFF_MULTICAST | IFF_LOOPBACK)))
            continue;
        const QString name = QString::fromLocal8Bit(ifa->ifa_name);
        if (!names.contains(name))
            names << name;
    }
    freeifaddrs(list);
    return names;
}

QString statusText(uint32_t handle)
{
    ZunStatus status{};
    return zunGetStatus(handle, &status) ? textOf(status) : QString();
}

LinkStatus receiveStatus(const Options &o, uint32_t decoder, QString &seen)
{
    ZunStatus status{};
    zunGetStatus(decoder, &status);
    LinkStatus result{stateName(status.state), {}};
    const QString where = QStringLiteral("%1 port %2").arg(protocolName(o.protocol)).arg(o.port);
    const QString problem = textOf(status);
    switch (status.state) {
    case ZUN_STATE_RECEIVING:
        // The last problem stays in the status after it has passed; while frames come it is history.
        seen = problem;
        return result;
    case ZUN_STATE_STALLED:
        result.text = QStringLiteral("stalled: no frame for a second or more on %1").arg(where);
        if (problem == seen)
            return result;
        break;
    case ZUN_STATE_FAILED:
        result.text = QStringLiteral("failed on %1").arg(where);
        break;
    default:
        result.text = QStringLiteral("waiting for a first frame on %1").arg(where);
        if (o.protocol == ZUN_PROTOCOL_UDP)
            result.text += QStringLiteral(", ") + groupsJoined(o);
        break;
    }
    if (!problem.isEmpty())
        result.text += QStringLiteral("; ") + problem;
    return result;
}

LinkStatus sendStatus(uint32_t encoder)
{
    ZunStatus status{};
    zunGetStatus(encoder, &status);
    LinkStatus result{stateName(status.state), {}};
    if (status.state != ZUN_STATE_SENDING)
        result.text = result.state;
    const QString problem = textOf(status);
    if (!problem.isEmpty())
        result.text += (result.text.isEmpty() ? QString() : QStringLiteral(": ")) + problem;
    return result;
}
