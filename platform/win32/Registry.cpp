#include "platform/Registry.h"

#include <windows.h>

namespace QORAPI {

namespace {

const DWORD kMaxKeyName = 256;     // longest sub-key name the enumeration reads
const DWORD kMaxValueName = 16384; // longest value name the registry allows, with its zero

HKEY RootKey(int32_t root)
{
    switch (root)
    {
    case 0: return HKEY_CLASSES_ROOT;
    case 1: return HKEY_CURRENT_USER;
    case 2: return HKEY_LOCAL_MACHINE;
    case 3: return HKEY_USERS;
    case 4: return HKEY_PERFORMANCE_DATA;
    case 5: return HKEY_CURRENT_CONFIG;
    case 6: return HKEY_DYN_DATA;
    default: return nullptr;
    }
}

// An open native key, closed on every path out. The root key itself is used
// as it is and never closed.
class NativeKey
{
public:
    NativeKey() = default;
    ~NativeKey()
    {
        if (mKey && mOwned)
            ::RegCloseKey(mKey);
    }
    NativeKey(const NativeKey&) = delete;
    NativeKey& operator=(const NativeKey&) = delete;

    bool Open(int32_t root, const std::string& path, bool create = false, bool persistent = true)
    {
        const HKEY base = RootKey(root);
        if (!base)
            return false;
        if (path.empty())
        {
            mKey = base;
            mOwned = false;
            return true;
        }
        LONG rc;
        if (create)
        {
            const DWORD options = persistent ? REG_OPTION_NON_VOLATILE : REG_OPTION_VOLATILE;
            rc = ::RegCreateKeyExA(base, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &mKey,
                                   nullptr);
        }
        else
            rc = ::RegOpenKeyExA(base, path.c_str(), 0, KEY_ALL_ACCESS, &mKey);
        if (rc != ERROR_SUCCESS)
        {
            mKey = nullptr;
            return false;
        }
        mOwned = true;
        return true;
    }
    HKEY Get() const { return mKey; }

private:
    HKEY mKey = nullptr;
    bool mOwned = false;
};

} // namespace

bool SysRegAvailable()
{
    return true;
}

bool SysRegOpenKey(int32_t root, const std::string& path, bool create, bool persistent)
{
    NativeKey key;
    return key.Open(root, path, create, persistent);
}

bool SysRegQueryValue(int32_t root, const std::string& path, const std::string& name, uint32_t& type,
                      std::vector<uint8_t>& data)
{
    NativeKey key;
    if (!key.Open(root, path))
        return false;
    // The value may grow between the two calls: ask again until it fits.
    for (int attempt = 0; attempt < 4; ++attempt)
    {
        DWORD nativeType = 0, size = 0;
        if (::RegQueryValueExA(key.Get(), name.c_str(), nullptr, &nativeType, nullptr, &size) != ERROR_SUCCESS)
            return false;
        data.assign(size, 0);
        DWORD got = size;
        const LONG rc = ::RegQueryValueExA(key.Get(), name.c_str(), nullptr, &nativeType,
                                           size ? data.data() : nullptr, &got);
        if (rc == ERROR_MORE_DATA)
            continue;
        if (rc != ERROR_SUCCESS || got > size)
            return false;
        data.resize(got);
        type = nativeType;
        return true;
    }
    return false;
}

bool SysRegSetValue(int32_t root, const std::string& path, const std::string& name, uint32_t type,
                    const void* data, uint32_t length)
{
    NativeKey key;
    if (!key.Open(root, path))
        return false;
    return ::RegSetValueExA(key.Get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), length) ==
           ERROR_SUCCESS;
}

bool SysRegDeleteValue(int32_t root, const std::string& path, const std::string& name)
{
    NativeKey key;
    if (!key.Open(root, path))
        return false;
    return ::RegDeleteValueA(key.Get(), name.c_str()) == ERROR_SUCCESS;
}

bool SysRegDeleteKey(int32_t root, const std::string& parent, const std::string& sub)
{
    NativeKey key;
    if (sub.empty() || !key.Open(root, parent))
        return false;
    return ::RegDeleteKeyA(key.Get(), sub.c_str()) == ERROR_SUCCESS;
}

bool SysRegListKeys(int32_t root, const std::string& path, std::vector<std::string>& out)
{
    out.clear();
    NativeKey key;
    if (!key.Open(root, path))
        return false;
    char name[kMaxKeyName + 1];
    for (DWORD index = 0;; ++index)
    {
        DWORD len = sizeof(name);
        const LONG rc = ::RegEnumKeyExA(key.Get(), index, name, &len, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            return true;
        if (rc == ERROR_SUCCESS && len <= kMaxKeyName)
            out.emplace_back(name, len);
        else if (rc != ERROR_MORE_DATA)
            return true;  // the key changed under the enumeration: what was read stands
    }
}

bool SysRegListValues(int32_t root, const std::string& path, std::vector<SysRegValueInfo>& out)
{
    out.clear();
    NativeKey key;
    if (!key.Open(root, path))
        return false;
    std::vector<char> name(kMaxValueName + 1);
    for (DWORD index = 0;; ++index)
    {
        DWORD len = static_cast<DWORD>(name.size());
        DWORD type = 0;
        const LONG rc = ::RegEnumValueA(key.Get(), index, name.data(), &len, nullptr, &type, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            return true;
        if (rc == ERROR_SUCCESS && len < name.size())
            out.push_back(SysRegValueInfo{std::string(name.data(), len), type});
        else if (rc != ERROR_MORE_DATA)
            return true;
    }
}

} // namespace QORAPI
