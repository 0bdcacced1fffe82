#include "stopsignal.h"

#include <atomic>
#include <csignal>

namespace {

std::atomic<bool> gStop{false};

void requestStop(int)
{
    gStop.store(true);
}

} // namespace

void installStopHandlers()
{
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool stopRequested()
{
    return gStop.load();
}
