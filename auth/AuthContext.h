// AuthContext: a client's long-lived login state. It holds who the user is
// (name, password, communities), the data that travels once with the next
// login, the authentication servers to ask, the credentials of the last login
// (an AuthPeerData), the file of remembered login keys, the cache of encrypted
// sessions per server, and the certificate renewal: blocking (Refresh),
// asynchronous with any number of waiters (RefreshAsync), and automatic, by a
// timer armed before the certificate expires.
//
// The context also owns the process-wide verifier key that every public-key
// block from an authentication server must be signed by: a built-in key,
// replaced by the file "_qorkver.pub" in the core's file directory when that
// file exists and loads (tried once per process).
//
// Thread safety: shared by many operations on many threads; every method
// takes the context's lock (a recursive one: completion handlers that start a
// renewal nest it). A session taken from the cache belongs to the one request
// that took it until that request stores it back. While automatic renewal is
// on, the armed timer and the running renewal hold a reference to the
// context; SetAutoRefresh(false), CancelRefresh or the core's shutdown
// release it.
#ifndef QORAPI_AUTH_AUTHCONTEXT_H
#define QORAPI_AUTH_AUTHCONTEXT_H

#include "QORCrypt/ElGamal.h"
#include "QORSocket/InetAddress.h"
#include "auth/AuthPeerData.h"
#include "auth/AuthSession.h"
#include "auth/ServerContext.h"
#include "common/AsyncOp.h"
#include "common/ByteBuffer.h"
#include "common/CriticalSection.h"
#include "common/RefCount.h"
#include "common/WriteBuffer.h"

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <string>
#include <vector>

namespace QORAPI {

class GetCertOp;

// The waiter handed to RefreshAsync: a bare operation that stays pending until
// the renewal ends, then receives the new peer data (null when the renewal
// produced none) and completes with the renewal's status.
class LightGetCertOp : public AsyncOp
{
public:
    LightGetCertOp();
    ~LightGetCertOp() override;

    SmartPtr<AuthPeerData> GetPeerData() const;
    void SetPeerData(const SmartPtr<AuthPeerData>& peerData);

private:
    SmartPtr<AuthPeerData> mPeerData;   // guarded by mCrit
};

typedef SmartPtr<LightGetCertOp> LightGetCertOpPtr;

class AuthContext : public RefCount
{
public:
    // Sessions and cache entries older than this many seconds are dropped.
    static const uint32_t SessionMaxAgeSeconds = 300;
    // The key store holds at most this many entries (its count is one byte).
    static const size_t MaxLoginKeys = 255;
    // Automatic renewal: how long before expiry, the shortest delay, and the
    // delay when there is nothing valid to renew.
    static const uint32_t RenewAheadSeconds = 120;
    static const uint32_t RenewMinDelaySeconds = 120;
    static const uint32_t RenewDefaultDelaySeconds = 300;
    // The time limit of an asynchronous renewal.
    static const uint32_t RefreshAsyncTimeoutMs = 60000;

    // One remembered login key: expiry in server seconds (0: pending).
    struct LoginKey
    {
        int32_t mExpiry = 0;
        uint8_t mKey[8] = {};
    };
    typedef std::list<LoginKey> LoginKeyList;

    AuthContext();
    // Also adds the community (with an empty record).
    AuthContext(const std::u16string& userName, const std::u16string& communityName, const std::u16string& password);
    ~AuthContext() override;
    AuthContext(const AuthContext&) = delete;
    AuthContext& operator=(const AuthContext&) = delete;

    // Identity and login data; none contacts a server.
    void SetUserName(const std::u16string& userName);
    void SetPassword(const std::u16string& password);
    std::u16string GetUserName() const;
    std::u16string GetPassword() const;
    void SetKeyStorePath(const std::string& path);
    std::string GetKeyStorePath() const;

    void AddCommunity(const std::u16string& name);
    // Makes the name the only community, keeping its record if it existed.
    void SetCommunity(const std::u16string& name);
    void RemoveCommunity(const std::u16string& name);
    void SetCommunityData(const std::u16string& name, const SmartPtr<ByteBuffer>& data);
    std::vector<std::u16string> GetCommunities() const;

    void SetLoginDataItem(const std::u16string& name, const SmartPtr<ByteBuffer>& data);
    void ClearLoginDataItems();
    void SetLoginDataBuffer(const std::u16string& name, const SmartPtr<ByteBuffer>& buffer);
    void ClearLoginDataBuffers();
    // Both of the above; done after every successful login.
    void ClearLoginData();

    void AddLoginAttribute(const std::u16string& name);
    void SetLoginAttribute(const std::u16string& name, const std::u16string& value);
    void ClearLoginAttributes();

    // The authentication servers.
    void SetServerContext(const SmartPtr<ServerContext>& context);
    SmartPtr<ServerContext> GetServerContext() const;
    bool AddAddress(const InetAddress& address);
    bool RemoveAddress(const InetAddress& address);
    void ClearAddresses();
    bool AddAddressesFromDir(const DirEntityList& entities, const std::u16string& serviceName);
    bool AddAddressesFromDirMap(const DirEntityMap& map, const std::u16string& path,
                                const std::u16string& serviceName);

