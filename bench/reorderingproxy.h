#pragma once

// Stands between a UDP sender and its receiver on this host and changes the order of a share
// of the datagrams, as a network with several paths does.

#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

namespace bench {

class ReorderingProxy {
public:
    // Listens on 127.0.0.1:listenPort and forwards to 127.0.0.1:toPort; share of the datagrams
    // are held back behind 1 to 8 later ones.
    ReorderingProxy(uint16_t listenPort, uint16_t toPort, double share);
    ~ReorderingProxy();
    ReorderingProxy(const ReorderingProxy &) = delete;
    ReorderingProxy &operator=(const ReorderingProxy &) = delete;

    bool ok() const { return mIn >= 0 && mOut >= 0; }
    uint64_t forwarded() const { return mForwarded; }
    uint64_t reordered() const { return mReordered; }

private:
    struct Held {
        std::vector<uint8_t> bytes;
        int passBy; // datagrams still to go ahead of it
    };
    void run(std::stop_token stop);
    void forward(const uint8_t *bytes, size_t length);
    void releaseHeld(bool all);

    int mIn = -1;
    int mOut = -1;
    double mShare;
    std::minstd_rand mRandom{23};
    std::vector<Held> mHeld;
    std::atomic<uint64_t> mForwarded{0};
    std::atomic<uint64_t> mReordered{0};
    std::jthread mThread; // last: stops before what it uses goes
};

} // namespace bench
