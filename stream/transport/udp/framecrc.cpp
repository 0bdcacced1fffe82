#include "transport/udp/framecrc.h"

#include <isa-l/crc.h>

namespace zun {

uint32_t frameCrc(std::span<const uint8_t> payload)
{
    return crc32_gzip_refl(0, payload.data(), payload.size());
}

} // namespace zun
