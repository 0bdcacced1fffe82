#include "log.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace zun {
namespace {

constexpr auto kRepeatInterval = std::chrono::seconds(1);
// Texts carry addresses and counts, so the table of recent ones is trimmed now and then.
constexpr size_t kMaxRemembered = 256;

int levelFromEnvironment()
{
    const char *value = std::getenv("ZUN_LOG");
    if (!value)
        return 0;
    const struct { const char *name; int level; } names[] = {
        {"error", ZUN_LOG_ERROR}, {"warning", ZUN_LOG_WARNING}, {"info", ZUN_LOG_INFO},
        {"debug", ZUN_LOG_DEBUG}};
    for (const auto &entry : names)
        if (std::strcmp(value, entry.name) == 0)
            return entry.level;
    return 0;
}

const char *levelName(int level)
{
    switch (level) {
    case ZUN_LOG_ERROR: return "error";
    case ZUN_LOG_WARNING: return "warning";
    case ZUN_LOG_INFO: return "info";
    default: return "debug";
    }
}

void writeToStderr(void *user, int32_t level, const char *message)
{
    if (level <= *static_cast<const int *>(user))
        std::fprintf(stderr, "zunVidStreamLib2 %s: %s\n", levelName(level), message);
}

class Log {
public:
    static Log &instance()
    {
        // Never destroyed: library threads may still log while statics are torn down.
        static auto *log = new Log;
        return *log;
    }

    void setHandler(ZunLogHandler handler, void *user)
    {
        std::lock_guard lock(mMutex);
        mHandler = handler ? handler : writeToStderr;
        mUser = handler ? user : &mDefaultLevel;
    }

    void emit(int level, const std::string &text)
    {
        std::lock_guard lock(mMutex);
        if (mHandler == writeToStderr && level > mDefaultLevel)
            return;
        const auto now = std::chrono::steady_clock::now();
        auto &seen = mRecent[text];
        if (seen.count > 0 && now - seen.lastPassed < kRepeatInterval) {
            ++seen.held;
            return;
        }
        std::string line = text;
        if (seen.held > 0)
            line += " (" + std::to_string(seen.held + 1) + " times in " + elapsed(now - seen.lastPassed) + ")";
        seen = {now, seen.count + 1, 0};
        if (mRecent.size() > kMaxRemembered)
            forgetOld(now);
        mHandler(mUser, level, line.c_str());
    }

private:
    struct Seen {
        std::chrono::steady_clock::time_point lastPassed;
        uint64_t count = 0;
        uint64_t held = 0;
    };

    static std::string elapsed(std::chrono::steady_clock::duration time)
    {
        return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(time).count()) + " s";
    }

    void forgetOld(std::chrono::steady_clock::time_point now)
    {
        std::erase_if(mRecent, [&](const auto &entry) {
            return now - entry.second.lastPassed >= kRepeatInterval;
        });
    }

    std::mutex mMutex;
    int mDefaultLevel = levelFromEnvironment();
    ZunLogHandler mHandler = writeToStderr;
    void *mUser = &mDefaultLevel;
    std::unordered_map<std::string, Seen> mRecent;
};

} // namespace

void logMessage(int level, const std::string &text)
{
    Log::instance().emit(level, text);
}

void setLogHandler(ZunLogHandler handler, void *user)
{
    Log::instance().setHandler(handler, user);
}

} // namespace zun
