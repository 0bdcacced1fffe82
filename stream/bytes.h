#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace zun {

// Where a frame-sized buffer's memory comes from. Above the threshold it is mapped from the
// kernel and unmapped when freed: malloc would raise its own mapping threshold to the largest
// frame it saw freed and from then on keep frames in whichever thread's arena freed them, so
// a process that makes receivers and their threads for hours would hold frames in every arena.
void *allocateFrameBytes(size_t size);
void freeFrameBytes(void *memory, size_t size) noexcept;

template <class T>
struct FrameAllocator {
    using value_type = T;

    FrameAllocator() = default;
    template <class U>
    FrameAllocator(const FrameAllocator<U> &) noexcept {}

    T *allocate(size_t n) { return static_cast<T *>(allocateFrameBytes(n * sizeof(T))); }
    void deallocate(T *p, size_t n) noexcept { freeFrameBytes(p, n * sizeof(T)); }

    template <class U>
    bool operator==(const FrameAllocator<U> &) const noexcept { return true; }
};

#if defined(__SANITIZE_ADDRESS__)
#define ZUN_MAP_FRAME_BYTES 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZUN_MAP_FRAME_BYTES 0
#endif
#endif
#ifndef ZUN_MAP_FRAME_BYTES
#define ZUN_MAP_FRAME_BYTES 1
#endif

// A frame's payload or pixels. Under AddressSanitizer a plain vector, so that its allocator
// still catches overruns, and because its instrumented element-wise fill through an allocator
// of our own is far slower than the sanitizer's memset.
#if ZUN_MAP_FRAME_BYTES
using Bytes = std::vector<uint8_t, FrameAllocator<uint8_t>>;
#else
using Bytes = std::vector<uint8_t>;
#endif

} // namespace zun
