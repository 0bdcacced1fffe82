#include "networktransport.h"

#include "tcpreceiver.h"
#include "tcpsender.h"
#include "udpreceiver.h"
#include "udpsender.h"

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
