// AuthServer: the local authentication server (service type 12), a TCP server
// on loopback that logs users in with the credentials of a LocalAuthority.
// Tests run it in-process (Start, GetPort, Stop); the program qor-authserver
// runs it standalone.
//
// It answers the public-key request with the authority's block, and a login
// with a fresh key pair, an AuthCertificate and an Auth2Certificate (lifetimes
// configurable), the private key and the secret confirmation sealed under the
// client's session key; before that it may send a challenge (per account, or
// for every login). Refusals carry the WS_AuthServ_ statuses; when more
// connections are open than allowed, logins get status -1. For fail-over tests
// the server can be told to misbehave (see AuthServerFault).
//
// Accounts come from AddAccount or from a text file, one per line:
//     user password community[,community...] trust [challenge]
// '#' starts a comment line. Community ids are given in order of first use
// (1, 2, ...).
//
// Clients that misbehave cannot lock others out: ClientLimits and the
// connection cap bound what one client holds and for how long (see ConnTable).
//
// Thread safety: Start, Stop and the setters are called by the owner's
// thread; accounts and counters may be read and changed from any thread.
#ifndef QORAPI_SERVICE_AUTHSERVER_H
#define QORAPI_SERVICE_AUTHSERVER_H

#include "common/ByteBuffer.h"
#include "common/WSStatus.h"
#include "service/ConnTable.h"
#include "service/LocalAuthority.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace QORAPI {

enum class AuthServerFault : int32_t {
    None = 0,
    Close,               // the connection is closed when a request arrives
    Silent,              // requests are read and never answered
    Garbage,             // every request gets a frame of random-looking bytes
    WrongHeader,         // replies carry service 99
    PubKeyRefused,       // the public-key reply has status -1
    ForeignBlock,        // the public-key block is signed by an unknown key
    ForeignBlockItem,    // the login reply carries such a block as an item
    ForeignCertificate,  // certificates are signed by an unknown key
    BadSecretConfirm,    // the secret confirmation holds a wrong session key
    MissingCertificate2, // the login reply has no Auth2Certificate
    NoCertificates,      // the login reply has no certificate at all
    NoPrivateKey,        // the login reply has no private key
    BadPrivateKey,       // the private key item does not load
    BadSealedPart,       // the sealed part of the login reply does not decrypt
    ShortChallenge,      // a challenge of 8 bytes
    Overloaded,          // every login gets status -1
};

struct AuthAccount
{
    std::u16string mUserName;
    std::u16string mPassword;
    std::vector<std::u16string> mCommunities;
    uint16_t mTrustLevel = 1;
    bool mChallenge = false;
    uint32_t mUserId = 0;   // given by AddAccount when 0
};

class AuthServer
{
public:
    static const uint16_t ServiceType = 12;

    // Uses the given authority (shared with the caller) or the default one.
    explicit AuthServer(SmartPtr<LocalAuthority> authority = nullptr);
    ~AuthServer();
    AuthServer(const AuthServer&) = delete;
    AuthServer& operator=(const AuthServer&) = delete;

    WSStatus Start(uint16_t port = 0);
    void Stop();
    bool IsRunning() const { return mRunning.load(); }
    uint16_t GetPort() const { return mPort; }
    const SmartPtr<LocalAuthority>& GetAuthority() const { return mAuthority; }

    // Adds or replaces an account; returns its user id.
    uint32_t AddAccount(const AuthAccount& account);
    // Parses the account lines; false with a message naming the bad line.
    bool LoadAccounts(const std::string& text, std::string& error);
    bool FindAccount(const std::u16string& userName, AuthAccount& out) const;
    // False when there was no such account.
    bool RemoveAccount(const std::u16string& userName);
    uint32_t GetCommunityId(const std::u16string& community) const;
    // The account every new server has, so that a user can log in at once.
    static AuthAccount DefaultAccount();

