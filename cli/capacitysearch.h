#pragma once

#include "cpumeter.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// What a capacity search varies: the frame rate at a given size, the size at a given rate
// (a ladder of common sizes), or the JPEG level.
enum class SweepKind { Fps, Size, Jpeg };

// One setting a trial runs at; only the field of the search's kind is set.
struct SweepPoint {
    SweepKind kind;
    QString label;  // "250.0 fps", "1920x1080", "jpeg level 30"
    double demand;  // grows with what the link must carry: fps, pixels, JPEG quality
    double fps = 0;
    uint16_t width = 0, height = 0;
    uint32_t jpegLevel = 0;
};

// The settings a search of this kind chooses among, least demanding first: 1 to 1000 fps in
// tenths, 640x480 up to 7680x4320, JPEG level 100 (the smallest) down to 0 (the best picture).
std::vector<SweepPoint> sweepAxis(SweepKind kind);

// What one trial measured.
struct TrialFigures {
    double fps = 0, wireMbps = 0;      // what arrived
    double lossPercent = 0;            // of the frames sent
    std::optional<double> p99LatencyMs; // empty where it cannot be measured
    uint64_t damaged = 0;               // under --verify
    CpuShare senderCpu, receiverCpu;
    QString failure;                    // why the trial could not run at all; "" when it ran
};

// When a trial passes, as RFC 2544's throughput test judges one: frame loss at most
// maxLossPercent, the 99th percentile of latency within maxLatencyMs when given, no frame damaged.
struct TrialCriteria {
    double maxLossPercent = 0;
    std::optional<double> maxLatencyMs;
};

struct Trial {
    SweepPoint point;
    TrialFigures figures;
    bool passed = false;
    QStringList why; // the criteria it missed
};

// Finds the most demanding setting that passes by binary search between the highest that
// passed and the lowest that failed (halving their ratio), starting at the top of the axis. Stops at 2% precision
// (or at neighbouring settings) or after 12 trials, and keeps every trial.
class CapacitySearch
{
public:
    static constexpr int kMaxTrials = 12;
    static constexpr double kPrecision = 0.02;

    using RunTrial = std::function<TrialFigures(const SweepPoint &)>;

    CapacitySearch(std::vector<SweepPoint> axis, TrialCriteria criteria, RunTrial runTrial);

    // Runs the trials; `onTrial` sees each as it ends. The highest setting that passed, or none.
    std::optional<Trial> run(const std::function<void(const Trial &)> &onTrial = {});
    const std::vector<Trial> &trials() const { return mTrials; }

private:
    const Trial &tryAt(size_t index, const std::function<void(const Trial &)> &onTrial);

    std::vector<SweepPoint> mAxis;
    TrialCriteria mCriteria;
    RunTrial mRunTrial;
    std::vector<Trial> mTrials;
};
