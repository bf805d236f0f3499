#include "platform/Registry.h"

// POSIX systems have no registry of their own: RegKey keeps its folder store.

namespace QORAPI {

bool SysRegAvailable()
{
    return false;
}

bool SysRegOpenKey(int32_t, const std::string&, bool, bool)
{
    return false;
}

bool SysRegQueryValue(int32_t, const std::string&, const std::string&, uint32_t&, std::vector<uint8_t>&)
{
    return false;
}

bool SysRegSetValue(int32_t, const std::string&, const std::string&, uint32_t, const void*, uint32_t)
{
    return false;
}

bool SysRegDeleteValue(int32_t, const std::string&, const std::string&)
{
    return false;
}

bool SysRegDeleteKey(int32_t, const std::string&, const std::string&)
{
    return false;
}

bool SysRegListKeys(int32_t, const std::string&, std::vector<std::string>&)
{
    return false;
}

bool SysRegListValues(int32_t, const std::string&, std::vector<SysRegValueInfo>&)
{
    return false;
}

} // namespace QORAPI
