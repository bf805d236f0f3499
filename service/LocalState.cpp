#include "service/LocalState.h"

#include "common/StringUtil.h"

#include <sqlite3.h>

#include <cstring>

namespace QORAPI {

namespace {

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS accounts (user TEXT PRIMARY KEY, password TEXT NOT NULL,"
    " communities TEXT NOT NULL, trust INTEGER NOT NULL, challenge INTEGER NOT NULL, user_id INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS entities (seq INTEGER PRIMARY KEY, path BLOB NOT NULL, service INTEGER NOT NULL,"
    " name BLOB NOT NULL, display BLOB NOT NULL, address BLOB NOT NULL, data BLOB NOT NULL, perms BLOB NOT NULL,"
    " expiry INTEGER NOT NULL, created INTEGER NOT NULL, changes INTEGER NOT NULL);";

// A prepared statement finalized on scope exit.
class Statement
{
public:
    Statement(sqlite3* db, const char* sql) : mStmt(nullptr) { sqlite3_prepare_v2(db, sql, -1, &mStmt, nullptr); }
    ~Statement() { sqlite3_finalize(mStmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* Get() const { return mStmt; }
    bool Ok() const { return mStmt != nullptr; }

private:
    sqlite3_stmt* mStmt;
};

std::string ToUtf8(const std::u16string& s)
{
    std::string out;
    Utf16ToUtf8(s, out);
    return out;
}

// A text column with every byte it holds (a NUL inside included).
std::string ColumnText(sqlite3_stmt* stmt, int index)
{
    const unsigned char* text = sqlite3_column_text(stmt, index);
    const int n = sqlite3_column_bytes(stmt, index);
    return text && n > 0 ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(n)) : std::string();
}

std::u16string FromUtf8(const std::string& text)
{
    std::u16string out;
    Utf8ToUtf16(text, out);
    return out;
}

// Texts are bound with their length, so that a NUL inside is kept.
void BindText(sqlite3_stmt* stmt, int index, const std::string& text)
{
    sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// Account texts are stored as UTF-8: one that has no UTF-8 form (a lone
// surrogate) would come back as another text, so it is refused. Communities
// are stored comma-separated, so a community may neither be empty nor hold a
// comma.
const char* AccountTextProblem(const AuthAccount& account)
{
    std::string ignored;
    if (!Utf16ToUtf8(account.mUserName, ignored) || !Utf16ToUtf8(account.mPassword, ignored))
        return "user name or password is not valid UTF-16";
    for (const std::u16string& c : account.mCommunities)
    {
        if (c.empty() || c.find(u',') != std::u16string::npos)
            return "a community name is empty or holds a comma";
        if (!Utf16ToUtf8(c, ignored))
            return "a community name is not valid UTF-16";
    }
    return nullptr;
}

// UTF-16 texts of the tree are stored as their code units (little-endian), so
// that every name comes back exactly as it was.
std::string Units(const std::u16string& s)
{
    std::string out;
    out.reserve(s.size() * 2);
    for (char16_t c : s)
    {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return out;
}

std::u16string FromUnits(const std::string& b)
{
    std::u16string out;
    for (size_t i = 0; i + 1 < b.size(); i += 2)
        out += static_cast<char16_t>(static_cast<uint8_t>(b[i]) | (static_cast<uint8_t>(b[i + 1]) << 8));
    return out;
}

void PutU32(std::string& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

bool GetU32(const std::string& in, size_t& at, uint32_t& v)
{
    if (at > in.size() || in.size() - at < 4)
        return false;
    v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(static_cast<uint8_t>(in[at + i])) << (8 * i);
    at += 4;
    return true;
}

bool GetBytes(const std::string& in, size_t& at, std::string& out)
{
    uint32_t n = 0;
    if (!GetU32(in, at, n) || in.size() - at < n)
        return false;
    out.assign(in, at, n);
    at += n;
    return true;
}

std::string PackObjects(const std::vector<std::pair<std::string, std::string>>& objects)
{
    std::string out;
    for (const auto& o : objects)
    {
        PutU32(out, static_cast<uint32_t>(o.first.size()));
        out += o.first;
        PutU32(out, static_cast<uint32_t>(o.second.size()));
        out += o.second;
    }
    return out;
}

bool UnpackObjects(const std::string& in, std::vector<std::pair<std::string, std::string>>& out)
{
    size_t at = 0;
    while (at < in.size())
    {
        std::pair<std::string, std::string> o;
        if (!GetBytes(in, at, o.first) || !GetBytes(in, at, o.second))
            return false;
        out.push_back(std::move(o));
    }
    return true;
}

std::string PackPermissions(const std::vector<DirPermission>& perms)
{
    std::string out;
    for (const DirPermission& p : perms)
    {
        PutU32(out, p.mACLType);
        PutU32(out, p.mValue1);
        PutU32(out, p.mValue2);
        PutU32(out, p.mValue3);
    }
    return out;
}

bool UnpackPermissions(const std::string& in, std::vector<DirPermission>& out)
{
    if (in.size() % 16 != 0)
        return false;
    size_t at = 0;
    while (at < in.size())
    {
        uint32_t v[4];
        for (uint32_t& x : v)
            GetU32(in, at, x);
        DirPermission p;
        p.mACLType = static_cast<uint8_t>(v[0]);
        p.mValue1 = v[1];
        p.mValue2 = v[2];
        p.mValue3 = static_cast<uint16_t>(v[3]);
        out.push_back(p);
    }
    return true;
}

void BindBlob(sqlite3_stmt* stmt, int index, const std::string& bytes)
{
    sqlite3_bind_blob(stmt, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

std::string ColumnBlob(sqlite3_stmt* stmt, int index)
{
    const void* data = sqlite3_column_blob(stmt, index);
    const int n = sqlite3_column_bytes(stmt, index);
    return data && n > 0 ? std::string(static_cast<const char*>(data), static_cast<size_t>(n)) : std::string();
}

} // namespace

LocalState::LocalState() : mDb(nullptr) {}

LocalState::~LocalState() { Close(); }

bool LocalState::Open(const std::string& path, std::string& error)
{
    std::lock_guard<std::mutex> lock(mLock);
    if (mDb)
    {
        sqlite3_close(mDb);
        mDb = nullptr;
    }
    if (sqlite3_open_v2(path.c_str(), &mDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK)
    {
        error = std::string("cannot open ") + path + ": " + (mDb ? sqlite3_errmsg(mDb) : "out of memory");
        sqlite3_close(mDb);
        mDb = nullptr;
        return false;
    }
    sqlite3_busy_timeout(mDb, 5000);
    // A damaged or foreign file is refused before anything is written to it.
    if (!CheckFile() || !Exec("PRAGMA journal_mode=WAL;") || !Exec("PRAGMA synchronous=FULL;") || !Exec(kSchema))
    {
        error = path + ": " + mError;
        sqlite3_close(mDb);
        mDb = nullptr;
        return false;
    }
    return true;
}

bool LocalState::CheckFile()
{
    // quick_check answers with rows: the single row "ok", or the problems.
    {
        Statement check(mDb, "PRAGMA quick_check;");
        if (!check.Ok())
            return Fail("check");
        std::string problems;
        int rc;
        while ((rc = sqlite3_step(check.Get())) == SQLITE_ROW)
        {
            const std::string row = ColumnText(check.Get(), 0);
            if (row != "ok" && problems.size() < 200)
                problems += (problems.empty() ? "" : "; ") + row;
        }
        if (rc != SQLITE_DONE)
            return Fail("check");
        if (!problems.empty())
        {
            mError = "damaged: " + problems;
            return false;
        }
    }
    // A table of ours that exists must have the columns we read and write.
    static const char* const kTables[][2] = {
        {"meta", "SELECT key, value FROM meta LIMIT 0;"},
        {"accounts", "SELECT user, password, communities, trust, challenge, user_id FROM accounts LIMIT 0;"},
        {"entities", "SELECT seq, path, service, name, display, address, data, perms, expiry, created, changes"
                     " FROM entities LIMIT 0;"},
    };
    for (const auto& table : kTables)
    {
        Statement exists(mDb, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1;");
        if (!exists.Ok())
            return Fail("check");
        sqlite3_bind_text(exists.Get(), 1, table[0], -1, SQLITE_STATIC);
        const int rc = sqlite3_step(exists.Get());
        if (rc == SQLITE_DONE)
            continue;
        if (rc != SQLITE_ROW)
            return Fail("check");
        Statement columns(mDb, table[1]);
        if (!columns.Ok())
        {
            mError = std::string("not a state file: table ") + table[0] + ": " + sqlite3_errmsg(mDb);
            return false;
        }
    }
    return true;
}

void LocalState::Close()
{
    std::lock_guard<std::mutex> lock(mLock);
    if (mDb)
        sqlite3_close(mDb);
    mDb = nullptr;
}

bool LocalState::IsOpen() const
{
    std::lock_guard<std::mutex> lock(mLock);
    return mDb != nullptr;
}

bool LocalState::Exec(const char* sql)
{
    char* message = nullptr;
    if (sqlite3_exec(mDb, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    mError = message ? message : sqlite3_errmsg(mDb);
    sqlite3_free(message);
    return false;
}

bool LocalState::Fail(const char* what)
{
    mError = std::string(what) + ": " + (mDb ? sqlite3_errmsg(mDb) : "not open");
    return false;
}

std::string LocalState::GetMeta(const std::string& key, const std::string& fallback)
{
    std::lock_guard<std::mutex> lock(mLock);
    if (!mDb)
        return fallback;
    Statement st(mDb, "SELECT value FROM meta WHERE key = ?1;");
    if (!st.Ok())
        return fallback;
    BindText(st.Get(), 1, key);
    if (sqlite3_step(st.Get()) != SQLITE_ROW || sqlite3_column_type(st.Get(), 0) == SQLITE_NULL)
        return fallback;
    return ColumnText(st.Get(), 0);
}

bool LocalState::SetMeta(const std::string& key, const std::string& value)
{
    std::lock_guard<std::mutex> lock(mLock);
    if (!mDb)
        return Fail("set meta");
    Statement st(mDb, "INSERT OR REPLACE INTO meta (key, value) VALUES (?1, ?2);");
    if (!st.Ok())
        return Fail("set meta");
    BindText(st.Get(), 1, key);
    BindText(st.Get(), 2, value);
    return sqlite3_step(st.Get()) == SQLITE_DONE || Fail("set meta");
}

bool LocalState::PutAccount(const AuthAccount& account)
{
    std::lock_guard<std::mutex> lock(mLock);
    if (!mDb)
        return Fail("put account");
    if (const char* problem = AccountTextProblem(account))
    {
        mError = std::string("put account: ") + problem;
        return false;
    }
    std::string communities;
    for (const std::u16string& c : account.mCommunities)
        communities += (communities.empty() ? "" : ",") + ToUtf8(c);
    Statement st(mDb, "INSERT OR REPLACE INTO accounts (user, password, communities, trust, challenge, user_id)"
                      " VALUES (?1, ?2, ?3, ?4, ?5, ?6);");
    if (!st.Ok())
        return Fail("put account");
    const std::string user = ToUtf8(account.mUserName);
    const std::string password = ToUtf8(account.mPassword);
    BindText(st.Get(), 1, user);
    BindText(st.Get(), 2, password);
    BindText(st.Get(), 3, communities);
    sqlite3_bind_int(st.Get(), 4, account.mTrustLevel);
    sqlite3_bind_int(st.Get(), 5, account.mChallenge ? 1 : 0);
    sqlite3_bind_int64(st.Get(), 6, account.mUserId);
    return sqlite3_step(st.Get()) == SQLITE_DONE || Fail("put account");
}

bool LocalState::RemoveAccount(const std::u16string& userName)
{
    std::lock_guard<std::mutex> lock(mLock);
    if (!mDb)
        return Fail("remove account");
    std::string user;
    // A name without a UTF-8 form names no stored account (and must not be
    // taken for the one its replacement characters spell).
    if (!Utf16ToUtf8(userName, user))
    {
        mError = "no such account";
        return false;
    }
    Statement st(mDb, "DELETE FROM accounts WHERE user = ?1;");
    if (!st.Ok())
        return Fail("remove account");
    BindText(st.Get(), 1, user);
    if (sqlite3_step(st.Get()) != SQLITE_DONE)
        return Fail("remove account");
    mError = "no such account";
    return sqlite3_changes(mDb) > 0;
}

std::vector<AuthAccount> LocalState::GetAccounts()
{
    std::lock_guard<std::mutex> lock(mLock);
    std::vector<AuthAccount> out;
    if (!mDb)
        return out;
    Statement st(mDb, "SELECT user, password, communities, trust, challenge, user_id FROM accounts ORDER BY user;");
    while (st.Ok() && sqlite3_step(st.Get()) == SQLITE_ROW)
    {
        AuthAccount a;
        a.mUserName = FromUtf8(ColumnText(st.Get(), 0));
        a.mPassword = FromUtf8(ColumnText(st.Get(), 1));
        const std::u16string communities = FromUtf8(ColumnText(st.Get(), 2));
        size_t start = 0;
        while (start <= communities.size())
        {
            size_t comma = communities.find(u',', start);
            if (comma == std::u16string::npos)
                comma = communities.size();
            if (comma > start)
                a.mCommunities.push_back(communities.substr(start, comma - start));
            start = comma + 1;
        }
        a.mTrustLevel = static_cast<uint16_t>(sqlite3_column_int(st.Get(), 3));
        a.mChallenge = sqlite3_column_int(st.Get(), 4) != 0;
        a.mUserId = static_cast<uint32_t>(sqlite3_column_int64(st.Get(), 5));
        out.push_back(std::move(a));
    }
    return out;
}

bool LocalState::SaveTree(const std::vector<DirEngineRecord>& records)
{
    std::lock_guard<std::mutex> lock(mLock);
    if (!mDb)
        return Fail("save tree");
    if (!Exec("BEGIN IMMEDIATE;"))
        return false;
    bool ok = Exec("DELETE FROM entities;");
    {
        Statement st(mDb, "INSERT INTO entities (seq, path, service, name, display, address, data, perms, expiry,"
                          " created, changes) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11);");
        ok = ok && st.Ok();
        int64_t seq = 0;
        for (const DirEngineRecord& r : records)
        {
            if (!ok)
                break;
            sqlite3_reset(st.Get());
            sqlite3_bind_int64(st.Get(), 1, seq++);
            BindBlob(st.Get(), 2, Units(r.mPath));
            sqlite3_bind_int(st.Get(), 3, r.mService ? 1 : 0);
            BindBlob(st.Get(), 4, Units(r.mName));
            BindBlob(st.Get(), 5, Units(r.mDisplayName));
            BindBlob(st.Get(), 6, r.mAddress);
            BindBlob(st.Get(), 7, PackObjects(r.mDataObjects));
            BindBlob(st.Get(), 8, PackPermissions(r.mPermissions));
            sqlite3_bind_int64(st.Get(), 9, r.mExpiry);
            sqlite3_bind_int64(st.Get(), 10, r.mCreated);
            sqlite3_bind_int64(st.Get(), 11, r.mChanges);
            ok = sqlite3_step(st.Get()) == SQLITE_DONE || Fail("save tree");
        }
    }
    if (ok && Exec("COMMIT;"))
        return true;
    const std::string error = mError;
    Exec("ROLLBACK;");
    mError = error;
    return false;
}

bool LocalState::LoadTree(std::vector<DirEngineRecord>& records)
{
    std::lock_guard<std::mutex> lock(mLock);
    records.clear();
    if (!mDb)
        return Fail("load tree");
    Statement st(mDb, "SELECT path, service, name, display, address, data, perms, expiry, created, changes"
                      " FROM entities ORDER BY seq;");
    if (!st.Ok())
        return Fail("load tree");
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(st.Get())) == SQLITE_ROW)
    {
        DirEngineRecord r;
        r.mPath = FromUnits(ColumnBlob(st.Get(), 0));
        r.mService = sqlite3_column_int(st.Get(), 1) != 0;
        r.mName = FromUnits(ColumnBlob(st.Get(), 2));
        r.mDisplayName = FromUnits(ColumnBlob(st.Get(), 3));
        r.mAddress = ColumnBlob(st.Get(), 4);
        r.mExpiry = static_cast<uint32_t>(sqlite3_column_int64(st.Get(), 7));
        r.mCreated = static_cast<uint32_t>(sqlite3_column_int64(st.Get(), 8));
        r.mChanges = static_cast<uint32_t>(sqlite3_column_int64(st.Get(), 9));
        // A row whose packed fields do not parse is skipped, not trusted.
        if (!UnpackObjects(ColumnBlob(st.Get(), 5), r.mDataObjects) ||
            !UnpackPermissions(ColumnBlob(st.Get(), 6), r.mPermissions))
            continue;
        records.push_back(std::move(r));
    }
    return rc == SQLITE_DONE || Fail("load tree");
}

} // namespace QORAPI
