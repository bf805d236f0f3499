// Fuzz target of the local service's state file (LocalState). Either the
// input is the database file itself, opened and read the way qor local reads
// it at start-up, or it is a sequence of changes made to a fresh file, checked
// against a model of what was stored.
// Properties: a file that does not open says why and is left as it was; a
// file whose tree does not load says why; a tree that loads is written back and reloads identical, and writing it
// leaves the accounts alone; every change the store accepts is read back
// exactly, after reopening too, and a change it refuses says why and leaves
// the store as it was.
//
// Input: mode byte (bit 0 clear: the rest is the file; set: operations),
// then the bytes. An operation is an op code byte and its fields; texts are a
// 1-byte length and that many bytes (UTF-16 units taken in pairs for the
// account and tree texts); at most 64 operations are run.
#include "FuzzUtil.h"

#include "service/AuthServer.h"
#include "service/DirServerEngine.h"
#include "service/LocalAuthority.h"
#include "service/LocalState.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

using namespace QORAPI;

namespace {

const std::filesystem::path& Dir()
{
    static const std::filesystem::path dir = [] {
        std::error_code ec;
        // A memory file system keeps the synchronous writes cheap.
        const std::filesystem::path base =
            std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : std::filesystem::temp_directory_path();
        const std::filesystem::path d = base / ("qorapi-state-fuzz-" + std::to_string(getpid()));
        std::filesystem::create_directories(d);
        return d;
    }();
    static const struct Cleanup
    {
        ~Cleanup()
        {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    } cleanup;
    return dir;
}

std::string FreshPath()
{
    const std::filesystem::path path = Dir() / "state.db";
    std::error_code ec;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        std::filesystem::remove(path.string() + suffix, ec);
    return path.string();
}

bool SameRecord(const DirEngineRecord& a, const DirEngineRecord& b)
{
    if (a.mPath != b.mPath || a.mService != b.mService || a.mName != b.mName || a.mDisplayName != b.mDisplayName ||
        a.mAddress != b.mAddress || a.mDataObjects != b.mDataObjects || a.mExpiry != b.mExpiry ||
        a.mCreated != b.mCreated || a.mChanges != b.mChanges || a.mPermissions.size() != b.mPermissions.size())
        return false;
    for (size_t i = 0; i < a.mPermissions.size(); ++i)
    {
        const DirPermission& x = a.mPermissions[i];
        const DirPermission& y = b.mPermissions[i];
        if (x.mACLType != y.mACLType || x.mValue1 != y.mValue1 || x.mValue2 != y.mValue2 || x.mValue3 != y.mValue3)
            return false;
    }
    return true;
}

bool SameTree(const std::vector<DirEngineRecord>& a, const std::vector<DirEngineRecord>& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), SameRecord);
}

bool SameAccount(const AuthAccount& a, const AuthAccount& b)
{
    return a.mUserName == b.mUserName && a.mPassword == b.mPassword && a.mCommunities == b.mCommunities &&
           a.mTrustLevel == b.mTrustLevel && a.mChallenge == b.mChallenge && a.mUserId == b.mUserId;
}

bool SameAccounts(std::vector<AuthAccount> a, std::vector<AuthAccount> b)
{
    const auto byName = [](const AuthAccount& x, const AuthAccount& y) { return x.mUserName < y.mUserName; };
    std::sort(a.begin(), a.end(), byName);
    std::sort(b.begin(), b.end(), byName);
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), SameAccount);
}

// The file as qor local reads it at start-up.
void RawFile(const std::string& file)
{
    const std::string path = FreshPath();
    std::ofstream(path, std::ios::binary | std::ios::trunc) << file;
    LocalState state;
    std::string error;
    if (!state.Open(path, error))
    {
        FUZZ_CHECK(!error.empty() && !state.IsOpen());
        std::ifstream in(path, std::ios::binary);
        FUZZ_CHECK(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()) == file);
        return;
    }
    state.GetMeta("authority");
    const std::vector<AuthAccount> accounts = state.GetAccounts();
    static const SmartPtr<LocalAuthority> authority = new LocalAuthority();
    AuthServer server(authority);
    for (const AuthAccount& a : accounts)
        server.AddAccount(a);
    std::vector<DirEngineRecord> records;
    if (!state.LoadTree(records))
    {
        FUZZ_CHECK(!state.GetLastError().empty());
        return;
    }
    DirServerEngine engine;
    engine.SetClock([] { return 1700000000u; });
    engine.Import(records);
    engine.Export();

    if (!state.SaveTree(records))
    {
        FUZZ_CHECK(!state.GetLastError().empty());
        return;
    }
    std::vector<DirEngineRecord> again;
    FUZZ_CHECK(state.LoadTree(again));
    FUZZ_CHECK(SameTree(records, again));
    FUZZ_CHECK(SameAccounts(accounts, state.GetAccounts()));
    state.Close();
    FUZZ_CHECK(state.Open(path, error));
    FUZZ_CHECK(state.LoadTree(again) && SameTree(records, again));
}

