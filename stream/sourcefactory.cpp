#include "sourcefactory.h"

#include "memoryfollower.h"
#include "networksource.h"
#include "sourcemonitor.h"
#include "status.h"
#include "transport/destinationaddress.h"
#include "transport/udp/udpreceiver.h"

#include <arpa/inet.h>

#include <cerrno>

namespace zun {

namespace {

const char *transportName(uint32_t protocol)
{
    switch (protocol) {
    case ZUN_PROTOCOL_UDP: return "udp";
    case ZUN_PROTOCOL_TCP: return "tcp";
    default: return "memory";
    }
}

const char *unitNoun(uint32_t protocol)
{
    switch (protocol) {
    case ZUN_PROTOCOL_UDP: return "datagrams";
    case ZUN_PROTOCOL_TCP: return "messages";
    default: return "slots";
    }
}

bool isMulticast(const in_addr &address)
{
    return (ntohl(address.s_addr) & 0xF0000000u) == 0xE0000000u;
}

std::unique_ptr<NetworkReceiver> makeReceiver(uint32_t protocol, const std::optional<std::string> &group,
                                              SourceMonitor &monitor)
{
    if (!group)
        return makeNetworkReceiver(protocol);
    const auto parsed = DestinationAddress::parse(*group);
    if (parsed->interface && !UdpReceiver::isLocalAddress(*parsed->interface)) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &*parsed->interface, text, sizeof text);
        monitor.fail(ENODEV, std::string("no interface of this host has address ") + text);
        return nullptr;
    }
    auto receiver = std::make_unique<UdpReceiver>();
    receiver->setGroup(*parsed->numericHost(), parsed->interface);
    return receiver;
}

} // namespace

bool canReceive(uint32_t protocol)
{
    return protocol == ZUN_PROTOCOL_MEMORY || makeNetworkReceiver(protocol) != nullptr;
}

bool canJoin(uint32_t protocol, const std::string &group)
{
    const auto parsed = DestinationAddress::parse(group);
    const auto address = parsed ? parsed->numericHost() : std::nullopt;
    return protocol == ZUN_PROTOCOL_UDP && address && isMulticast(*address);
}

std::unique_ptr<FrameSource> openSource(uint32_t protocol, const SourceAddress &where, SourceContext context)
{
    SourceMonitor &monitor = context.monitor;
    monitor.start(portText(transportName(protocol), where.port), unitNoun(protocol));
    if (protocol == ZUN_PROTOCOL_MEMORY)
        return std::make_unique<MemoryFollower>(where.port, std::move(context));
    auto receiver = makeReceiver(protocol, where.group, monitor);
    if (!receiver)
        return nullptr;
    if (!receiver->listen(where.port)) {
        const int error = errno;
        monitor.fail(error, errorText(error));
        return nullptr;
    }
    if (const std::string problem = receiver->listenProblem(); !problem.empty())
        monitor.warn(problem);
    return std::make_unique<NetworkSource>(std::move(receiver), std::move(context));
}

} // namespace zun
