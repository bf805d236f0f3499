// AuthContext: a client's authentication state shared by its requests. This
// holds the part the request loop uses: the cache of encrypted sessions per
// server, so that a second request to a server reuses its session instead of
// authenticating again. Credentials, certificate renewal and the key stores
// belong here too and join with peer authentication.
//
// Thread safety: shared by many operations on many threads; every method
// takes the context's lock. A session taken from the cache belongs to the one
// request that took it until that request stores it back.
#ifndef QORAPI_AUTH_AUTHCONTEXT_H
#define QORAPI_AUTH_AUTHCONTEXT_H

#include "QORSocket/InetAddress.h"
#include "auth/AuthSession.h"
#include "common/CriticalSection.h"
#include "common/RefCount.h"

#include <cstdint>
#include <deque>
#include <map>

namespace QORAPI {

class AuthContext : public RefCount
{
public:
    // Sessions and cache entries older than this many seconds are dropped.
    static const uint32_t SessionMaxAgeSeconds = 300;

    AuthContext();
    ~AuthContext() override;

    // Appends the session to the server's queue and prunes up to five old entries.
    void StoreSession(const InetAddress& address, const SmartPtr<AuthSession>& session);
    // The first session of the server's queue used less than five minutes ago
    // (older ones are discarded); null when there is none.
    SmartPtr<AuthSession> TakeSession(const InetAddress& address);
    // Number of sessions cached for the server.
    size_t GetSessionCount(const InetAddress& address) const;
    void ClearSessions();

private:
    struct SessionEntry
    {
        uint32_t mTime = 0;                            // last store or take, seconds
        std::deque<SmartPtr<AuthSession>> mSessions;
    };
    typedef std::map<InetAddress, SessionEntry> SessionMap;

    mutable CriticalSection mCrit;
    SessionMap mSessions;                              // guarded by mCrit
    SessionMap::iterator mPruneCursor;                 // guarded by mCrit
};

typedef SmartPtr<AuthContext> AuthContextPtr;

} // namespace QORAPI

#endif
