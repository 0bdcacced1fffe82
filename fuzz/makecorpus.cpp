// Writes the seed corpus: a few valid inputs per fuzz target, made with the library's own
// header writer, codec and segment layout, so the seeds follow the code.
//   fuzz_makecorpus <corpus dir>

#include "format.h"
#include "jpegcodec.h"
#include "transport/memory/shmlayout.h"
#include "transport/udp/framecrc.h"
#include "transport/udp/parityencoder.h"
#include "transport/wireheader.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

Bytes picture(const StreamFormat &format, uint32_t seed)
{
    Bytes pixels(zun::byteSize(format));
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = uint8_t(seed * 31 + i * 7 + (i / 13) * 5);
    return pixels;
}

// The striped payload the library sends.
Bytes jpeg(const StreamFormat &format, uint32_t seed, uint32_t strips = 1)
{
    zun::JpegCodec codec;
    const Bytes pixels = picture(format, seed);
    const auto out = codec.encode(format, pixels.data(), 50, strips);
    return {out.begin(), out.end()};
}

// One JPEG file, as a version 1 peer sends: a single strip without its index.
Bytes wholeJpeg(const StreamFormat &format, uint32_t seed)
{
    const Bytes striped = jpeg(format, seed);
    return {striped.begin() + zun::stripIndexSize(1), striped.end()};
}

zun::FrameMeta meta(const StreamFormat &format, bool compressed, uint32_t frame, uint32_t stream)
{
    zun::FrameMeta m;
    m.format = format;
    m.compressed = compressed;
    m.frameNumber = frame;
    m.streamId = stream;
    m.sendTimeNs = 123456789;
    return m;
}

Bytes message(const zun::FrameMeta &m, const Bytes &payload, uint32_t offset, uint32_t length)
{
    zun::WireHeader h;
    h.meta = m;
    h.totalLength = uint32_t(payload.size());
    h.pieceOffset = offset;
    h.pieceLength = length;
    Bytes out(h.size());
    h.write(out);
    out.insert(out.end(), payload.begin() + offset, payload.begin() + offset + length);
    return out;
}

// A datagram record of the datagram target: clock step, length, bytes.
void record(Bytes &out, uint8_t step, const Bytes &datagram)
{
    out.push_back(step);
    out.push_back(uint8_t(datagram.size() >> 8));
    out.push_back(uint8_t(datagram.size()));
    out.insert(out.end(), datagram.begin(), datagram.end());
}

void pieces(Bytes &out, const zun::FrameMeta &m, const Bytes &payload, uint32_t piece, int skip = -1)
{
    int index = 0;
    for (uint32_t at = 0; at < payload.size(); at += piece, ++index) {
        const uint32_t length = std::min<uint32_t>(piece, uint32_t(payload.size()) - at);
        if (index != skip)
            record(out, 0, message(m, payload, at, length));
    }
}

// The parity pieces a sender adds, percent of the data pieces.
void parity(Bytes &out, const zun::FrameMeta &m, const Bytes &payload, uint32_t piece, uint32_t percent)
{
    const auto layout = zun::ParityLayout::choose(uint32_t(payload.size()), piece, percent);
    zun::ParityEncoder encoder;
    encoder.encode(payload, layout);
    zun::WireHeader h;
    h.meta = m;
    h.totalLength = uint32_t(payload.size());
    h.pieceLength = layout.pieceSize;
    for (uint32_t row = 0; row < layout.parityPerBlock; ++row) {
        for (uint32_t block = 0; block < layout.blockCount; ++block) {
            h.parity = zun::WireHeader::Parity{layout, block, row, zun::frameCrc(payload)};
            Bytes datagram(h.size());
            h.write(datagram);
            const auto bytes = encoder.piece(block, row);
            datagram.insert(datagram.end(), bytes.begin(), bytes.end());
            record(out, 0, datagram);
        }
    }
}

void save(const fs::path &dir, const std::string &name, const Bytes &bytes)
{
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                       std::streamsize(bytes.size()));
}

void datagramSeeds(const fs::path &dir)
{
    const StreamFormat small{4, 4, 1, 1}, mid{16, 16, 2, 1};
    const Bytes raw = picture(small, 1), compressed = jpeg(mid, 2);
    Bytes one;
    pieces(one, meta(small, false, 1, 7), raw, 20);
    save(dir, "raw-three-pieces", one);
    Bytes two;
    pieces(two, meta(mid, true, 5, 8), compressed, 200, 1); // one piece lost
    pieces(two, meta(small, false, 9, 9), raw, 48);
    pieces(two, meta(mid, true, 6, 8), compressed, 200);
    save(dir, "jpeg-loss-two-streams", two);
    // Lost pieces rebuilt from parity: a raw frame with its short last piece lost, and a JPEG
    // one whose parity comes before its data.
    Bytes three;
    pieces(three, meta(small, false, 2, 7), raw, 20, 2);
    parity(three, meta(small, false, 2, 7), raw, 20, 50);
    parity(three, meta(mid, true, 7, 8), compressed, 100, 20);
    pieces(three, meta(mid, true, 7, 8), compressed, 100, 3);
    save(dir, "parity-repairs", three);
}

