#pragma once

#include "options.h"
#include "report.h"
#include "streamloop.h"
#include "testpicture.h"

#include <functional>

// Streams the test picture at the rate asked until --seconds or --frames are reached or the
// hooks stop it. `done` is told the moment the last frame went to the library, before the wait
// for queued frames to leave, so a receiver can end its rates there.
class SendLoop
{
public:
    SendLoop(uint32_t encoder, const Options &options, TestPicture &picture)
        : mEncoder(encoder), mOptions(options), mPicture(picture) {}

    SendFigures run(const LoopHooks &hooks, const std::function<void(const SendFigures &)> &onInterval,
                    const std::function<void()> &done = {});

private:
    uint32_t mEncoder;
    const Options &mOptions;
    TestPicture &mPicture;
};
