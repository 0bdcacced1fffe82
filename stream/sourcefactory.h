#pragma once

#include "framesource.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace zun {

// Where to listen: a port, and for UDP a multicast group to join instead of the stream's own
// ("239.1.2.3" or "239.1.2.3@192.168.1.5").
struct SourceAddress {
    uint16_t port = 0;
    std::optional<std::string> group;
};

// Whether a decoder of this protocol can be made.
bool canReceive(uint32_t protocol);
// Whether a source of this protocol can join this group: UDP, and a multicast address.
bool canJoin(uint32_t protocol, const std::string &group);
// Starts the context's monitor on where and follows it; null, with why in the monitor, when
// that fails. A group is only given where canJoin holds.
std::unique_ptr<FrameSource> openSource(uint32_t protocol, const SourceAddress &where, SourceContext context);

} // namespace zun
