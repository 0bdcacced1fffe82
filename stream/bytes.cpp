#include "bytes.h"

#include <sys/mman.h>


namespace zun {
namespace {

// malloc's own starting threshold, before it drifts.
constexpr size_t kMappedFrom = size_t(128) << 10;

bool mapped(size_t size)
{
    return size >= kMappedFrom;
}

} // namespace

void *allocateFrameBytes(size_t size)
{
    if (!mapped(size))
        return ::operator new(size);
    void *memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw std::bad_alloc();
    return memory;
}

void freeFrameBytes(void *memory, size_t size) noexcept
{
    if (!memory)
        return;
    if (mapped(size))
        ::munmap(memory, size);
    else
        ::operator delete(memory);
}

} // namespace zun
