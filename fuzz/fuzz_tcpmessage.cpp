// The byte stream of TCP connections, as a TCP receiver splits it into frames.
// Input: [2 bytes: read size, big-endian][stream]. The stream is fed in reads of that size;
// after a bad header the rest goes to a fresh reader, as to the next connection.

#include "fuzzcheck.h"
#include "format.h"
#include "transport/tcp/tcpmessagereader.h"

#include <algorithm>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const size_t readSize = 1 + (((size_t(data[0]) << 8) | data[1]) % 8192);
    data += 2;
    size -= 2;
    auto reader = std::make_unique<zun::TcpMessageReader>();
    zun::EncodedFrame frame;
    size_t at = 0;
    while (at < size) {
        const std::span<uint8_t> space = reader->space();
        FUZZ_CHECK(!space.empty());
        const size_t n = std::min({space.size(), readSize, size - at});
        std::memcpy(space.data(), data + at, n);
        at += n;
        switch (reader->commit(n)) {
        case zun::TcpMessageReader::Status::Frame:
            reader->take(frame);
            FUZZ_CHECK(zun::payloadFits(frame.meta.format, frame.meta.compressed, frame.payload.size()));
            FUZZ_CHECK(!reader->midMessage());
            break;
        case zun::TcpMessageReader::Status::Bad:
            FUZZ_CHECK(!reader->midMessage());
            reader = std::make_unique<zun::TcpMessageReader>();
            break;
        case zun::TcpMessageReader::Status::More:
            break;
        }
    }
    return 0;
}
