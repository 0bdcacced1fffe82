#pragma once

#include "status.h"
#include "transport/destinationresolver.h"

#include <string>

namespace zun {

// How a network sender says where its destination stands: the same words for UDP and TCP.

// Sets the resolver's destination; text that names none fails the status.
bool setDestinationReporting(DestinationResolver &resolver, Status &status, const char *transport,
                             const std::string &address, uint16_t port, uint32_t readyState);

// For a target the sender's thread takes up: a name not found fails the status, a ready
// address moves it to readyState.
void reportTarget(Status &status, const char *transport, const DestinationResolver &resolver,
                  const DestinationResolver::Target &target, uint32_t readyState);

// "udp 239.1.2.3:10588" for a resolved target.
std::string targetText(const char *transport, const DestinationResolver::Target &target);

} // namespace zun
