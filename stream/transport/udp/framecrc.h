#pragma once

#include <cstdint>
#include <span>

namespace zun {

// CRC-32 (the one of gzip and Ethernet) of a frame's whole payload.
uint32_t frameCrc(std::span<const uint8_t> payload);

} // namespace zun