    void SetFault(AuthServerFault fault) { mFault.store(static_cast<int32_t>(fault)); }
    void SetChallengeAll(bool on) { mChallengeAll.store(on); }
    void SetLifetimes(uint32_t certSeconds, uint32_t cert2Seconds);
    // Shifts the issue time of certificates (a server clock ahead or behind).
    void SetClockShift(int32_t seconds) { mClockShift.store(seconds); }
    // More open connections than this: logins get status -1.
    void SetMaxConnections(uint32_t max) { mMaxConnections.store(max); }
    // Most connections held at once; at the cap a new client takes the place
    // of the connection quiet for longest, of those that never sent a whole
    // message if any. Set before Start, as the limits.
    void SetConnectionCap(uint32_t cap) { mConnectionCap = cap; }
    void SetClientLimits(const ClientLimits& limits) { mLimits = limits; }

    uint32_t GetLoginCount() const { return mLogins.load(); }
    uint32_t GetPubKeyRequestCount() const { return mPubKeyRequests.load(); }
    uint32_t GetChallengeCount() const { return mChallenges.load(); }
    uint32_t GetRequestCount() const { return mRequests.load(); }
    uint32_t GetConnectionCount() const { return mCounters.mAccepted.load(); }   // accepted in all
    uint32_t GetOpenConnectionCount() const { return mCounters.mOpen.load(); }
    // Connections closed by a limit, for a bad frame, or taken over at the cap.
    uint32_t GetDroppedCount() const { return mCounters.mDropped.load(); }
    uint32_t GetPeakHeldBytes() const { return mCounters.mPeakHeld.load(); }
    void ResetCounters();

    // Answers one request of a connection; exposed for the engine tests and
    // the benchmark. State is the connection's; replies are unframed.
    struct ConnState;
    // Deletes a connection state where its type is complete.
    struct ConnStateDeleter
    {
        void operator()(ConnState* state) const;
    };
    typedef std::unique_ptr<ConnState, ConnStateDeleter> ConnStatePtr;
    std::vector<SmartPtr<ByteBuffer>> HandleRequest(ConnState& state, const ByteBuffer* request, bool& close,
                                                    size_t openConnections);
    static ConnStatePtr NewConnState();

private:
    struct Impl;
    void Run();
    SmartPtr<ByteBuffer> PubKeyReply();
    SmartPtr<ByteBuffer> StatusReply(uint16_t type, int16_t status) const;
    SmartPtr<ByteBuffer> HandleLogin(ConnState& state, ReadBuffer& reader, size_t openConnections);
    // Judges the password and communities of the pending login.
    SmartPtr<ByteBuffer> Decide(ConnState& state);
    SmartPtr<ByteBuffer> LoginReply(ConnState& state);
    SmartPtr<ByteBuffer> Seal(ConnState& state, const void* data, uint32_t length) const;

    SmartPtr<LocalAuthority> mAuthority;
    mutable std::mutex mAccountLock;   // guards the accounts and communities
    std::map<std::u16string, AuthAccount> mAccounts;
    std::map<std::u16string, uint32_t> mCommunityIds;
    uint32_t mNextUserId;
    std::atomic<uint32_t> mLifetime;
    std::atomic<uint32_t> mLifetime2;
    std::atomic<int32_t> mClockShift;
    std::atomic<bool> mChallengeAll;
    std::atomic<uint32_t> mMaxConnections;

    std::unique_ptr<Impl> mImpl;
    std::thread mThread;
    std::atomic<bool> mRunning;
    std::atomic<bool> mStopRequested;
    std::atomic<int32_t> mFault;
    std::atomic<uint32_t> mLogins;
    std::atomic<uint32_t> mPubKeyRequests;
    std::atomic<uint32_t> mChallenges;
    std::atomic<uint32_t> mRequests;
    ConnCounters mCounters;
    uint32_t mConnectionCap;
    ClientLimits mLimits;
    uint16_t mPort;
};

} // namespace QORAPI

#endif
