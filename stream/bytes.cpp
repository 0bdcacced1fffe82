#include "bytes.h"

#include <new>
#include <sys/mman.h>
#include <utility>

namespace zun {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedHeap = true;
#elif defined(__has_feature)
constexpr bool kSanitizedHeap = __has_feature(address_sanitizer);
#else
constexpr bool kSanitizedHeap = false;
#endif

// malloc's own starting threshold, before it drifts. Under AddressSanitizer every buffer comes
// from its heap, whose guards around each block catch an overrun.
constexpr size_t kMappedFrom = size_t(128) << 10;

bool mapped(size_t capacity)
{
    return !kSanitizedHeap && capacity >= kMappedFrom;
}

uint8_t *allocate(size_t capacity)
{
    if (!mapped(capacity))
        return static_cast<uint8_t *>(::operator new(capacity));
    void *memory = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw std::bad_alloc();
    return static_cast<uint8_t *>(memory);
}

void release(uint8_t *memory, size_t capacity) noexcept
{
    if (!memory)
        return;
    if (mapped(capacity))
        ::munmap(memory, capacity);
    else
        ::operator delete(memory);
}

} // namespace

Bytes::~Bytes()
{
    release(mData, mCapacity);
}

Bytes &Bytes::operator=(const Bytes &other)
{
    if (this != &other)
        assign(other.begin(), other.end());
    return *this;
}

Bytes &Bytes::operator=(Bytes &&other) noexcept
{
    Bytes(std::move(other)).swap(*this);
    return *this;
}

void Bytes::swap(Bytes &other) noexcept
{
    std::swap(mData, other.mData);
    std::swap(mSize, other.mSize);
    std::swap(mCapacity, other.mCapacity);
    std::swap(mZeroFrom, other.mZeroFrom);
}

void Bytes::reallocate(size_t capacity)
{
    uint8_t *const grown = allocate(capacity);
    if (mSize)
        std::memcpy(grown, mData, mSize);
    release(mData, mCapacity);
    mData = grown;
    mCapacity = capacity;
    mZeroFrom = mapped(capacity) ? mSize : capacity;
}

void Bytes::resize(size_t size)
{
    if (size > mCapacity)
        reallocate(std::max(size, 2 * mSize));
    if (size > mSize && mZeroFrom > mSize)
        std::memset(mData + mSize, 0, std::min(size, mZeroFrom) - mSize);
    mZeroFrom = std::max(mZeroFrom, size);
    mSize = size;
}

uint8_t *Bytes::openGap(size_t offset, size_t count)
{
    const size_t size = mSize + count;
    if (size > mCapacity)
        reallocate(std::max(size, 2 * mSize));
    if (offset < mSize)
        std::memmove(mData + offset + count, mData + offset, mSize - offset);
    mZeroFrom = std::max(mZeroFrom, size);
    mSize = size;
    return mData + offset;
}

} // namespace zun
