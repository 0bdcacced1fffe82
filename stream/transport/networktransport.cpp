#include "networktransport.h"

#include "udpreceiver.h"
#include "udpsender.h"

namespace zun {

std::unique_ptr<NetworkSender> makeNetworkSender(uint32_t protocol)
{
    switch (protocol) {
    case 1: return std::make_unique<UdpSender>();
    default: return nullptr;
    }
}

std::unique_ptr<NetworkReceiver> makeNetworkReceiver(uint32_t protocol)
{
    switch (protocol) {
    case 1: return std::make_unique<UdpReceiver>();
    default: return nullptr;
    }
}

} // namespace zun
