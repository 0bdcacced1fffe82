#include "destinationfactory.h"

#include "memorydestination.h"
#include "queueddestination.h"
#include "transport/tcp/tcpsender.h"
#include "transport/udp/udpsender.h"

namespace zun {

std::unique_ptr<FrameDestination> makeDestination(uint32_t protocol, const StreamFormat &format, uint32_t streamId)
{
    switch (protocol) {
    case ZUN_PROTOCOL_UDP: return std::make_unique<QueuedDestination>(std::make_unique<UdpSender>());
    case ZUN_PROTOCOL_TCP: return std::make_unique<TcpSender>();
    case ZUN_PROTOCOL_MEMORY: return std::make_unique<MemoryDestination>(format, streamId);
    default: return nullptr;
    }
}

} // namespace zun
