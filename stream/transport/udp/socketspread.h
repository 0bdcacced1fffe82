#pragma once

#include <cstddef>
#include <cstdint>

namespace zun {

// Where the kernel grants a socket less buffer than a frame's burst needs, one port can
// take its unicast datagrams into several sockets, each with a buffer of its own: the
// kernel sends each 64 KiB run of a frame to the next socket in turn, so a receiver that
// waits a few milliseconds for a core loses nothing while the sockets together have room,
// and reading them in the same turn still meets the frame's pieces in order.
struct SocketSpread {
    static constexpr size_t kMaxSockets = 16;
    static constexpr unsigned kRunShift = 16;

    // The socket of count that the data piece at offset of frame frameNumber goes to.
    static size_t socketFor(uint32_t frameNumber, uint32_t offset, size_t count)
    {
        return (frameNumber + (offset >> kRunShift)) % count;
    }
    // Has the kernel pick that way among the count sockets bound to fd's port with
    // SO_REUSEPORT, in the order they were bound; parity pieces go by block and row.
    static bool attach(int fd, size_t count);
};

} // namespace zun