// Reads fields of an operation; past the end every field is empty or zero.
class Fields
{
public:
    Fields(const uint8_t* data, size_t size) : mData(data), mSize(size), mPos(0) {}
    bool AtEnd() const { return mPos >= mSize; }
    uint8_t Byte() { return mPos < mSize ? mData[mPos++] : 0; }
    uint32_t Long()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<uint32_t>(Byte()) << (8 * i);
        return v;
    }
    std::string Bytes()
    {
        const size_t wanted = Byte();
        const size_t n = std::min(wanted, mSize - std::min(mPos, mSize));
        std::string s(reinterpret_cast<const char*>(mData + mPos), n);
        mPos += n;
        return s;
    }
    std::u16string Text()
    {
        const std::string b = Bytes();
        std::u16string s;
        for (size_t i = 0; i + 1 < b.size(); i += 2)
            s += static_cast<char16_t>(static_cast<uint8_t>(b[i]) | static_cast<uint8_t>(b[i + 1]) << 8);
        return s;
    }

private:
    const uint8_t* mData;
    size_t mSize;
    size_t mPos;
};

DirEngineRecord Record(Fields& f)
{
    DirEngineRecord r;
    r.mPath = f.Text();
    r.mService = (f.Byte() & 1) != 0;
    r.mName = f.Text();
    r.mDisplayName = f.Text();
    r.mAddress = f.Bytes();
    for (uint8_t n = f.Byte() % 4; n > 0; --n)
    {
        std::string key = f.Bytes();
        r.mDataObjects.emplace_back(std::move(key), f.Bytes());
    }
    for (uint8_t n = f.Byte() % 3; n > 0; --n)
    {
        DirPermission p;
        p.mACLType = f.Byte();
        p.mValue1 = f.Long();
        p.mValue2 = f.Long();
        p.mValue3 = static_cast<uint16_t>(f.Long());
        r.mPermissions.push_back(p);
    }
    r.mExpiry = f.Long();
    r.mCreated = f.Long();
    r.mChanges = f.Long();
    return r;
}

struct Model
{
    std::map<std::u16string, AuthAccount> mAccounts;
    std::map<std::string, std::string> mMeta;
    std::vector<DirEngineRecord> mTree;

    void Check(LocalState& state) const
    {
        std::vector<AuthAccount> accounts;
        for (const auto& a : mAccounts)
            accounts.push_back(a.second);
        FUZZ_CHECK(SameAccounts(accounts, state.GetAccounts()));
        for (const auto& m : mMeta)
            FUZZ_CHECK(state.GetMeta(m.first, "\x01missing") == m.second);
        std::vector<DirEngineRecord> tree;
        FUZZ_CHECK(state.LoadTree(tree));
        FUZZ_CHECK(SameTree(mTree, tree));
    }
};

void Operations(const uint8_t* data, size_t size)
{
    const std::string path = FreshPath();
    LocalState state;
    std::string error;
    FUZZ_CHECK(state.Open(path, error));
    Model model;
    Fields f(data, size);
    // Every step checks the whole store: a bounded number keeps runs quick.
    for (int step = 0; step < 64 && !f.AtEnd(); ++step)
    {
        switch (f.Byte() % 5)
        {
        case 0:
        {
            AuthAccount a;
            a.mUserName = f.Text();
            a.mPassword = f.Text();
            for (uint8_t n = f.Byte() % 4; n > 0; --n)
                a.mCommunities.push_back(f.Text());
            const uint8_t low = f.Byte();
            a.mTrustLevel = static_cast<uint16_t>(low | f.Byte() << 8);
            a.mChallenge = (f.Byte() & 1) != 0;
            a.mUserId = f.Long();
            if (state.PutAccount(a))
                model.mAccounts[a.mUserName] = a;
            else
                FUZZ_CHECK(!state.GetLastError().empty());
            break;
        }
        case 1:
        {
            const std::u16string name = f.Text();
            const bool removed = state.RemoveAccount(name);
            FUZZ_CHECK(!state.GetLastError().empty() || removed);
            FUZZ_CHECK(!removed || model.mAccounts.erase(name) == 1);
            break;
        }
        case 2:
        {
            const std::string key = f.Bytes();
            const std::string value = f.Bytes();
            if (state.SetMeta(key, value))
                model.mMeta[key] = value;
            else
                FUZZ_CHECK(!state.GetLastError().empty());
            break;
        }
        case 3:
        {
            std::vector<DirEngineRecord> tree;
            for (uint8_t n = f.Byte() % 5; n > 0; --n)
                tree.push_back(Record(f));
            if (state.SaveTree(tree))
                model.mTree = tree;
            else
                FUZZ_CHECK(!state.GetLastError().empty());
            break;
        }
        default:
            state.Close();
            FUZZ_CHECK(state.Open(path, error));
            break;
        }
        model.Check(state);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 200000)
        return 0;
    if (data[0] & 1)
        Operations(data + 1, size - 1);
    else
        RawFile(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    return 0;
}
