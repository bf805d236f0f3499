#include "platform/FileTimes.h"

#include <windows.h>

#include "platform/win32/WinPath.h"

namespace QORAPI {

bool SetFileTimes(const std::string& path, uint32_t seconds)
{
    const HANDLE h = ::CreateFileW(WidePath(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    // 100-ns intervals since 1601.
    const uint64_t ticks = (static_cast<uint64_t>(seconds) + 11644473600ull) * 10000000ull;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    const bool ok = ::SetFileTime(h, nullptr, &ft, &ft) != 0;
    ::CloseHandle(h);
    return ok;
}

} // namespace QORAPI
