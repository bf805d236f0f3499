// ServerContext: the shared, ordered list of equivalent servers of one service.
// Requests copy it at the start of each run and try the servers in order;
// servers that fail are moved to the end, so later runs start with servers
// that worked.
//
// The list is put into a random order once, on the first copy after it was
// filled (unless shuffling is turned off for a list whose order already means
// something, such as one sorted by ping time).
//
// Thread safety: shared by many operations on many threads; every method
// takes the context's lock.
#ifndef QORAPI_AUTH_SERVERCONTEXT_H
#define QORAPI_AUTH_SERVERCONTEXT_H

#include "QORSocket/InetAddress.h"
#include "common/CriticalSection.h"
#include "common/RefCount.h"
#include "dir/DirEntity.h"
#include "dir/GetEntityRequest.h"

#include <map>
#include <string>
#include <vector>

namespace QORAPI {

typedef std::vector<InetAddress> InetAddressList;

class ServerContext : public RefCount
{
public:
    ServerContext();
    ~ServerContext() override;

    // False when the address is invalid or already present.
    bool AddAddress(const InetAddress& address);
    bool RemoveAddress(const InetAddress& address);
    // Empties the list; the next copy shuffles again.
    void ClearAddresses();
    // Moves a present address to the end of the list; others change nothing.
    void NotifyFailed(const InetAddress& address);
    // The list in try order (shuffled first when due).
    void CopyAddresses(InetAddressList& out);
    size_t GetAddressCount() const;

    // Adds the network address of every service entity, of the given name when
    // serviceName is not empty; directories are skipped. True if any was added.
    bool AddAddressesFromDir(const DirEntityList& entities, const std::u16string& serviceName);
    // As AddAddressesFromDir for the entities listed under path; false when the
    // map has no such path.
    bool AddAddressesFromDirMap(const DirEntityMap& map, const std::u16string& path,
                                const std::u16string& serviceName);
    // ClearAddresses, then AddAddressesFromDir.
    bool SetAddressesFromDir(const DirEntityList& entities, const std::u16string& serviceName);

    void SetShuffle(bool shuffle);
    bool GetShuffle() const;

private:
    void RebuildIndex();
    bool AddLocked(const InetAddress& address);

    bool mShuffle;                               // guarded by mCrit
    bool mShuffled;                              // guarded by mCrit
    mutable CriticalSection mCrit;
    std::map<InetAddress, size_t> mIndex;        // address -> position; guarded by mCrit
    std::vector<InetAddress> mAddresses;         // try order; guarded by mCrit
};

typedef SmartPtr<ServerContext> ServerContextPtr;

} // namespace QORAPI

#endif
