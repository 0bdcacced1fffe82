#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace zun {

// A frame's payload or pixels: a vector of bytes whose memory, for a frame-sized buffer, is
// mapped from the kernel and unmapped when freed. malloc would raise its own mapping threshold
// to the largest frame it saw freed and from then on keep frames in whichever thread's arena
// freed them, so a process that makes receivers and their threads for hours would hold frames
// in every arena. Fills and copies are memset and memcpy, as std::vector's are only with its own
// allocator, and a fresh mapping is known to be zero, so growing into one touches no page.
class Bytes
{
public:
    using value_type = uint8_t;
    using size_type = size_t;
    using difference_type = ptrdiff_t;
    using reference = uint8_t &;
    using const_reference = const uint8_t &;
    using pointer = uint8_t *;
    using const_pointer = const uint8_t *;
    using iterator = uint8_t *;
    using const_iterator = const uint8_t *;

    Bytes() noexcept = default;
    explicit Bytes(size_t size) { resize(size); }
    template <std::forward_iterator It>
    Bytes(It first, It last) { assign(first, last); }
    Bytes(const Bytes &other) { assign(other.begin(), other.end()); }
    Bytes(Bytes &&other) noexcept { swap(other); }
    Bytes &operator=(const Bytes &other);
    Bytes &operator=(Bytes &&other) noexcept;
    ~Bytes();

    uint8_t *data() noexcept { return mData; }
    const uint8_t *data() const noexcept { return mData; }
    size_t size() const noexcept { return mSize; }
    bool empty() const noexcept { return mSize == 0; }
    size_t capacity() const noexcept { return mCapacity; }
    iterator begin() noexcept { return mData; }
    iterator end() noexcept { return mData + mSize; }
    const_iterator begin() const noexcept { return mData; }
    const_iterator end() const noexcept { return mData + mSize; }
    uint8_t &operator[](size_t at) noexcept { return mData[at]; }
    const uint8_t &operator[](size_t at) const noexcept { return mData[at]; }

    // Bytes gained are zero.
    void resize(size_t size);
    void clear() noexcept { mSize = 0; }
    void swap(Bytes &other) noexcept;

    template <std::forward_iterator It>
    void assign(It first, It last)
    {
        clear();
        insert(end(), first, last);
    }

    template <std::forward_iterator It>
    iterator insert(const_iterator at, It first, It last)
    {
        const size_t offset = size_t(at - mData);
        std::copy(first, last, openGap(offset, size_t(std::distance(first, last))));
        return mData + offset;
    }

    friend bool operator==(const Bytes &a, const Bytes &b) noexcept
    {
        return a.mSize == b.mSize && (a.mSize == 0 || std::memcmp(a.mData, b.mData, a.mSize) == 0);
    }

private:
    // Room for count bytes at offset, the bytes after it moved up; where they go.
    uint8_t *openGap(size_t offset, size_t count);
    void reallocate(size_t capacity);

    uint8_t *mData = nullptr;
    size_t mSize = 0;
    size_t mCapacity = 0;
    // From here to the capacity the memory is a mapping's untouched zeros.
    size_t mZeroFrom = 0;
};

} // namespace zun
