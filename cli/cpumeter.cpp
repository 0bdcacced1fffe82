#include "cpumeter.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <utility>

namespace {

double seconds(const timeval &t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

int onlineCores()
{
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    return cores > 0 ? int(cores) : 1;
}

} // namespace

CpuMeter::CpuMeter() : CpuMeter(processSample, onlineCores()) {}

CpuMeter::CpuMeter(Sampler sampler, int cores)
    : mSampler(std::move(sampler)), mCores(std::max(1, cores)), mStart(mSampler()), mIntervalStart(mStart)
{
}

CpuMeter::Sample CpuMeter::processSample()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return {seconds(usage.ru_utime) + seconds(usage.ru_stime), double(now.tv_sec) + double(now.tv_nsec) / 1e9};
}

CpuShare CpuMeter::between(const Sample &from, const Sample &to) const
{
    CpuShare share;
    share.cpuSeconds = std::max(0.0, to.cpuSeconds - from.cpuSeconds);
    share.wallSeconds = std::max(0.0, to.wallSeconds - from.wallSeconds);
    if (share.wallSeconds > 0) {
        share.ofOneCore = share.cpuSeconds / share.wallSeconds;
        share.ofMachine = share.ofOneCore / mCores;
    }
    return share;
}

CpuShare CpuMeter::interval()
{
    const Sample now = mSampler();
    const CpuShare share = between(mIntervalStart, now);
    mIntervalStart = now;
    return share;
}

CpuShare CpuMeter::total() const
{
    return between(mStart, mSampler());
}
