#include "transport/destinationstatus.h"

#include <netdb.h>

#include <cerrno>

namespace zun {

bool setDestinationReporting(DestinationResolver &resolver, Status &status, const char *transport,
                             const std::string &address, uint16_t port, uint32_t readyState)
{
    if (!resolver.set(address, port)) {
        status.restart(ZUN_STATE_FAILED);
        status.fail(EINVAL, std::string(transport) + " \"" + address + "\":" + std::to_string(port)
                                + ": not an IPv4 address or host name");
        return false;
    }
    const bool resolving = resolver.current().state == DestinationResolver::State::Resolving;
    status.restart(resolving ? uint32_t(ZUN_STATE_RESOLVING) : readyState);
    return true;
}

void reportTarget(Status &status, const char *transport, const DestinationResolver &resolver,
                  const DestinationResolver::Target &target, uint32_t readyState)
{
    switch (target.state) {
    case DestinationResolver::State::Failed:
        // getaddrinfo's codes are negative, so they stay apart from error numbers.
        status.fail(target.lookupError, std::string(transport) + " " + resolver.host() + ":"
                        + std::to_string(ntohs(target.address.sin_port)) + ": "
                        + gai_strerror(target.lookupError));
        break;
    case DestinationResolver::State::Ready:
        status.setState(readyState);
        break;
    default:
        break;
    }
}

std::string targetText(const char *transport, const DestinationResolver::Target &target)
{
    return endpointText(transport, target.address.sin_addr.s_addr, ntohs(target.address.sin_port));
}

} // namespace zun
