#include "transport/memory/shmsegment.h"
#include "transport/memory/shmlayout.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <utility>

namespace zun {

std::string shm::segmentName(uint16_t port)
{
    return "/zunVidStream-" + std::to_string(port);
}

ShmSegment::~ShmSegment()
{
    reset();
}

ShmSegment::ShmSegment(ShmSegment &&other) noexcept
    : mFd(std::exchange(other.mFd, -1)), mData(std::exchange(other.mData, nullptr)),
      mSize(std::exchange(other.mSize, 0))
{
}

ShmSegment &ShmSegment::operator=(ShmSegment &&other) noexcept
{
    if (this != &other) {
        reset();
        mFd = std::exchange(other.mFd, -1);
        mData = std::exchange(other.mData, nullptr);
        mSize = std::exchange(other.mSize, 0);
    }
    return *this;
}

void ShmSegment::reset()
{
    if (mData)
        munmap(mData, mSize);
    if (mFd >= 0)
        close(mFd);
    mFd = -1;
    mData = nullptr;
    mSize = 0;
}

ShmSegment ShmSegment::createExclusive(const std::string &name)
{
    ShmSegment segment;
    segment.mFd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    return segment;
}

ShmSegment ShmSegment::openExisting(const std::string &name)
{
    ShmSegment segment;
    segment.mFd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
    return segment;
}

bool ShmSegment::allocateAndMap(size_t size)
{
    if (mFd < 0 || mData)
        return false;
    return posix_fallocate(mFd, 0, off_t(size)) == 0 && map(size);
}

bool ShmSegment::map(size_t size)
{
    // Populated now, so the first frames do not pay for page faults.
    void *data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, mFd, 0);
    if (data == MAP_FAILED)
        return false;
    mData = static_cast<uint8_t *>(data);
    mSize = size;
    return true;
}

bool ShmSegment::mapAll()
{
    const size_t size = objectSize();
    return mFd >= 0 && !mData && size != 0 && map(size);
}

size_t ShmSegment::objectSize() const
{
    struct stat info {};
    if (mFd < 0 || fstat(mFd, &info) != 0 || info.st_size < 0)
        return 0;
    return size_t(info.st_size);
}

bool ShmSegment::isUnlinked() const
{
    struct stat info {};
    return mFd < 0 || fstat(mFd, &info) != 0 || info.st_nlink == 0;
}

bool ShmSegment::tryLockExclusive()
{
    return mFd >= 0 && flock(mFd, LOCK_EX | LOCK_NB) == 0;
}

bool ShmSegment::tryLockByte(off_t offset)
{
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = offset;
    lock.l_len = 1;
    return mFd >= 0 && fcntl(mFd, F_OFD_SETLK, &lock) == 0;
}

void ShmSegment::unlockByte(off_t offset)
{
    struct flock lock {};
    lock.l_type = F_UNLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = offset;
    lock.l_len = 1;
    if (mFd >= 0)
        fcntl(mFd, F_OFD_SETLK, &lock);
}

void futexWait(std::atomic<uint32_t> &word, uint32_t expected, std::chrono::microseconds timeout)
{
    timespec span{};
    span.tv_sec = time_t(timeout.count() / 1000000);
    span.tv_nsec = long(timeout.count() % 1000000) * 1000;
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAIT, expected, &span, nullptr, 0);
}

void futexWakeAll(std::atomic<uint32_t> &word)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

} // namespace zun
