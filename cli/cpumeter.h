#pragma once

#include <functional>

// The CPU a process spent over some span: seconds of CPU (user and system, every thread),
// and that as a share of one core and of the whole machine.
struct CpuShare {
    double cpuSeconds = 0;
    double wallSeconds = 0;
    double ofOneCore = 0; // 1.0: one core busy the whole span; more with several threads
    double ofMachine = 0; // 1.0: every core busy
};

// Measures this process's CPU per interval and over a run, from getrusage. The run starts when
// the meter is made.
class CpuMeter
{
public:
    struct Sample {
        double cpuSeconds = 0;
        double wallSeconds = 0;
    };
    using Sampler = std::function<Sample()>;

    // This process, on this machine's cores.
    CpuMeter();
    // Any source of samples on a machine of `cores` cores, as tests give.
    CpuMeter(Sampler sampler, int cores);

    // Since the last interval ended (or the start), and starts the next.
    CpuShare interval();
    // Since the start.
    CpuShare total() const;

    int cores() const { return mCores; }
    // getrusage(RUSAGE_SELF) and the monotonic clock.
    static Sample processSample();

private:
    CpuShare between(const Sample &from, const Sample &to) const;

    Sampler mSampler;
    int mCores;
    Sample mStart;
    Sample mIntervalStart;
};
