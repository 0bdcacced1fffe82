#pragma once

#include "linkmeter.h"
#include "options.h"
#include "streamloop.h"

#include <functional>

// Takes frames from a decoder, measures (and under --verify checks) each, and reports an
// interval at a time until --seconds or --frames are reached or the hooks stop it.
class ReceiveLoop
{
public:
    ReceiveLoop(uint32_t decoder, const Options &options) : mDecoder(decoder), mOptions(options) {}

    // `lateMs`: after the hooks stop the run, frames still on their way are taken this long,
    // though the rates end where the run was stopped.
    RunSummary run(const LoopHooks &hooks, const std::function<void(const SecondFigures &)> &onInterval,
                   int lateMs = 0);

private:
    uint32_t mDecoder;
    const Options &mOptions;
};
