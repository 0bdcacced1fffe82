#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>

namespace zun {

// The address text an encoder is given: "host" or "group@interface-address", where the
// host is a dotted IPv4 address or a name and the interface is a local IPv4 address.
struct DestinationAddress {
    std::string host;
    std::optional<in_addr> interface;

    // nullopt for text that can never name a destination (empty, bad interface part).
    static std::optional<DestinationAddress> parse(const std::string &text);
    // The host as a dotted address, without asking any name service.
    std::optional<in_addr> numericHost() const;
    // Asks the system's resolver for an IPv4 address; may take seconds. A failure leaves
    // getaddrinfo's code in *error.
    std::optional<in_addr> resolve(int *error = nullptr) const;
};

} // namespace zun
