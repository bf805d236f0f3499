#include "platform/Tick.h"

#include <windows.h>

namespace QORAPI {

uint32_t SystemTickCount()
{
    return static_cast<uint32_t>(::GetTickCount());
}

uint64_t GetSystemTimeAsFileTime()
{
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

} // namespace QORAPI
