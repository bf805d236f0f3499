#include "common/RegKey.h"

#include "common/Endian.h"
#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"
#include "platform/FileSystem.h"
#include "platform/Registry.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

namespace QORAPI {

namespace {

const int32_t kRootCount = 7;
const size_t kMaxEntryName = 255;            // longest folder or file name of the store
const uint32_t kMaxValueSize = 16u << 20;     // largest value the store keeps
const uint32_t kLastType = 11;                // highest valid stored type
const uint8_t kMagic[4] = {'Q', 'R', 'V', '1'};
const uint32_t kHeaderSize = 12;              // magic, type, length
const char kLockName[] = ".lock";             // lock file of each key folder

// ---- names ------------------------------------------------------------------

// Case folding of the store: ISO-8859-1 letters, independent of the locale so
// that a stored tree reads the same in every process.
char Fold(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u >= 'a' && u <= 'z') || (u >= 0xE0 && u <= 0xFE && u != 0xF7))
        return static_cast<char>(u - 0x20);
    return c;
}

std::string FoldName(const std::string& name)
{
    std::string folded = name;
    for (char& c : folded)
        c = Fold(c);
    return folded;
}

bool SameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i]))
            return false;
    return true;
}

bool LessName(const std::string& a, const std::string& b)
{
    const std::string fa = FoldName(a), fb = FoldName(b);
    return fa != fb ? fa < fb : a < b;
}

// A key or value name the store accepts: no zero byte, no '/', not "." or "..".
// Key names are never empty; the empty value name is the key's default value.
bool ValidName(const std::string& name, bool allowEmpty)
{
    if (name.empty())
        return allowEmpty;
    if (name == "." || name == "..")
        return false;
    return name.find('\0') == std::string::npos && name.find('/') == std::string::npos;
}

bool SplitPath(const std::string& path, std::vector<std::string>& out)
{
    out.clear();
    if (path.empty())
        return false;
    size_t start = 0;
    for (;;)
    {
        const size_t sep = path.find('\\', start);
        const std::string part = path.substr(start, sep == std::string::npos ? std::string::npos : sep - start);
        if (!ValidName(part, false))
            return false;
        out.push_back(part);
        if (sep == std::string::npos)
            return true;
        start = sep + 1;
    }
}

const char kHex[] = "0123456789ABCDEF";

