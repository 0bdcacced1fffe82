#pragma once

#include "zunVidStreamLib2.h"

#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

// The words the window and zunstream share for what the library numbers: depth codes and their
// bits, protocol names, and the port of a channel.

// Bits per pixel of a depth code; 0 for an unknown one.
constexpr int depthBits(uint32_t depth)
{
    switch (depth) {
    case ZUN_DEPTH_RGB565: return 16;
    case ZUN_DEPTH_RGB888: return 24;
    case ZUN_DEPTH_RGB32: return 32;
    case ZUN_DEPTH_GREY8: return 8;
    default: return 0;
    }
}

constexpr uint32_t depthBytes(uint32_t depth)
{
    return uint32_t(depthBits(depth)) / 8;
}

// The depth code of a bit count; empty when no depth has that many.
std::optional<uint16_t> depthOfBits(int bits);

// "udp", "tcp" or "memory"; "unknown" for any other code.
QString protocolName(uint32_t protocol);
// The protocol code of one of those names; empty for any other text.
std::optional<uint32_t> protocolOfName(QStringView name);

// Channels count from the library's port base, as the window numbers them.
constexpr uint32_t portOfChannel(int channel)
{
    return uint32_t(channel) + ZUN_PORT_BASE;
}
