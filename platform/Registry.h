// The operating system's own registry, where the platform has one (Windows).
// Keys are named by a root index (0 classes root, 1 current user, 2 local
// machine, 3 users, 4 performance data, 5 current config, 6 dynamic data) and a
// path of names joined by '\' below it (empty: the root key itself). Every call
// opens the key, does its work and closes it again, so no native handle is held
// between calls. Names go to the registry as ISO-8859-1 text; the stored case
// of a name is kept and names compare as the registry compares them.
//
// Where there is no such registry every call fails and SysRegAvailable is false.
//
// Thread safety: every function may be called from any thread.
#ifndef QORAPI_PLATFORM_REGISTRY_H
#define QORAPI_PLATFORM_REGISTRY_H

#include <cstdint>
#include <string>
#include <vector>

namespace QORAPI {

bool SysRegAvailable();

// Opens path (with create: creates the missing keys, volatile ones when
// persistent is false) with full access. True when the key exists afterwards.
bool SysRegOpenKey(int32_t root, const std::string& path, bool create, bool persistent);

// Reads a value: its type number and its bytes. False when the key or the value
// is missing or cannot be read.
bool SysRegQueryValue(int32_t root, const std::string& path, const std::string& name, uint32_t& type,
                      std::vector<uint8_t>& data);
bool SysRegSetValue(int32_t root, const std::string& path, const std::string& name, uint32_t type,
                    const void* data, uint32_t length);
bool SysRegDeleteValue(int32_t root, const std::string& path, const std::string& name);

// Removes the key at path (sub below parent); fails while it has sub-keys.
bool SysRegDeleteKey(int32_t root, const std::string& parent, const std::string& sub);

// The names of the sub-keys (at most 256 characters each) and of the values
// with their type numbers, in the registry's order. False when the key is missing.
bool SysRegListKeys(int32_t root, const std::string& path, std::vector<std::string>& out);
struct SysRegValueInfo
{
    std::string mName;
    uint32_t mType;
};
bool SysRegListValues(int32_t root, const std::string& path, std::vector<SysRegValueInfo>& out);

} // namespace QORAPI

#endif
