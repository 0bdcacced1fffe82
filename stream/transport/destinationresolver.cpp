#include "transport/destinationresolver.h"

#include "transport/destinationaddress.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <mutex>
#include <thread>

namespace zun {

struct DestinationResolver::Shared {
    mutable std::mutex mutex;
    Target target;
    std::string host;
};

DestinationResolver::DestinationResolver() : mShared(std::make_shared<Shared>()) {}

bool DestinationResolver::set(const std::string &text, uint16_t port)
{
    const auto parsed = DestinationAddress::parse(text);
    std::lock_guard lock(mShared->mutex);
    Target &target = mShared->target;
    ++target.generation;
    target.state = State::Invalid;
    target.address = {};
    target.address.sin_family = AF_INET;
    target.address.sin_port = htons(port);
    target.interface.reset();
    target.lookupError = 0;
    mShared->host = parsed ? parsed->host : text;
    if (!parsed || port == 0)
        return false;
    target.interface = parsed->interface;
    if (const auto numeric = parsed->numericHost()) {
        target.address.sin_addr = *numeric;
        target.state = State::Ready;
        return true;
    }
    target.state = State::Resolving;
    // getaddrinfo cannot be interrupted, so the lookup runs detached and owns what it
    // touches: a sender deleted meanwhile does not wait for it, and a stale answer is ignored.
    const uint64_t generation = target.generation;
    try {
        std::thread([shared = mShared, address = *parsed, generation] {
            int error = 0;
            const auto found = address.resolve(&error);
            std::lock_guard lock(shared->mutex);
            if (shared->target.generation != generation)
                return;
            shared->target.state = found ? State::Ready : State::Failed;
            shared->target.lookupError = error;
            if (found)
                shared->target.address.sin_addr = *found;
        }).detach();
    } catch (const std::system_error &) {
        target.state = State::Failed;
        target.lookupError = EAI_AGAIN;
    }
    return true;
}

DestinationResolver::Target DestinationResolver::current() const
{
    std::lock_guard lock(mShared->mutex);
    return mShared->target;
}

std::string DestinationResolver::host() const
{
    std::lock_guard lock(mShared->mutex);
    return mShared->host;
}

} // namespace zun
