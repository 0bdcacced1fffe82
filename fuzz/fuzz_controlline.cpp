// One line of the control connection, as `serve` and `test` read it from a peer: the message,
// and for a request the test it asks for. Whatever the bytes, the parser gives a message or a
// reason, and the settings it accepts survive a round trip through their own JSON.

#include "fuzzcheck.h"
#include "controlprotocol.h"
#include "testsettings.h"

#include <QByteArray>
#include <QJsonObject>

#include <cmath>
#include <cstdint>

namespace {

void checkSettings(const QJsonObject &test)
{
    const ParsedSettings parsed = settingsFromJson(test);
    FUZZ_CHECK(parsed.settings.has_value() != !parsed.error.isEmpty());
    if (!parsed.settings)
        return;
    const TestSettings &s = *parsed.settings;
    FUZZ_CHECK(s.size.width >= 1 && s.size.width <= kLargestSide);
    FUZZ_CHECK(s.size.height >= 1 && s.size.height <= kLargestSide);
    FUZZ_CHECK(s.size.depth % 8 == 0 && s.size.depth >= 8 && s.size.depth <= 32);
    FUZZ_CHECK(std::isfinite(s.fps) && s.fps > 0);
    FUZZ_CHECK(std::isfinite(pictureMbps(s)));
    const QJsonObject written = settingsToJson(s);
    const ParsedSettings again = settingsFromJson(written);
    FUZZ_CHECK(again.settings.has_value());
    FUZZ_CHECK(settingsToJson(*again.settings) == written);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray line(reinterpret_cast<const char *>(data), qsizetype(size));
    const control::ParsedLine parsed = control::parseControlLine(line);
    FUZZ_CHECK(parsed.message.has_value() != !parsed.error.isEmpty());
    if (!parsed.message)
        return 0;
    FUZZ_CHECK(line.size() <= control::kLineLimit);
    // What a peer sends back of a message it read must read the same.
    const control::ParsedLine again = control::parseControlLine(control::lineOf(parsed.message->body));
    FUZZ_CHECK(again.message.has_value());
    FUZZ_CHECK(again.message->type == parsed.message->type);
    FUZZ_CHECK(again.message->body == parsed.message->body);
    if (parsed.message->type == QLatin1String("request") || parsed.message->type == QLatin1String("accepted"))
        checkSettings(parsed.message->body.value(QLatin1String("test")).toObject());
    return 0;
}
