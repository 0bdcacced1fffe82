#pragma once

#include "zunVidStreamLib2.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace zun {

// What one encoder or decoder is doing and the last problem it met. Written by the handle's
// calls and threads, read by zunGetStatus; every problem and change is logged as well.
class Status {
public:
    // A new destination or source: the old problem no longer applies.
    void restart(uint32_t state);
    void setState(uint32_t state);
    uint32_t state() const;
    // Records the problem and logs it; a state of its own when given.
    void problem(int level, int error, const std::string &text);
    void fail(int error, const std::string &text);
    // Logged only: an event that is no problem.
    void note(int level, const std::string &text);
    ZunStatus snapshot() const;

private:
    mutable std::mutex mMutex;
    uint32_t mState = ZUN_STATE_IDLE;
    int mError = 0;
    std::string mText;
};

// "127.0.0.1:40000"
std::string addressText(uint32_t addressNetworkOrder, uint16_t port);
// "udp 239.1.2.3:10588", as the texts name an address.
std::string endpointText(const char *transport, uint32_t addressNetworkOrder, uint16_t port);
// "udp port 10588", as the texts name a port of this host.
std::string portText(const char *transport, uint16_t port);
// The system's words for an error number.
std::string errorText(int error);

} // namespace zun
