#pragma once

namespace zun {

// Owns one file descriptor; closes it when destroyed or reset.
class SocketFd {
public:
    SocketFd() = default;
    explicit SocketFd(int fd) : mFd(fd) {}
    SocketFd(SocketFd &&other) noexcept : mFd(other.release()) {}
    SocketFd &operator=(SocketFd &&other) noexcept;
    SocketFd(const SocketFd &) = delete;
    SocketFd &operator=(const SocketFd &) = delete;
    ~SocketFd() { reset(); }

    int get() const { return mFd; }
    bool valid() const { return mFd >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int mFd = -1;
};

} // namespace zun
