// Runs of datagrams as the kernel hands them over with receive offload, read into frames in
// place, against the same datagrams put together one by one: whatever either completes with
// the same stream and number must hold the same bytes.
// Input: records of [2 bytes: segment size, 0 for one datagram][2 bytes: length][bytes],
// big-endian.

#include "fuzzcheck.h"
#include "smalllimits.h"
#include "format.h"
#include "transport/udp/datagramreader.h"
#include "transport/udp/framereassembler.h"
#include "transport/wireheader.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <utility>

namespace {

using FrameKey = std::pair<uint32_t, uint32_t>;

// The plain path: each datagram checked and added on its own, from the bytes as they came.
void addOneByOne(zun::FrameReassembler &reassembler, std::span<const uint8_t> run, size_t segment,
                 std::map<FrameKey, zun::Bytes> &completed)
{
    for (size_t at = 0; at < run.size(); at += segment) {
        const auto datagram = run.subspan(at, std::min(segment, run.size() - at));
        const auto header = zun::WireHeader::read(datagram);
        if (!header || datagram.size() != zun::WireHeader::kSize + header->pieceLength)
            continue;
        if (reassembler.add(*header, datagram.subspan(zun::WireHeader::kSize), 1)
            == zun::FrameReassembler::Result::Completed) {
            zun::EncodedFrame frame;
            reassembler.take(frame);
            completed[{frame.meta.streamId, frame.meta.frameNumber}] = frame.payload;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto limits = smallLimits();
    zun::FrameReassembler inPlace(limits), plain(limits);
    zun::DatagramReader reader;
    std::map<FrameKey, zun::Bytes> fromInPlace, fromPlain;
    std::span<const uint8_t> in(data, size);
    while (in.size() >= 4) {
        const size_t segment = (size_t(in[0]) << 8) | in[1];
        const size_t length = std::min<size_t>((size_t(in[2]) << 8) | in[3], in.size() - 4);
        const auto run = in.subspan(4, length);
        in = in.subspan(4 + length);
        reader.take(run, segment, inPlace, [&](const zun::DatagramReader::Outcome &outcome) {
            FUZZ_CHECK(inPlace.bytesHeld() <= limits.maxBytes);
            if (outcome.result != zun::FrameReassembler::Result::Completed)
                return;
            zun::EncodedFrame frame;
            inPlace.take(frame);
            FUZZ_CHECK(zun::payloadFits(frame.meta.format, frame.meta.compressed, frame.payload.size()));
            fromInPlace[{frame.meta.streamId, frame.meta.frameNumber}] = frame.payload;
        });
        if (run.size() <= zun::DatagramReader::kMaxMessage)
            addOneByOne(plain, run, segment ? segment : std::max<size_t>(run.size(), 1), fromPlain);
        for (const auto &[key, payload] : fromInPlace) {
            const auto it = fromPlain.find(key);
            FUZZ_CHECK(it == fromPlain.end() || it->second == payload);
        }
    }
    return 0;
}
