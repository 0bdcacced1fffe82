#include "transport/networktransport.h"

#include "transport/tcp/tcpreceiver.h"
#include "transport/tcp/tcpsender.h"
#include "transport/udp/udpreceiver.h"
#include "transport/udp/udpsender.h"

namespace zun {

std::unique_ptr<NetworkSender> makeNetworkSender(uint32_t protocol)
{
    switch (protocol) {
    case 1: return std::make_unique<UdpSender>();
    case 2: return std::make_unique<TcpSender>();
    default: return nullptr;
    }
}

std::unique_ptr<NetworkReceiver> makeNetworkReceiver(uint32_t protocol)
{
    switch (protocol) {
    case 1: return std::make_unique<UdpReceiver>();
    case 2: return std::make_unique<TcpReceiver>();
    default: return nullptr;
    }
}

} // namespace zun
