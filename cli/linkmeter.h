#pragma once

#include "zunVidStreamLib2.h"

#include <cstdint>
#include <optional>
#include <vector>

// One frame as the receiver took it from the library.
struct FrameArrival {
    StreamFormat format{};
    bool compressed = false;
    uint32_t number = 0;
    uint64_t sendTimeNs = 0;    // the sender's CLOCK_MONOTONIC
    uint64_t arrivalNs = 0;     // ours
    uint32_t payloadBytes = 0;  // as carried
};

struct Latency {
    double medianMs = 0;
    double p99Ms = 0;
    double maxMs = 0;
};

// The library's counters of a decoder at one moment.
struct DecoderCounters {
    ZunStreamStats stream{};
    ZunRepairStats repair{};
    ZunReceiveStats receive{};
    static DecoderCounters of(uint32_t decoder);
    // What was counted after `base`, as from a decoder made then.
    DecoderCounters since(const DecoderCounters &base) const;
};

// The library's counters over some span.
struct Counters {
    uint64_t delivered = 0, dropped = 0, incomplete = 0, rejected = 0;
    uint64_t repairedDatagrams = 0, repairedFrames = 0; // rebuilt from parity
    uint64_t overflowed = 0;                            // datagrams dropped on our own full socket buffer
    uint64_t arrivedBytes = 0;                          // whole frames or not, headers and parity included
};

// One second of a receive run and the totals so far.
struct SecondFigures {
    double elapsed = 0; // seconds since the start
    std::optional<StreamFormat> format; // of the last frame, once one came
    bool compressed = false;
    uint64_t frames = 0, framesTotal = 0;
    double fps = 0, wireMbps = 0, pictureMbps = 0;
    Counters counters, countersTotal;
    uint64_t gaps = 0, gapsTotal = 0;
    uint64_t lost = 0; // this second's frame numbers never seen, or its incomplete frames when more
    std::optional<Latency> latency; // empty when no frame came or the clocks differ
    bool clockShared = true;
    double jitterMs = 0;
    uint64_t damaged = 0, damagedTotal = 0;
    std::optional<double> worstPsnr; // of this second's JPEG frames verified
};

struct RunSummary {
    double seconds = 0;       // the whole run
    double activeSeconds = 0; // first frame to last
    double firstFrameAt = 0;  // seconds into the run
    double quietAtEnd = 0;    // seconds from the last frame to the end of the run (all of it without one)
    uint64_t frames = 0;
    // Over the run from its first frame on, so frames that stop early show in the rate.
    double fps = 0, wireMbps = 0, pictureMbps = 0;
    // Frame numbers never seen between the first and the last frame, or the frames the library
    // gave up as incomplete when those are more (they can lie before the first or after the last).
    uint64_t lost = 0;
    double lossPercent = 0;
    Counters counters;
    std::optional<Latency> latency;
    bool clockShared = true;
    double jitterMs = 0;
    bool verified = false;
    uint64_t checked = 0, damaged = 0;
    std::optional<double> worstPsnr;
    std::vector<StreamFormat> formats; // every size and depth seen, in order of arrival
    std::optional<StreamFormat> lastFormat;
    bool compressed = false;
};

// Figures of a receive run: frame rate, gaps in the frame numbers, latency where the sender's
// clock is ours (a send time from another machine's monotonic clock is seconds or days away
// from ours, so one outside 0..10 s marks the clocks as different for the rest of the run),
// and interarrival jitter (RFC 3550), which needs no shared clock.
class LinkMeter
{
public:
    // startNs: CLOCK_MONOTONIC when the run began, the clock of the arrival times.
    LinkMeter(bool verified, uint64_t startNs) : mVerified(verified), mStartNs(startNs) {}

    void addFrame(const FrameArrival &frame);
    // The verdict on the last frame added.
    void addVerdict(bool damaged, std::optional<double> psnr);

    // Ends the current second: `now` are the library's counters now, `elapsed` seconds since the start.
    SecondFigures closeSecond(const DecoderCounters &now, double elapsed);
    RunSummary summary(const DecoderCounters &now, double elapsed) const;

private:
    bool mVerified;
    uint64_t mStartNs;
    // Whole run.
    uint64_t mFrames = 0;
    uint64_t mPictureBytes = 0;
    uint64_t mGaps = 0;
    uint64_t mChecked = 0, mDamaged = 0;
    std::optional<double> mWorstPsnr;
    std::vector<float> mLatencyMs;
    bool mClockShared = true;
    double mJitterNs = 0;
    std::optional<int64_t> mLastTransitNs;
    std::optional<uint32_t> mLastNumber;
    uint64_t mFirstArrivalNs = 0, mLastArrivalNs = 0;
    std::vector<StreamFormat> mFormats;
    std::optional<StreamFormat> mLastFormat;
    bool mCompressed = false;
    // This second.
    uint64_t mSecondFrames = 0, mSecondPictureBytes = 0, mSecondGaps = 0, mSecondDamaged = 0;
    std::vector<float> mSecondLatencyMs;
    std::optional<double> mSecondWorstPsnr;
    DecoderCounters mSecondStartCounters{};
    double mSecondStart = 0;
};
