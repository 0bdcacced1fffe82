#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zun {

// Owns one open shared-memory object and its mapping.
class ShmSegment {
public:
    ShmSegment() = default;
    ~ShmSegment();
    ShmSegment(ShmSegment &&other) noexcept;
    ShmSegment &operator=(ShmSegment &&other) noexcept;
    ShmSegment(const ShmSegment &) = delete;
    ShmSegment &operator=(const ShmSegment &) = delete;

    // A new object of that name, failing if one exists (errno EEXIST).
    static ShmSegment createExclusive(const std::string &name);
    // The existing object of that name, or an invalid segment (errno ENOENT).
    static ShmSegment openExisting(const std::string &name);

    bool isOpen() const { return mFd >= 0; }
    int fd() const { return mFd; }
    uint8_t *data() const { return mData; }
    size_t size() const { return mSize; }

    // Reserves the memory (so a full /dev/shm fails here, not with SIGBUS later) and maps it.
    bool allocateAndMap(size_t size);
    // Maps the whole object as it is now.
    bool mapAll();
    // Current size of the object, 0 on error.
    size_t objectSize() const;
    // True once the object's name has been removed (it was replaced or its encoder left).
    bool isUnlinked() const;

    bool tryLockExclusive(); // whole-object lock, held until close; a dead holder frees it
    bool tryLockByte(off_t offset);
    void unlockByte(off_t offset);

private:
    void reset();
    bool map(size_t size);

    int mFd = -1;
    uint8_t *mData = nullptr;
    size_t mSize = 0;
};

// Sleeps while *word == expected, at most timeout; works across processes.
void futexWait(std::atomic<uint32_t> &word, uint32_t expected, std::chrono::microseconds timeout);
void futexWakeAll(std::atomic<uint32_t> &word);

} // namespace zun
