#include "vocabulary.h"

std::optional<uint16_t> depthOfBits(int bits)
{
    for (uint16_t depth : {ZUN_DEPTH_RGB565, ZUN_DEPTH_RGB888, ZUN_DEPTH_RGB32, ZUN_DEPTH_GREY8}) {
        if (depthBits(depth) == bits)
            return depth;
    }
    return std::nullopt;
}

QString protocolName(uint32_t protocol)
{
    switch (protocol) {
    case ZUN_PROTOCOL_UDP: return QStringLiteral("udp");
    case ZUN_PROTOCOL_TCP: return QStringLiteral("tcp");
    case ZUN_PROTOCOL_MEMORY: return QStringLiteral("memory");
    default: return QStringLiteral("unknown");
    }
}

std::optional<uint32_t> protocolOfName(QStringView name)
{
    for (uint32_t protocol : {ZUN_PROTOCOL_UDP, ZUN_PROTOCOL_TCP, ZUN_PROTOCOL_MEMORY}) {
        if (name == protocolName(protocol))
            return protocol;
    }
    return std::nullopt;
}
