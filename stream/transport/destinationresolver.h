#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace zun {

// Turns the address text given to a sender into a socket address without making the
// caller wait: dotted addresses at once, host names on a thread of their own.
class DestinationResolver {
public:
    // Invalid: text that can never name a destination, which set() says at once; Failed: a
    // name that was not found.
    enum class State { None, Resolving, Ready, Failed, Invalid };
    struct Target {
        uint64_t generation = 0; // changes with every set()
        State state = State::None;
        sockaddr_in address{};
        std::optional<in_addr> interface;
        int lookupError = 0; // getaddrinfo's code when a name was not found
    };

    DestinationResolver();

    // False for text that can never name a destination; the target is then Invalid.
    bool set(const std::string &text, uint16_t port);
    Target current() const;
    // The host part of the text last set, for messages.
    std::string host() const;

private:
    struct Shared;
    std::shared_ptr<Shared> mShared;
};

} // namespace zun
