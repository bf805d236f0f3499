#include "platform/Signal.h"

#include <atomic>

#include <windows.h>

namespace QORAPI {

namespace {

std::atomic<bool> gStopRequested{false};

BOOL WINAPI OnConsoleControl(DWORD type)
{
    switch (type)
    {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        gStopRequested = true;
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

bool InstallStopHandler()
{
    return ::SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
}

bool StopRequested()
{
    return gStopRequested.load();
}

bool WaitForStopRequest(uint32_t ms)
{
    const uint32_t step = 20;
    for (uint32_t waited = 0; waited < ms && !StopRequested(); waited += step)
        ::Sleep(step);
    return StopRequested();
}

} // namespace QORAPI
