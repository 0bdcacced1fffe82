// Datagrams as a UDP receiver takes them: header validation, then reassembly and repair
// from parity pieces.
// Input: records of [1 byte: clock step in 10 ms][2 bytes: length, big-endian][datagram].

#include "fuzzcheck.h"
#include "smalllimits.h"
#include "format.h"
#include "transport/udp/framereassembler.h"
#include "transport/wireheader.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const zun::FrameReassembler::Limits limits = smallLimits();
    zun::FrameReassembler reassembler(limits);
    zun::EncodedFrame frame;
    uint64_t now = 1'000'000'000;
    std::span<const uint8_t> in(data, size);
    while (in.size() >= 3) {
        now += uint64_t(in[0]) * 10'000'000;
        const size_t length = std::min<size_t>((size_t(in[1]) << 8) | in[2], in.size() - 3);
        const auto datagram = in.subspan(3, length);
        in = in.subspan(3 + length);

        const auto header = zun::WireHeader::read(datagram);
        if (!header)
            continue;
        FUZZ_CHECK(uint64_t(header->pieceOffset) + header->pieceLength <= header->totalLength);
        FUZZ_CHECK(zun::payloadFits(header->meta.format, header->meta.compressed, header->totalLength));
        if (datagram.size() != header->size() + header->pieceLength)
            continue;
        const auto result = reassembler.add(*header, datagram.subspan(header->size()), now);
        FUZZ_CHECK(reassembler.bytesHeld() <= limits.maxBytes);
        if (result == zun::FrameReassembler::Result::Completed) {
            reassembler.take(frame);
            FUZZ_CHECK(zun::payloadFits(frame.meta.format, frame.meta.compressed, frame.payload.size()));
        }
        reassembler.expire(now);
    }
    return 0;
}
