#pragma once

#include <cstdint>
#include <span>

namespace zun {

// One datagram as it goes out: its header bytes and the span of the frame it carries, so
// the payload is never copied on its way to the socket.
struct Datagram {
    std::span<const uint8_t> header;
    std::span<const uint8_t> payload;

    size_t size() const { return header.size() + payload.size(); }
};

} // namespace zun
