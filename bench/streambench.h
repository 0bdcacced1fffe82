#pragma once

// Streams frames through the library's C API inside one process, for any protocol.

#include "zunVidStreamLib2.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct StreamConfig {
    uint32_t protocol = ZUN_PROTOCOL_MEMORY;
    std::string address = "127.0.0.1";
    uint32_t port = 0;
    StreamFormat format{};
    uint32_t compressed = 0;
    uint32_t level = 15;
    double seconds = 2;
    int sourceNetns = -1; // the decoder's network namespace, -1 for this one
    int redundancy = -1;  // percent of parity, -1 for the library's default
    uint64_t pacingBurst = 0; // UDP: bytes that may leave at once, 0 for the library's default
    // Between frames until the first arrives: frames far larger than a socket buffer only
    // arrive paced, at the rate they are meant to come.
    std::chrono::milliseconds warmUpPeriod{10};
};

struct StreamResult {
    bool ok = false;
    double fps = 0;         // frames delivered (and copied out) per second
    double imageMBps = 0;   // their uncompressed bytes, 1e6 per MB
    double carriedMBps = 0; // bytes as carried (JPEG or raw)
    uint64_t sent = 0;
    uint64_t delivered = 0;
    uint64_t dropped = 0;   // by the encoder and the decoder
    uint64_t overflowed = 0; // UDP: datagrams dropped on the decoder's full buffers
    double latencyMedianUs = 0;
    double latencyP99Us = 0; // zunEncode to zunLockReadBuffer
    double cpuMsPerFrame = 0; // CPU time of the whole process per frame delivered
};

// One frame at a time: encode, wait for it, copy it out of the locked buffer, unlock.
StreamResult runLockstep(const StreamConfig &config, const std::vector<uint8_t> &picture);
// The encoder sends from its own thread while this one reads and copies out: flat out
// (window 0: the excess is dropped), or keeping at most `window` frames in flight, so that
// encoding one frame overlaps decoding the one before and no work is thrown away.
StreamResult runPipelined(const StreamConfig &config, const std::vector<uint8_t> &picture,
                          int window);
// Frames sent at `fps`; gives the latency of each from zunEncode to its lock.
StreamResult runPaced(const StreamConfig &config, const std::vector<uint8_t> &picture, double fps);

} // namespace bench
