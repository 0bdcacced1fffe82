#include "transport/socketfd.h"

#include <unistd.h>

namespace zun {

SocketFd &SocketFd::operator=(SocketFd &&other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

int SocketFd::release()
{
    const int fd = mFd;
    mFd = -1;
    return fd;
}

void SocketFd::reset(int fd)
{
    if (mFd >= 0)
        ::close(mFd);
    mFd = fd;
}

} // namespace zun
