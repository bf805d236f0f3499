#include "platform/Signal.h"

#include <csignal>
#include <ctime>

#include <signal.h>

namespace QORAPI {

namespace {

volatile std::sig_atomic_t gStopRequested = 0;

void OnStopSignal(int)
{
    gStopRequested = 1;
}

} // namespace

bool InstallStopHandler()
{
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

bool StopRequested()
{
    return gStopRequested != 0;
}

bool WaitForStopRequest(uint32_t ms)
{
    const uint32_t step = 20;
    for (uint32_t waited = 0; waited < ms && !StopRequested(); waited += step)
    {
        struct timespec ts = {0, static_cast<long>(step) * 1000000L};
        nanosleep(&ts, nullptr);
    }
    return StopRequested();
}

} // namespace QORAPI
