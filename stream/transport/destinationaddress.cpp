#include "transport/destinationaddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>

namespace zun {
namespace {

std::string trimmed(const std::string &text)
{
    const auto begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return {};
    const auto end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

std::optional<in_addr> dotted(const std::string &text)
{
    in_addr addr{};
    if (inet_pton(AF_INET, text.c_str(), &addr) != 1)
        return std::nullopt;
    return addr;
}

} // namespace

std::optional<DestinationAddress> DestinationAddress::parse(const std::string &text)
{
    DestinationAddress result;
    const auto at = text.find('@');
    result.host = trimmed(text.substr(0, at));
    if (result.host.empty() || result.host.size() > 253)
        return std::nullopt;
    if (std::any_of(result.host.begin(), result.host.end(),
                    [](char c) { return c == ' ' || c == '\t' || c == '@'; }))
        return std::nullopt;
    if (at != std::string::npos) {
        result.interface = dotted(trimmed(text.substr(at + 1)));
        if (!result.interface)
            return std::nullopt;
    }
    return result;
}

std::optional<in_addr> DestinationAddress::numericHost() const
{
    return dotted(host);
}

std::optional<in_addr> DestinationAddress::resolve(int *error) const
{
    if (auto addr = numericHost())
        return addr;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    const int code = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (code != 0 || !found) {
        if (error)
            *error = code != 0 ? code : EAI_NONAME;
        return std::nullopt;
    }
    const in_addr addr = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return addr;
}

} // namespace zun