    // Credentials. SetPeerData also empties the session cache: cached
    // sessions belong to the old certificate.
    SmartPtr<AuthPeerData> GetPeerData() const;
    void SetPeerData(const SmartPtr<AuthPeerData>& peerData);
    bool IsCert2Expired(int32_t seconds) const;

    // Blocking renewal with the given limit; on success reschedules the
    // automatic renewal. Returns the renewal's status.
    WSStatus Refresh(uint32_t timeoutMs = InfiniteMs);
    // Starts a renewal unless one runs; the waiter (optional) stays pending
    // until it ends (or until its own limit, InfiniteMs for none) and then
    // completes with the renewal's status. Returns the start status.
    WSStatus RefreshAsync(const SmartPtr<LightGetCertOp>& waiter = nullptr, uint32_t timeoutMs = InfiniteMs);
    // Kills the running renewal (WS_Killed) and cancels the timer; a killed
    // renewal arms no new one.
    void CancelRefresh();
    void SetAutoRefresh(bool autoRefresh);
    bool GetAutoRefresh() const;
    WSStatus GetLastRefreshStatus() const;
    // The armed renewal timer (null when none); for inspection.
    SmartPtr<AsyncOp> GetRefreshTimer() const;
    // The running asynchronous renewal (null when none).
    SmartPtr<GetCertOp> GetCurrentRefresh() const;

    // Sessions: appends the session to the server's queue and prunes up to
    // five old entries; TakeSession returns the first session used less than
    // five minutes ago (older ones are discarded), null when there is none.
    void StoreSession(const InetAddress& address, const SmartPtr<AuthSession>& session);
    SmartPtr<AuthSession> TakeSession(const InetAddress& address);
    size_t GetSessionCount(const InetAddress& address) const;
    void ClearSessions();

    // The login key store. Load and save report whether the file could be
    // opened; the file is replaced atomically.
    bool LoadKeyStore();
    bool SaveKeyStore();
    void AddPendingLoginKey(const void* sixteenBytes);
    void RemovePendingLoginKey(const void* sixteenBytes);
    void CommitLoginKeys(uint32_t issueTime, uint32_t lifespan);
    LoginKeyList GetLoginKeys() const;

    // Appends the login data block sent with a login request.
    void WriteLoginData(WriteBuffer& out) const;

    // The process-wide verifier key (a copy). LoadVerifierKeyFile tries the
    // key file of the core's file directory; the built-in key stays when it
    // cannot be opened or does not load.
    static ElGamal GetVerifierKey();
    // The key itself, without a copy; not while SetVerifierKey or
    // ResetVerifierKey may run.
    static const ElGamal& GetVerifierKeyRef();
    static bool LoadVerifierKeyFile();
    // Tests: replace the key, or return to the built-in one and forget that
    // the file was tried.
    static void SetVerifierKey(const ElGamal& key);
    static void ResetVerifierKey();
    // The built-in verifier public key (DER).
    static SmartPtr<ByteBuffer> GetBuiltInVerifierKey();

private:
    struct SessionEntry
    {
        uint32_t mTime = 0;                            // last store or take, seconds
        std::deque<SmartPtr<AuthSession>> mSessions;
    };
    typedef std::map<InetAddress, SessionEntry> SessionMap;

    struct CommunityRecord
    {
        SmartPtr<ByteBuffer> mData;
        bool mHasData = false;
    };

    void Init();
    void Reschedule(bool force);
    void CancelTimer();
    static void OnTimerFired(SmartPtr<AsyncOp> op, SmartPtr<AuthContext> context);
    static void OnRenewalDone(SmartPtr<AsyncOp> op, SmartPtr<AuthContext> context);

    mutable CriticalSection mCrit;
    std::vector<SmartPtr<LightGetCertOp>> mWaiters;
    SmartPtr<GetCertOp> mCurrentRefresh;
    SmartPtr<AsyncOp> mRefreshTimer;
    WSStatus mLastRefreshStatus;
    bool mAutoRefresh;
    SessionMap mSessions;
    SessionMap::iterator mPruneCursor;
    SmartPtr<AuthPeerData> mPeerData;
    std::u16string mUserName;
    std::u16string mPassword;
    std::string mKeyStorePath;
    std::map<std::u16string, CommunityRecord> mCommunities;
    LoginKeyList mLoginKeys;
    std::map<std::u16string, SmartPtr<ByteBuffer>> mLoginDataItems;
    std::map<std::u16string, SmartPtr<ByteBuffer>> mLoginDataBuffers;
    std::map<std::u16string, std::u16string> mLoginAttributes;
    SmartPtr<ServerContext> mServerContext;
};

typedef SmartPtr<AuthContext> AuthContextPtr;

} // namespace QORAPI

#endif
