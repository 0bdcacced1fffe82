#pragma once

// Helpers of the robustness tests: the seed, the peer program, and a reader that checks
// every frame a decoder delivers against the sender's picture of that frame number.

#include "framepattern.h"
#include "streamtest.h"
#include "zunVidStreamLib2.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace zuntest {

inline unsigned robustSeed()
{
    static const unsigned seed = [] {
        const char *text = std::getenv("ZUN_ROBUST_SEED");
        const unsigned s = text ? unsigned(std::strtoul(text, nullptr, 10)) : 20261207u;
        std::printf("[ seed     ] ZUN_ROBUST_SEED=%u\n", s);
        return s;
    }();
    return seed;
}

inline std::vector<std::string> peer(std::initializer_list<std::string> args)
{
    std::vector<std::string> all{ZUNSTREAMPEER};
    all.insert(all.end(), args);
    return all;
}

// AddressSanitizer holds freed memory back in quarantine, so there resident memory tells
// nothing about the library's own bounds; they are checked in the plain build.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryTells = false;
#else
constexpr bool kResidentMemoryTells = true;
#endif

// Resident memory of this process now.
inline size_t residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * size_t(sysconf(_SC_PAGESIZE));
}

inline bool segmentExists(uint32_t port)
{
    struct stat info {};
    return stat(("/dev/shm/zunVidStream-" + std::to_string(port)).c_str(), &info) == 0;
}

// The sender's pictures repeat every 64 frames.
inline std::vector<std::vector<uint8_t>> patternCycle(const StreamFormat &format)
{
    std::vector<std::vector<uint8_t>> pictures;
    for (uint32_t i = 0; i < 64; ++i)
        pictures.push_back(makeFrame(format, i));
    return pictures;
}

// Locks what a decoder delivers, as the tool polls, and checks each frame whole.
class FrameChecker {
public:
    explicit FrameChecker(Decoder &decoder) : mDecoder(decoder) {}
    void setCompressed(bool compressed) { mCompressed = compressed; }

    // One lock attempt; true if a frame came.
    bool takeOne()
    {
        const auto before = std::chrono::steady_clock::now();
        const auto *pixels = static_cast<const uint8_t *>(zunLockReadBuffer(mDecoder.handle(), 0));
        mSlowestLock = std::max(mSlowestLock, std::chrono::steady_clock::now() - before);
        if (!pixels)
            return false;
        const StreamFormat f = mDecoder.format();
        const bool compressed = zunGetCompressedFrameSize(mDecoder.handle()) != zunGetByteSize(&f);
        if (frameMatches(f, compressed || mCompressed, mDecoder.frameNumber(), pixels)) {
            ++mGood[key(f)];
            ++mGoodTotal;
        } else {
            ++mBad;
            std::printf("torn or wrong frame %u (%ux%u depth %u)\n", mDecoder.frameNumber(), f.width,
                        f.height, f.depth);
        }
        mDecoder.unlock();
        return true;
    }
    template <class Stop> void drainUntil(Stop stop, std::chrono::milliseconds limit)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!stop() && std::chrono::steady_clock::now() < end) {
            if (!takeOne())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void drainFor(std::chrono::milliseconds time)
    {
        drainUntil([] { return false; }, time);
    }

    int goodOf(const StreamFormat &f) const
    {
        const auto it = mGood.find(key(f));
        return it == mGood.end() ? 0 : it->second;
    }
    int good() const { return mGoodTotal; }
    int bad() const { return mBad; }
    std::chrono::steady_clock::duration slowestLock() const { return mSlowestLock; }

private:
    static std::tuple<int, int, int> key(const StreamFormat &f) { return {f.width, f.height, f.depth}; }

    Decoder &mDecoder;
    bool mCompressed = false;
    std::map<std::tuple<int, int, int>, int> mGood;
    int mGoodTotal = 0;
    int mBad = 0;
    std::chrono::steady_clock::duration mSlowestLock{0};
};

} // namespace zuntest
