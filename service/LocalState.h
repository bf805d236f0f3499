// LocalState: the state of the local service kept in one SQLite database, so
// that a restart finds the accounts, the authority's key setting and the
// directory tree as they were. The database runs in WAL mode with
// synchronous=FULL: a change is durable when its call returns, and a process
// killed at any point leaves a database that opens with every change that was
// committed before.
//
// Tables: "meta" (key, value), "accounts" (one row per user) and "entities"
// (the directory tree, one row per entity in Export order). The tree is
// written whole in one transaction per change (the local service holds small
// trees).
//
// Thread safety: one connection guarded by the object's lock; every method may
// be called from any thread.
#ifndef QORAPI_SERVICE_LOCALSTATE_H
#define QORAPI_SERVICE_LOCALSTATE_H

#include "service/AuthServer.h"
#include "service/DirServerEngine.h"

#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

namespace QORAPI {

class LocalState
{
public:
    LocalState();
    ~LocalState();
    LocalState(const LocalState&) = delete;
    LocalState& operator=(const LocalState&) = delete;

    // Opens (creating when missing) the database at path and its tables.
    // False with a message in error, leaving the file untouched, when it is
    // not a database, is damaged, or holds tables of our names with other
    // columns.
    bool Open(const std::string& path, std::string& error);
    void Close();
    bool IsOpen() const;
    const std::string& GetLastError() const { return mError; }

    // A value of the meta table; fallback when missing.
    std::string GetMeta(const std::string& key, const std::string& fallback = std::string());
    bool SetMeta(const std::string& key, const std::string& value);

    // Adds or replaces the account of the same user name.
    bool PutAccount(const AuthAccount& account);
    // False when there was no such account (or on a failure: see GetLastError).
    bool RemoveAccount(const std::u16string& userName);
    std::vector<AuthAccount> GetAccounts();

    // Replaces the stored tree by records in one transaction.
    bool SaveTree(const std::vector<DirEngineRecord>& records);
    bool LoadTree(std::vector<DirEngineRecord>& records);

private:
    // Refuses a file that quick_check finds damaged, or whose tables of our
    // names lack our columns. mLock held.
    bool CheckFile();
    bool Exec(const char* sql);
    bool Fail(const char* what);

    mutable std::mutex mLock;   // guards the connection and mError
    sqlite3* mDb;
    std::string mError;
};

} // namespace QORAPI

#endif