void tcpSeeds(const fs::path &dir)
{
    const StreamFormat small{4, 4, 3, 1}, mid{16, 8, 1, 1};
    const Bytes raw = picture(small, 3), compressed = jpeg(mid, 4);
    Bytes stream = {0, 7};
    for (const Bytes &m : {message(meta(small, false, 1, 3), raw, 0, uint32_t(raw.size())),
                           message(meta(mid, true, 2, 3), compressed, 0, uint32_t(compressed.size()))})
        stream.insert(stream.end(), m.begin(), m.end());
    save(dir, "raw-then-jpeg", stream);
}

void jpegSeeds(const fs::path &dir)
{
    for (uint16_t depth = 0; depth < 4; ++depth) {
        const StreamFormat f{uint16_t(12 + depth), 10, depth, 1};
        Bytes in = {0, uint8_t(f.width), 0, uint8_t(f.height), uint8_t(depth), 1};
        const Bytes payload = wholeJpeg(f, depth);
        in.insert(in.end(), payload.begin(), payload.end());
        save(dir, "jpeg-depth" + std::to_string(depth), in);

        // Three strips of 16, 16 and 8 rows, with their index.
        const StreamFormat tall{uint16_t(12 + depth), 40, depth, 1};
        Bytes striped = {0, uint8_t(tall.width), 0, uint8_t(tall.height), uint8_t(depth), 3};
        const Bytes strips = jpeg(tall, depth, 3);
        striped.insert(striped.end(), strips.begin(), strips.end());
        save(dir, "strips-depth" + std::to_string(depth), striped);
    }
}

void segmentSeeds(const fs::path &dir)
{
    namespace shm = zun::shm;
    constexpr uint64_t capacity = 1024;
    constexpr uint32_t slots = 3;
    const uint64_t stride = shm::slotStrideFor(capacity);
    Bytes image(shm::kSlotOffset + stride * slots, 0);
    auto *h = new (image.data()) shm::SegmentHeader{};
    h->magic = shm::kMagic;
    h->version = shm::kVersion;
    h->slotCount = slots;
    h->readerCount = shm::kMaxReaders;
    h->slotOffset = shm::kSlotOffset;
    h->slotStride = stride;
    h->slotCapacity = capacity;
    h->totalSize = image.size();
    h->streamId = 11;
    h->ownerPid = 1;
    h->notify.store(3);
    h->ready.store(1);
    const StreamFormat rawFormat{8, 4, 1, 1}, jpegFormat{16, 16, 3, 1};
    const Bytes raw = picture(rawFormat, 5), compressed = jpeg(jpegFormat, 6);
    const struct { StreamFormat f; const Bytes *payload; bool compressed; } frames[] = {
        {rawFormat, &raw, false}, {jpegFormat, &compressed, true}, {rawFormat, &raw, false}};
    for (uint32_t i = 0; i < slots; ++i) {
        auto *s = new (image.data() + shm::kSlotOffset + i * stride) shm::SlotHeader{};
        const auto &frame = frames[i];
        s->width = frame.f.width;
        s->height = frame.f.height;
        s->depth = frame.f.depth;
        s->orientation = 1;
        s->payloadSize = uint32_t(frame.payload->size());
        s->frameNumber = i;
        s->kindNumber = frame.compressed ? 1 : i / 2 + 1;
        s->streamId = 11;
        std::memcpy(reinterpret_cast<uint8_t *>(s) + sizeof(shm::SlotHeader), frame.payload->data(),
                    frame.payload->size());
        s->seq.store(shm::publishedSeq(i + 1, frame.compressed));
    }
    save(dir, "three-slots", image);
}

} // namespace

// A record of the coalesced target: the segment size and a run of datagrams of that size.
void run(Bytes &out, const std::vector<Bytes> &datagrams)
{
    Bytes bytes;
    for (const Bytes &d : datagrams)
        bytes.insert(bytes.end(), d.begin(), d.end());
    const size_t segment = datagrams.empty() ? 0 : datagrams.front().size();
    for (size_t value : {segment, bytes.size()}) {
        out.push_back(uint8_t(value >> 8));
        out.push_back(uint8_t(value));
    }
    out.insert(out.end(), bytes.begin(), bytes.end());
}

void coalescedSeeds(const fs::path &dir)
{
    const StreamFormat f{40, 30, 1, 1};
    const Bytes raw = picture(f, 3);
    const zun::FrameMeta m = meta(f, false, 1, 11);
    std::vector<Bytes> all;
    for (uint32_t at = 0; at < raw.size(); at += 400)
        all.push_back(message(m, raw, at, std::min<uint32_t>(400, uint32_t(raw.size()) - at)));
    Bytes inOrder;
    run(inOrder, {all.begin(), all.begin() + 4});
    run(inOrder, {all.begin() + 4, all.end()});
    save(dir, "raw-two-runs", inOrder);
    Bytes mixed;
    run(mixed, {all[0], all[1]});
    run(mixed, {all[3], all[2], all[2], all[4], all[5]});
    run(mixed, {all.begin() + 6, all.end()});
    save(dir, "raw-reordered-run", mixed);
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 64;
    }
    const fs::path root = argv[1];
    datagramSeeds(root / "datagram");
    coalescedSeeds(root / "coalesced");
    tcpSeeds(root / "tcpmessage");
    jpegSeeds(root / "jpegpayload");
    segmentSeeds(root / "shmsegment");
    return 0;
}
