#include "transport/networktransport.h"

#include "transport/tcp/tcpreceiver.h"
#include "transport/udp/udpreceiver.h"

namespace zun {

std::unique_ptr<NetworkReceiver> makeNetworkReceiver(uint32_t protocol)
{
    switch (protocol) {
    case ZUN_PROTOCOL_UDP: return std::make_unique<UdpReceiver>();
    case ZUN_PROTOCOL_TCP: return std::make_unique<TcpReceiver>();
    default: return nullptr;
    }
}

} // namespace zun
