#include "transport/destinationaddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>

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

bool endsWithLabel(std::string name, const std::string &label)
{
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return name == label || name.ends_with("." + label);
}

// A name whose last label is all digits can only be numeric ("127.1"), so it is never
// worth a query to a name server.
bool looksNumeric(const std::string &name)
{
    const auto dot = name.find_last_of('.');
    const std::string last = dot == std::string::npos ? name : name.substr(dot + 1);
    return !last.empty() && std::all_of(last.begin(), last.end(), [](unsigned char c) { return std::isdigit(c); });
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
    // ".invalid" never resolves, so no name server is asked (RFC 6761).
    if (endsWithLabel(host, "invalid")) {
        if (error)
            *error = EAI_NONAME;
        return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    if (looksNumeric(host))
        hints.ai_flags = AI_NUMERICHOST;
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
