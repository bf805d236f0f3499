// RegKey: one open key of the settings registry, with typed values, sub-keys
// and enumeration. Where the platform has a registry of its own (Windows), that
// registry serves, unless a store folder was chosen (SetStoreRoot or the
// environment variable QORAPI_REGISTRY_DIR). Otherwise the registry is a store
// of our own: a folder tree under a root folder (one folder per root key index
// and per sub-key, one file per value), with keys opened as not persistent kept
// in process memory.
//
// Key and value names compare case-insensitively (ISO-8859-1 letters) and keep
// the case they were created with; a sub-key path separates names with '\'.
// Names that are empty, "." or "..", or contain '/' or a zero byte are refused.
// Every value write replaces its file atomically. A damaged or foreign file in
// the store reads as RegNotFound.
//
// Thread safety: a RegKey object belongs to one thread at a time; distinct
// objects may work on the same keys from several threads (the in-memory part
// of the store is locked, and files are replaced whole).
#ifndef QORAPI_COMMON_REGKEY_H
#define QORAPI_COMMON_REGKEY_H

#include "common/ByteBuffer.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace QORAPI {

// Results of the typed reads and of the enumeration.
enum RegResult
{
    RegOk = 0,
    RegNotFound = 1,     // the key is not open, or the value does not exist or cannot be read
    RegWrongType = 2,    // the value exists with another type
    RegNoMoreItems = 3,  // the enumeration has no further item
    RegEmptyValue = 4    // a binary value of length 0
};

// Kinds reported by the value enumeration.
enum RegValueKind : uint32_t
{
    RegKindDWORD = 0,
    RegKindString = 1,
    RegKindBinary = 2,
    RegKindOther = 3
};

// Stored value types (the numbering of the Windows registry; 0 to 11 are valid).
enum RegValueType : uint32_t
{
    RegTypeNone = 0,
    RegTypeString = 1,
    RegTypeExpandString = 2,
    RegTypeBinary = 3,
    RegTypeDWORD = 4,
    RegTypeDWORDBigEndian = 5,
    RegTypeLink = 6,
    RegTypeMultiString = 7,
    RegTypeQWORD = 11
};

// An open key: its root index and the names from the root down, in stored case.
struct RegKeyHandle
{
    int32_t mRoot = -1;               // -1: no key
    std::vector<std::string> mNames;  // empty: the root key itself
};

class RegKey
{
public:
    RegKey();
    RegKey(uint32_t rootIndex, const std::string& path, bool create = false, bool persistent = true);
    virtual ~RegKey();

    // Removes the sub-key named by subKey's path (closing subKey first).
    virtual bool DeleteSubKey(RegKey& subKey);
    // Removes the sub-key path of this key, with its values; false for an empty
    // path, a closed key, a missing key, or a key that still has sub-keys.
    virtual bool DeleteSubKey(const std::string& path);

    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    // Root indexes: 0 classes root, 1 current user, 2 local machine, 3 users,
    // 4 performance data, 5 current config, 6 dynamic data; others fail.
    bool Open(uint32_t rootIndex, const std::string& path, bool create = false, bool persistent = true);
    // Closes this key, then opens (or with create, creates) path under parent.
    // An empty path leaves the key closed.
    bool OpenUnder(const RegKeyHandle& parent, const std::string& path, bool create = false,
                   bool persistent = true);
    // Replaces this key by its sub-key path; nothing changes on failure.
    bool OpenSubKey(const std::string& path, bool create = false, bool persistent = true);
    // Opens path under this key into dest.
    bool OpenSubKeyInto(const std::string& path, RegKey& dest, bool create = false, bool persistent = true);
    void Close();

    RegResult GetString(const std::string& name, std::string& out);
    RegResult GetDWORD(const std::string& name, uint32_t& out);
    RegResult GetBinary(const std::string& name, SmartPtr<ByteBuffer>& out);

    bool SetString(const std::string& name, const std::string& text);
    bool SetDWORD(const std::string& name, uint32_t value);
    bool SetBinary(const std::string& name, const void* data, uint32_t length);
    // Writes a value of any stored type (0 to 11).
    bool SetValue(const std::string& name, uint32_t type, const void* data, uint32_t length);
    bool DeleteValue(const std::string& name);

    // True when there is no sub-key; false when out holds the first one.
    bool GetFirstSubKey(RegKey& out);
    RegResult GetNextSubKey(RegKey& out);
    // True when there is no value; false when name and kind hold the first one.
    bool GetFirstValue(std::string& name, uint32_t& kind);
    RegResult GetNextValue(std::string& name, uint32_t& kind);

    bool IsOpen() const { return mOpen; }
    const std::string& GetPath() const { return mPath; }
    const RegKeyHandle& GetHandle() const { return mKey; }

    // The folder of the persistent store. A folder set here wins over the
    // environment variable QORAPI_REGISTRY_DIR, which wins over
    // $XDG_DATA_HOME/qorapi/registry, else ~/.local/share/qorapi/registry.
    // An empty text returns to those defaults.
    static void SetStoreRoot(const std::string& folder);
    static std::string GetStoreRoot();

private:
    RegResult QueryValue(const std::string& name, uint32_t& type, uint32_t& length);

    RegKeyHandle mKey;
    bool mOpen;
    std::string mPath;
    std::unique_ptr<uint8_t[]> mValueBuf;  // reused by every value query; only grows
    uint32_t mValueBufSize;
    uint32_t mKeyIndex;
    uint32_t mValueIndex;
};

} // namespace QORAPI

#endif
