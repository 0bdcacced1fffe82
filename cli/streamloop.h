#pragma once

#include <functional>

// What a send or receive loop asks of the command around it: whether to go on, a turn every
// few milliseconds for other work (a control connection), and where each interval's figures go.
struct LoopHooks {
    std::function<bool()> keepGoing; // false ends the run
    std::function<void()> tick;      // empty: nothing else to do
    double intervalSeconds = 1;
    double omitSeconds = 0; // left out of every figure, the clock of the run starting after them
};
