// A "Local (Memory)" segment written by a hostile or broken peer: the input is the whole
// segment image. A decoder's reader opens it and pins every frame it offers, in every
// way it can; then an encoder takes the port over from the (ownerless) segment.

#include "fuzzcheck.h"
#include "format.h"
#include "transport/memory/shmlayout.h"
#include "transport/memory/shmreader.h"
#include "transport/memory/shmwriter.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace {

uint16_t fuzzPort()
{
    // Robustness ports; apart per process, so parallel fuzz jobs do not share a segment.
    return uint16_t(22990 + getpid() % 10);
}

bool writeImage(const std::string &name, const uint8_t *data, size_t size)
{
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0)
            break;
        done += size_t(n);
    }
    close(fd);
    return done == size;
}

template <typename T> T field(const uint8_t *image, size_t size, size_t offset)
{
    T value{};
    if (offset + sizeof value <= size)
        std::memcpy(&value, image + offset, sizeof value);
    return value;
}

// Every pinned payload lies inside the image, as the image's own layout fields place it.
void checkInside(const zun::ShmReader::Pinned &pinned, const uint8_t *image, size_t size)
{
    const auto offset = field<uint64_t>(image, size, offsetof(zun::shm::SegmentHeader, slotOffset));
    const auto stride = field<uint64_t>(image, size, offsetof(zun::shm::SegmentHeader, slotStride));
    const uint64_t begin = offset + uint64_t(pinned.slot) * stride + sizeof(zun::shm::SlotHeader);
    FUZZ_CHECK(begin + pinned.payloadSize <= size);
    FUZZ_CHECK(zun::payloadFits(pinned.meta.format, pinned.meta.compressed, pinned.payloadSize));
    volatile uint8_t sum = 0;
    for (uint32_t i = 0; i < pinned.payloadSize; ++i)
        sum = uint8_t(sum + pinned.payload[i]);
}

void readAll(zun::ShmReader &reader, const uint8_t *image, size_t size)
{
    (void)reader.isClosed();
    (void)reader.streamId();
    (void)reader.notifyCount();
    for (int start = 0; start < 2; ++start) {
        for (int kind = 0; kind < 2; ++kind) {
            zun::ShmReader::Cursor cursor = start ? reader.cursorAtNewest() : zun::ShmReader::Cursor{};
            const auto bank = kind ? zun::ShmReader::kThreadBank : zun::ShmReader::kLockBank;
            for (int n = 0; n < 40; ++n) {
                auto pinned = reader.pinNext(cursor, kind != 0, n % 2 != 0, bank);
                if (!pinned)
                    break;
                checkInside(*pinned, image, size);
                reader.unpin(*pinned, bank);
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint16_t port = fuzzPort();
    const std::string name = zun::shm::segmentName(port);
    if (!writeImage(name, data, size)) {
        shm_unlink(name.c_str());
        return 0;
    }
    if (auto reader = zun::ShmReader::open(port))
        readAll(*reader, data, size);
    zun::ShmWriter::OpenResult result{};
    auto writer = zun::ShmWriter::open(port, 4096, 1, result);
    FUZZ_CHECK(writer || result != zun::ShmWriter::OpenResult::Ok);
    if (writer) {
        if (uint8_t *slot = writer->beginFrame()) {
            zun::FrameMeta meta;
            meta.format = {8, 8, 3, 1};
            std::memset(slot, 0x5a, zun::byteSize(meta.format));
            writer->publishFrame(meta, zun::byteSize(meta.format));
        }
        writer.reset(); // removes the name
    }
    shm_unlink(name.c_str());
    return 0;
}
