#include "status.h"

#include "log.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace zun {

void Status::restart(uint32_t state)
{
    std::lock_guard lock(mMutex);
    mState = state;
    mError = 0;
    mText.clear();
}

void Status::setState(uint32_t state)
{
    std::lock_guard lock(mMutex);
    mState = state;
}

uint32_t Status::state() const
{
    std::lock_guard lock(mMutex);
    return mState;
}

void Status::problem(int level, int error, const std::string &text)
{
    {
        std::lock_guard lock(mMutex);
        mError = error;
        mText = text;
    }
    logMessage(level, text);
}

void Status::fail(int error, const std::string &text)
{
    setState(ZUN_STATE_FAILED);
    problem(ZUN_LOG_ERROR, error, text);
}

void Status::note(int level, const std::string &text)
{
    logMessage(level, text);
}

ZunStatus Status::snapshot() const
{
    ZunStatus status{};
    std::lock_guard lock(mMutex);
    status.state = mState;
    status.error = mError;
    const size_t length = std::min(mText.size(), sizeof status.text - 1);
    std::memcpy(status.text, mText.data(), length);
    return status;
}

std::string addressText(uint32_t addressNetworkOrder, uint16_t port)
{
    char dotted[INET_ADDRSTRLEN] = {};
    const in_addr address{addressNetworkOrder};
    inet_ntop(AF_INET, &address, dotted, sizeof dotted);
    return std::string(dotted) + ":" + std::to_string(port);
}

std::string endpointText(const char *transport, uint32_t addressNetworkOrder, uint16_t port)
{
    return std::string(transport) + " " + addressText(addressNetworkOrder, port);
}

std::string portText(const char *transport, uint16_t port)
{
    return std::string(transport) + " port " + std::to_string(port);
}

std::string errorText(int error)
{
    char buffer[128];
    // The GNU strerror_r returns its text, which need not be in buffer.
    return strerror_r(error, buffer, sizeof buffer);
}

} // namespace zun
