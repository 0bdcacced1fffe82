#pragma once

#include "zunVidStreamLib2.h"

#include <QStringList>

#include <optional>

struct RunSummary;

// What a receive run must show to pass; an empty one is not checked.
struct Thresholds {
    std::optional<double> minFps;
    std::optional<double> maxLossPercent;
    std::optional<double> maxLatencyMs; // against the 99th percentile
    std::optional<double> minPsnr;      // against the worst JPEG frame verified
    std::optional<StreamFormat> expect; // every frame in this size and depth
};

// The reasons the run failed, one short sentence each; empty when it passed. A run without any
// frame, one whose frames stopped before its end, or one with damaged frames under --verify
// fails whatever the thresholds.
QStringList failedThresholds(const Thresholds &thresholds, const RunSummary &run);