// File-system form of a name: '%', '/', '\', control bytes and a leading '.'
// or '@' become %XX, so a name never reaches outside its folder nor looks like
// a value file or a temporary file.
std::string Encode(const std::string& name)
{
    std::string out;
    for (size_t i = 0; i < name.size(); ++i)
    {
        const unsigned char u = static_cast<unsigned char>(name[i]);
        const bool escape = u == '%' || u == '/' || u == '\\' || u < 0x20 || u == 0x7F ||
                            (i == 0 && (u == '.' || u == '@'));
        if (escape)
        {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
        else
            out += static_cast<char>(u);
    }
    return out;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool Decode(const std::string& encoded, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < encoded.size(); ++i)
    {
        if (encoded[i] != '%')
        {
            out += encoded[i];
            continue;
        }
        if (i + 2 >= encoded.size())
            return false;
        const int hi = HexValue(encoded[i + 1]);
        const int lo = HexValue(encoded[i + 2]);
        if (hi < 0 || lo < 0)
            return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

// ---- the in-memory part (keys opened as not persistent) ------------------------

struct MemValue
{
    std::string mName;
    uint32_t mType;
    std::vector<uint8_t> mData;
};

struct MemKey
{
    std::string mName;
    std::vector<MemValue> mValues;  // in the order they were first written
};

std::mutex& MemMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Keyed by the canonical path: root index, then '\' and the folded name of each level.
std::map<std::string, MemKey>& MemKeys()
{
    static std::map<std::string, MemKey> keys;
    return keys;
}

std::mutex& RootMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::string& RootOverride()
{
    static std::string root;
    return root;
}

// ---- locating keys ---------------------------------------------------------------

struct Location
{
    bool mExists = false;
    bool mVolatile = false;
    std::string mDisk;   // folder of a persistent key (empty when the store has no root)
    std::string mCanon;  // canonical path
};

bool IsKeyEntry(const DirEntry& e, std::string& name)
{
    if (!e.mIsDirectory || e.mName.empty() || e.mName[0] == '.' || e.mName[0] == '@')
        return false;
    return Decode(e.mName, name) && ValidName(name, false);
}

bool IsValueEntry(const DirEntry& e, std::string& name)
{
    if (!e.mIsRegularFile || e.mName.empty() || e.mName[0] != '@')
        return false;
    return Decode(e.mName.substr(1), name) && ValidName(name, true);
}

bool IsTempEntry(const DirEntry& e)
{
    return e.mIsRegularFile && !e.mName.empty() && e.mName[0] == '.' && e.mName.find(".tmp-") != std::string::npos;
}

// Creating an entry (a value file or a sub-key folder) and removing one happen
// under the lock file of the key folder, across processes: a writer looks for
// a stored case variant of its name and creates a new entry only when there is
// none, so names that differ only in case never become two entries.
bool LockKeyFolder(const std::string& dir, FileLock& lock)
{
    return !dir.empty() && lock.Lock(dir + "/" + kLockName);
}

bool FindChild(const Location& parent, const std::string& name, std::string& stored, Location& child)
{
    const std::string canon = parent.mCanon + "\\" + FoldName(name);
    {
        std::lock_guard<std::mutex> lock(MemMutex());
        auto it = MemKeys().find(canon);
        if (it != MemKeys().end())
        {
            stored = it->second.mName;
            child.mExists = true;
            child.mVolatile = true;
            child.mDisk.clear();
            child.mCanon = canon;
            return true;
        }
    }
    if (parent.mVolatile || parent.mDisk.empty())
        return false;
    std::vector<DirEntry> entries;
    if (!ListDirectory(parent.mDisk, entries))
        return false;
    for (const DirEntry& e : entries)
    {
        std::string decoded;
        if (IsKeyEntry(e, decoded) && SameName(decoded, name))
        {
            stored = decoded;
            child.mExists = true;
            child.mVolatile = false;
            child.mDisk = parent.mDisk + "/" + e.mName;
            child.mCanon = canon;
            return true;
        }
    }
    return false;
}

Location RootLocation(int32_t root)
{
    Location loc;
    if (root < 0 || root >= kRootCount)
        return loc;
    loc.mExists = true;
    loc.mCanon = std::to_string(root);
    const std::string base = RegKey::GetStoreRoot();
    if (!base.empty())
        loc.mDisk = base + "/" + std::to_string(root);
    return loc;
}

Location Resolve(const RegKeyHandle& h)
{
    Location loc = RootLocation(h.mRoot);
    for (const std::string& name : h.mNames)
    {
        if (!loc.mExists)
            break;
        std::string stored;
        Location child;
        if (!FindChild(loc, name, stored, child))
            return Location();
        loc = child;
    }
    return loc;
}

bool OpenPath(const RegKeyHandle& parent, const std::vector<std::string>& names, bool create, bool persistent,
              RegKeyHandle& out)
{
    Location loc = Resolve(parent);
    if (!loc.mExists)
        return false;
    RegKeyHandle cur = parent;
    for (const std::string& name : names)
    {
        std::string stored;
        Location child;
        if (FindChild(loc, name, stored, child))
        {
            cur.mNames.push_back(stored);
            loc = child;
            continue;
        }
        if (!create)
            return false;
        const std::string encoded = Encode(name);
        if (encoded.size() > kMaxEntryName)
            return false;
        child.mExists = true;
        child.mCanon = loc.mCanon + "\\" + FoldName(name);
        if (loc.mVolatile && persistent)
            return false;  // a key kept in memory has only such sub-keys
        if (loc.mVolatile || !persistent)
        {
            std::lock_guard<std::mutex> lock(MemMutex());
            MemKeys().emplace(child.mCanon, MemKey{name, {}});
            child.mVolatile = true;
        }
        else
        {
            // The root folders are made on demand; deeper ones exist already.
            if (loc.mDisk.empty() || (cur.mNames.empty() && !MakeDirectories(loc.mDisk, 0700)))
                return false;
            FileLock lock;
            if (!LockKeyFolder(loc.mDisk, lock))
                return false;
            // Another writer may have created a case variant meanwhile.
            if (FindChild(loc, name, stored, child))
            {
                cur.mNames.push_back(stored);
                loc = child;
                continue;
            }
            child.mDisk = loc.mDisk + "/" + encoded;
            if (!MakeDirectories(child.mDisk, 0700))
                return false;
        }
        cur.mNames.push_back(name);
        loc = child;
    }
    out = cur;
    return true;
}

std::vector<std::string> ListChildKeys(const Location& loc)
{
    std::vector<std::string> names;
    if (!loc.mExists)
        return names;
    if (!loc.mVolatile && !loc.mDisk.empty())
    {
        std::vector<DirEntry> entries;
        if (ListDirectory(loc.mDisk, entries))
            for (const DirEntry& e : entries)
            {
                std::string decoded;
                if (IsKeyEntry(e, decoded))
                    names.push_back(decoded);
            }
    }
    {
        const std::string prefix = loc.mCanon + "\\";
        std::lock_guard<std::mutex> lock(MemMutex());
        for (auto it = MemKeys().lower_bound(prefix);
             it != MemKeys().end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it)
            if (it->first.find('\\', prefix.size()) == std::string::npos)
                names.push_back(it->second.mName);
    }
    std::stable_sort(names.begin(), names.end(), LessName);
    names.erase(std::unique(names.begin(), names.end(), SameName), names.end());
    return names;
}

// ---- value files -------------------------------------------------------------------

bool ValidTypeAndLength(uint32_t type, uint32_t length)
{
    if (type > kLastType || length > kMaxValueSize)
        return false;
    if (type == RegTypeDWORD || type == RegTypeDWORDBigEndian)
        return length == 4;
    if (type == RegTypeQWORD)
        return length == 8;
    return true;
}

// A value file: "QRV1", the type and the data length (both 32-bit little-endian),
// then the data. Anything else is damaged.
bool ParseValueFile(const std::vector<uint8_t>& file, uint32_t& type, uint32_t& offset, uint32_t& length)
{
    try
    {
        ReadBuffer rb(file.data(), static_cast<uint32_t>(file.size()));
        if (file.size() < kHeaderSize || std::memcmp(rb.ReadBytes(4), kMagic, 4) != 0)
            return false;
        type = rb.ReadLong();
        length = rb.ReadLong();
        if (!ValidTypeAndLength(type, length) || rb.Remaining() != length)
            return false;
        offset = rb.GetPos();
        return true;
    }
    catch (const ReadBufferException&)
    {
        return false;
    }
}

bool FindDiskValue(const std::string& dir, const std::string& name, std::string& entry)
{
    std::vector<DirEntry> entries;
    if (!ListDirectory(dir, entries))
        return false;
    for (const DirEntry& e : entries)
    {
        std::string decoded;
        if (IsValueEntry(e, decoded) && SameName(decoded, name))
        {
            entry = e.mName;
            return true;
        }
    }
    return false;
}

bool ReadDiskValue(const std::string& path, uint32_t& type, std::vector<uint8_t>& file, uint32_t& offset,
                   uint32_t& length)
{
    return ReadWholeFile(path, file, kHeaderSize + kMaxValueSize) && ParseValueFile(file, type, offset, length);
}

MemKey* FindMemKey(const std::string& canon)
{
    auto it = MemKeys().find(canon);
    return it == MemKeys().end() ? nullptr : &it->second;
}

MemValue* FindMemValue(MemKey& key, const std::string& name)
{
    for (MemValue& v : key.mValues)
        if (SameName(v.mName, name))
            return &v;
    return nullptr;
}

uint32_t KindOf(uint32_t type)
{
    switch (type)
    {
    case RegTypeDWORD: return RegKindDWORD;
    case RegTypeString: return RegKindString;
    case RegTypeBinary: return RegKindBinary;
    default: return RegKindOther;
    }
}

struct ValueItem
{
    std::string mName;
    uint32_t mType;
};

std::vector<ValueItem> ListValues(const Location& loc)
{
    std::vector<ValueItem> items;
    if (!loc.mExists)
        return items;
    if (loc.mVolatile)
    {
        std::lock_guard<std::mutex> lock(MemMutex());
        if (MemKey* key = FindMemKey(loc.mCanon))
            for (const MemValue& v : key->mValues)
                items.push_back(ValueItem{v.mName, v.mType});
        return items;
    }
    std::vector<DirEntry> entries;
    if (loc.mDisk.empty() || !ListDirectory(loc.mDisk, entries))
        return items;
    for (const DirEntry& e : entries)
    {
        std::string decoded;
        if (!IsValueEntry(e, decoded))
            continue;
        std::vector<uint8_t> file;
        uint32_t type, offset, length;
        if (ReadDiskValue(loc.mDisk + "/" + e.mName, type, file, offset, length))
            items.push_back(ValueItem{decoded, type});
    }
    std::stable_sort(items.begin(), items.end(),
                     [](const ValueItem& a, const ValueItem& b) { return LessName(a.mName, b.mName); });
    items.erase(std::unique(items.begin(), items.end(),
                            [](const ValueItem& a, const ValueItem& b) { return SameName(a.mName, b.mName); }),
                items.end());
    return items;
}

// ---- the system registry -------------------------------------------------------------

// The platform's own registry serves unless a folder was chosen, by a call or
// by QORAPI_REGISTRY_DIR; without one the folder store always serves.
bool UseSystem()
{
    if (!SysRegAvailable())
        return false;
    {
        std::lock_guard<std::mutex> lock(RootMutex());
        if (!RootOverride().empty())
            return false;
    }
    std::string value;
    return !GetEnvironmentVariable("QORAPI_REGISTRY_DIR", value) || value.empty();
}

std::string JoinNames(const std::vector<std::string>& names)
{
    std::string path;
    for (const std::string& name : names)
    {
        if (!path.empty())
            path += '\\';
        path += name;
    }
    return path;
}

// Listings in the same order as the folder store gives them.
std::vector<std::string> ChildKeys(const RegKeyHandle& h)
{
    if (!UseSystem())
        return ListChildKeys(Resolve(h));
    std::vector<std::string> names;
    if (!SysRegListKeys(h.mRoot, JoinNames(h.mNames), names))
        names.clear();
    std::stable_sort(names.begin(), names.end(), LessName);
    return names;
}

std::vector<ValueItem> ChildValues(const RegKeyHandle& h)
{
    if (!UseSystem())
        return ListValues(Resolve(h));
    std::vector<SysRegValueInfo> infos;
    std::vector<ValueItem> items;
    if (SysRegListValues(h.mRoot, JoinNames(h.mNames), infos))
        for (const SysRegValueInfo& info : infos)
            items.push_back(ValueItem{info.mName, info.mType});
    std::stable_sort(items.begin(), items.end(),
                     [](const ValueItem& a, const ValueItem& b) { return LessName(a.mName, b.mName); });
    return items;
}

} // namespace

// ---- RegKey --------------------------------------------------------------------------

RegKey::RegKey() : mOpen(false), mValueBufSize(0), mKeyIndex(0), mValueIndex(0) {}

RegKey::RegKey(uint32_t rootIndex, const std::string& path, bool create, bool persistent) : RegKey()
{
    Open(rootIndex, path, create, persistent);
}

RegKey::~RegKey()
{
    Close();
}

void RegKey::SetStoreRoot(const std::string& folder)
{
    std::lock_guard<std::mutex> lock(RootMutex());
    RootOverride() = folder;
}

std::string RegKey::GetStoreRoot()
{
    {
        std::lock_guard<std::mutex> lock(RootMutex());
        if (!RootOverride().empty())
            return RootOverride();
    }
    std::string value;
    if (GetEnvironmentVariable("QORAPI_REGISTRY_DIR", value) && !value.empty())
        return value;
    if (GetEnvironmentVariable("XDG_DATA_HOME", value) && IsAbsolutePath(value))
        return value + "/qorapi/registry";
    if (GetHomeDirectory(value))
        return value + "/.local/share/qorapi/registry";
    return std::string();
}

bool RegKey::Open(uint32_t rootIndex, const std::string& path, bool create, bool persistent)
{
    Close();
    if (rootIndex >= static_cast<uint32_t>(kRootCount))
        return false;
    RegKeyHandle root;
    root.mRoot = static_cast<int32_t>(rootIndex);
    return OpenUnder(root, path, create, persistent);
}

bool RegKey::OpenUnder(const RegKeyHandle& parentKey, const std::string& path, bool create, bool persistent)
{
    const RegKeyHandle parent = parentKey;  // parentKey may be this key's own handle
    Close();
    if (path.empty())
        return false;
    std::vector<std::string> names;
    if (!SplitPath(path, names))
        return false;
    RegKeyHandle opened;
    if (UseSystem())
    {
        opened = parent;
        opened.mNames.insert(opened.mNames.end(), names.begin(), names.end());
        if (!SysRegOpenKey(opened.mRoot, JoinNames(opened.mNames), create, persistent))
            return false;
    }
    else if (!OpenPath(parent, names, create, persistent, opened))
        return false;
    mKey = opened;
    mOpen = true;
    mPath = path;
    mKeyIndex = 0;
    mValueIndex = 0;
    return true;
}

bool RegKey::OpenSubKey(const std::string& path, bool create, bool persistent)
{
    if (!mOpen || path.empty())
        return false;
    RegKey sub;
    if (!sub.OpenUnder(mKey, path, create, persistent))
        return false;
    Close();
    mKey = sub.mKey;
    mOpen = true;
    mPath = path;
    mKeyIndex = 0;
    mValueIndex = 0;
    return true;
}

bool RegKey::OpenSubKeyInto(const std::string& path, RegKey& dest, bool create, bool persistent)
{
    if (!mOpen || path.empty())
        return false;
    return dest.OpenUnder(mKey, path, create, persistent);
}

void RegKey::Close()
{
    if (!mOpen)
        return;
    mOpen = false;
    mKey = RegKeyHandle();
}

RegResult RegKey::QueryValue(const std::string& name, uint32_t& type, uint32_t& length)
{
    if (!mOpen || !ValidName(name, true))
        return RegNotFound;
    std::vector<uint8_t> file;
    const uint8_t* data = nullptr;
    const bool system = UseSystem();
    const Location loc = system ? Location() : Resolve(mKey);
    if (system)
    {
        if (!SysRegQueryValue(mKey.mRoot, JoinNames(mKey.mNames), name, type, file))
            return RegNotFound;
        length = static_cast<uint32_t>(file.size());
        data = file.data();
    }
    else if (!loc.mExists)
        return RegNotFound;
    else if (loc.mVolatile)
    {
        std::lock_guard<std::mutex> lock(MemMutex());
        MemKey* key = FindMemKey(loc.mCanon);
        MemValue* value = key ? FindMemValue(*key, name) : nullptr;
        if (!value)
            return RegNotFound;
        type = value->mType;
        file = value->mData;
        length = static_cast<uint32_t>(file.size());
        data = file.data();
    }
    else
    {
        std::string entry;
        uint32_t offset = 0;
        if (loc.mDisk.empty() || !FindDiskValue(loc.mDisk, name, entry) ||
            !ReadDiskValue(loc.mDisk + "/" + entry, type, file, offset, length))
            return RegNotFound;
        data = file.data() + offset;
    }

    if (mValueBufSize < length)
    {
        mValueBuf.reset(new uint8_t[length]);
        mValueBufSize = length;
    }
    if (length > 0)
        std::memcpy(mValueBuf.get(), data, length);
    return RegOk;
}

RegResult RegKey::GetString(const std::string& name, std::string& out)
{
    out.clear();
    uint32_t type = 0, length = 0;
    const RegResult r = QueryValue(name, type, length);
    if (r != RegOk)
        return r;
    if (type != RegTypeString)
        return RegWrongType;
    const char* text = reinterpret_cast<const char*>(mValueBuf.get());
    const void* zero = length ? std::memchr(text, 0, length) : nullptr;
    const size_t count = zero ? static_cast<size_t>(static_cast<const char*>(zero) - text) : length;
    out.assign(text ? text : "", count);
    return RegOk;
}

RegResult RegKey::GetDWORD(const std::string& name, uint32_t& out)
{
    out = 0;
    uint32_t type = 0, length = 0;
    const RegResult r = QueryValue(name, type, length);
    if (r != RegOk)
        return r;
    if (type != RegTypeDWORD || length != 4)
        return RegWrongType;
    out = LoadLE32(mValueBuf.get());
    return RegOk;
}

RegResult RegKey::GetBinary(const std::string& name, SmartPtr<ByteBuffer>& out)
{
    uint32_t type = 0, length = 0;
    const RegResult r = QueryValue(name, type, length);
    if (r != RegOk)
        return r;
    if (type != RegTypeBinary)
        return RegWrongType;
    if (length == 0)
        return RegEmptyValue;
    out = new ByteBuffer(mValueBuf.get(), length);
    return RegOk;
}

bool RegKey::SetValue(const std::string& name, uint32_t type, const void* data, uint32_t length)
{
    if (!mOpen || !ValidName(name, true) || !ValidTypeAndLength(type, length) || (length > 0 && !data))
        return false;
    if (UseSystem())
        return SysRegSetValue(mKey.mRoot, JoinNames(mKey.mNames), name, type, data, length);
    const Location loc = Resolve(mKey);
    if (!loc.mExists)
        return false;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);

    if (loc.mVolatile)
    {
        std::lock_guard<std::mutex> lock(MemMutex());
        MemKey* key = FindMemKey(loc.mCanon);
        if (!key)
            return false;
        std::vector<uint8_t> copy(bytes, bytes + length);
        if (MemValue* value = FindMemValue(*key, name))
        {
            value->mType = type;
            value->mData.swap(copy);
        }
        else
            key->mValues.push_back(MemValue{name, type, std::move(copy)});
        return true;
    }

    FileLock lock;
    if (loc.mDisk.empty() || !IsDirectory(loc.mDisk) || !LockKeyFolder(loc.mDisk, lock))
        return false;
    std::string entry;
    if (!FindDiskValue(loc.mDisk, name, entry))
    {
        entry = "@" + Encode(name);
        if (entry.size() > kMaxEntryName)
            return false;
    }
    WriteBuffer file;
    file.AppendBytes(kMagic, 4);
    file.AppendLong(type);
    file.AppendLong(length);
    file.AppendBytes(bytes, length);
    return WriteFileAtomic(loc.mDisk + "/" + entry, file.GetData(), file.GetLength());
}

bool RegKey::SetString(const std::string& name, const std::string& text)
{
    if (text.size() >= kMaxValueSize)
        return false;
    return SetValue(name, RegTypeString, text.c_str(), static_cast<uint32_t>(text.size() + 1));
}

bool RegKey::SetDWORD(const std::string& name, uint32_t value)
{
    uint8_t bytes[4];
    StoreLE32(bytes, value);
    return SetValue(name, RegTypeDWORD, bytes, 4);
}

bool RegKey::SetBinary(const std::string& name, const void* data, uint32_t length)
{
    return SetValue(name, RegTypeBinary, data, length);
}

bool RegKey::DeleteValue(const std::string& name)
{
    if (!mOpen || !ValidName(name, true))
        return false;
    if (UseSystem())
        return SysRegDeleteValue(mKey.mRoot, JoinNames(mKey.mNames), name);
    const Location loc = Resolve(mKey);
    if (!loc.mExists)
        return false;
    if (loc.mVolatile)
    {
        std::lock_guard<std::mutex> lock(MemMutex());
        MemKey* key = FindMemKey(loc.mCanon);
        if (!key)
            return false;
        for (auto it = key->mValues.begin(); it != key->mValues.end(); ++it)
            if (SameName(it->mName, name))
            {
                key->mValues.erase(it);
                return true;
            }
        return false;
    }
    // Every stored case variant goes (a store written without the folder
    // lock may hold several), so a deleted value never comes back.
    FileLock lock;
    std::vector<DirEntry> entries;
    if (!LockKeyFolder(loc.mDisk, lock) || !ListDirectory(loc.mDisk, entries))
        return false;
    bool found = false;
    for (const DirEntry& e : entries)
    {
        std::string decoded;
        if (IsValueEntry(e, decoded) && SameName(decoded, name))
        {
            if (!RemoveFile(loc.mDisk + "/" + e.mName))
                return false;
            found = true;
        }
    }
    return found;
}

bool RegKey::DeleteSubKey(const std::string& path)
{
    if (!mOpen || path.empty())
        return false;
    std::vector<std::string> names;
    if (!SplitPath(path, names))
        return false;
    if (UseSystem())
        return SysRegDeleteKey(mKey.mRoot, JoinNames(mKey.mNames), JoinNames(names));
    RegKeyHandle target;
    if (!OpenPath(mKey, names, false, true, target))
        return false;
    const Location loc = Resolve(target);
    if (!loc.mExists)
        return false;
    if (loc.mVolatile)
    {
        if (!ListChildKeys(loc).empty())
            return false;
        std::lock_guard<std::mutex> lock(MemMutex());
        return MemKeys().erase(loc.mCanon) == 1;
    }

    // The parent's lock keeps a case variant from being created meanwhile, the
    // key's own lock keeps its values and sub-keys still.
    const size_t cut = loc.mDisk.find_last_of('/');
    FileLock parentLock, keyLock;
    if (cut == std::string::npos || !LockKeyFolder(loc.mDisk.substr(0, cut), parentLock) ||
        !LockKeyFolder(loc.mDisk, keyLock) || !ListChildKeys(loc).empty())
        return false;

    // Only the store's own files are removed; anything else keeps the folder.
    std::vector<DirEntry> entries;
    if (!ListDirectory(loc.mDisk, entries))
        return false;
    for (const DirEntry& e : entries)
    {
        std::string decoded;
        if (!IsValueEntry(e, decoded) && !IsTempEntry(e) && !(e.mIsRegularFile && e.mName == kLockName))
            return false;
    }
    for (const DirEntry& e : entries)
        if (e.mName != kLockName && !RemoveFile(loc.mDisk + "/" + e.mName))
            return false;
    // The lock file goes last, once released (an open file may not vanish at
    // once on every platform).
    keyLock.Unlock();
    return RemoveFile(loc.mDisk + "/" + kLockName) && RemoveEmptyDirectory(loc.mDisk);
}

bool RegKey::DeleteSubKey(RegKey& subKey)
{
    const std::string path = subKey.mPath;
    subKey.Close();
    return DeleteSubKey(path);
}

bool RegKey::GetFirstSubKey(RegKey& out)
{
    mKeyIndex = 0;
    return GetNextSubKey(out) == RegNoMoreItems;
}

RegResult RegKey::GetNextSubKey(RegKey& out)
{
    if (!mOpen)
        return RegNoMoreItems;
    const std::vector<std::string> names = ChildKeys(mKey);
    if (mKeyIndex >= names.size())
        return RegNoMoreItems;
    const std::string name = names[mKeyIndex];
    ++mKeyIndex;
    return out.OpenUnder(mKey, name, false, true) ? RegOk : RegNoMoreItems;
}

bool RegKey::GetFirstValue(std::string& name, uint32_t& kind)
{
    mValueIndex = 0;
    return GetNextValue(name, kind) == RegNoMoreItems;
}

RegResult RegKey::GetNextValue(std::string& name, uint32_t& kind)
{
    if (!mOpen)
        return RegNoMoreItems;
    const std::vector<ValueItem> items = ChildValues(mKey);
    if (mValueIndex >= items.size())
        return RegNoMoreItems;
    name = items[mValueIndex].mName;
    kind = KindOf(items[mValueIndex].mType);
    ++mValueIndex;
    return RegOk;
}

} // namespace QORAPI
