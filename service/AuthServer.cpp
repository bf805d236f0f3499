#include "service/AuthServer.h"

#include "QORCrypt/Blowfish.h"
#include "QORCrypt/Randomizer.h"
#include "QORSocket/AsyncSocket.h"
#include "common/ReadBuffer.h"
#include "common/StringUtil.h"
#include "common/WriteBuffer.h"
#include "platform/Socket.h"
#include "QORSocket/MsgFrame.h"
#include "service/ServerListener.h"

#include <cstring>
#include <sstream>

namespace QORAPI {

namespace {

const uint32_t kPollMs = 20;

enum : uint16_t {
    kPubKeyRequest = 1,
    kPubKeyReply = 2,
    kLoginRequest = 3,
    kChallenge = 4,
    kChallengeReply = 5,
    kLoginReply = 6,
};

struct AuthConn : public ServerConn
{
    AuthServer::ConnStatePtr mState = AuthServer::NewConnState();
};

void WriteHeader(WriteBuffer& out, uint16_t type, bool wrongHeader)
{
    out.AppendByte(5);
    out.AppendShort(wrongHeader ? 99 : AuthServer::ServiceType);
    out.AppendShort(type);
}

void AppendItem(WriteBuffer& out, uint8_t type, const void* data, uint32_t length)
{
    out.AppendByte(type);
    out.AppendShort(static_cast<uint16_t>(length));
    out.AppendBytes(data, length);
}

void AppendItem(WriteBuffer& out, uint8_t type, const SmartPtr<ByteBuffer>& data)
{
    AppendItem(out, type, ByteBuffer::DataOf(data), ByteBuffer::LengthOf(data));
}

} // namespace

struct AuthServer::ConnState
{
    Blowfish mSessionKey;
    bool mAwaitingChallengeReply = false;
    AuthAccount mAccount;
    uint32_t mCommunityId = 0;
    std::u16string mPassword;
    std::vector<std::u16string> mRequested;
    std::u16string mNewPassword;
};

struct AuthServer::Impl : public ConnHandler
{
    explicit Impl(AuthServer& owner) : mOwner(owner) {}
    std::unique_ptr<ServerConn> NewConn() override { return std::unique_ptr<ServerConn>(new AuthConn); }
    void OnMessage(ServerConn& conn, const SmartPtr<ByteBuffer>& request) override;

    AuthServer& mOwner;
    SmartPtr<AsyncSocket> mListener;
    std::unique_ptr<ConnTable> mTable;
};

void AuthServer::ConnStateDeleter::operator()(ConnState* state) const
{
    delete state;
}

AuthServer::ConnStatePtr AuthServer::NewConnState()
{
    return ConnStatePtr(new ConnState);
}

AuthServer::AuthServer(SmartPtr<LocalAuthority> authority)
    : mAuthority(authority ? authority : SmartPtr<LocalAuthority>(new LocalAuthority())),
      mNextUserId(1000),
      mLifetime(3600),
      mLifetime2(3600),
      mClockShift(0),
      mChallengeAll(false),
      mMaxConnections(512),
      mRunning(false),
      mStopRequested(false),
      mFault(0),
      mLogins(0),
      mPubKeyRequests(0),
      mChallenges(0),
      mRequests(0),
      mConnectionCap(1024),
      mPort(0)
{
    AddAccount(DefaultAccount());
}

AuthServer::~AuthServer()
{
    Stop();
}

AuthAccount AuthServer::DefaultAccount()
{
    AuthAccount account;
    account.mUserName = u"player";
    account.mPassword = u"secret";
    account.mCommunities.push_back(u"qor");
    account.mTrustLevel = 1;
    return account;
}

uint32_t AuthServer::AddAccount(const AuthAccount& account)
{
    std::lock_guard<std::mutex> lock(mAccountLock);
    AuthAccount stored = account;
    auto existing = mAccounts.find(account.mUserName);
    if (stored.mUserId == 0)
        stored.mUserId = existing != mAccounts.end() ? existing->second.mUserId : ++mNextUserId;
    for (const auto& community : stored.mCommunities)
        if (mCommunityIds.find(community) == mCommunityIds.end())
        {
            const uint32_t id = static_cast<uint32_t>(mCommunityIds.size() + 1);
            mCommunityIds[community] = id;
        }
    mAccounts[stored.mUserName] = stored;
    return stored.mUserId;
}

bool AuthServer::RemoveAccount(const std::u16string& userName)
{
    std::lock_guard<std::mutex> lock(mAccountLock);
    return mAccounts.erase(userName) != 0;
}

bool AuthServer::LoadAccounts(const std::string& text, std::string& error)
{
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    std::vector<AuthAccount> parsed;
    while (std::getline(lines, line))
    {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#')
            continue;
        std::istringstream fields(line);
        std::string user, password, communities, trust, flag;
        fields >> user >> password >> communities >> trust;
        fields >> flag;
        std::string extra;
        fields >> extra;
        char* end = nullptr;
        const unsigned long level = trust.empty() ? 0 : std::strtoul(trust.c_str(), &end, 10);
        if (user.empty() || password.empty() || communities.empty() || trust.empty() || *end || level > 0xFFFF ||
            (!flag.empty() && flag != "challenge") || !extra.empty())
        {
            error = "line " + std::to_string(number) + ": expected 'user password communities trust [challenge]'";
            return false;
        }
        AuthAccount account;
        if (!Utf8ToUtf16(user, account.mUserName) || !Utf8ToUtf16(password, account.mPassword))
        {
            error = "line " + std::to_string(number) + ": not UTF-8";
            return false;
        }
        std::istringstream names(communities);
        std::string name;
        while (std::getline(names, name, ','))
        {
            std::u16string wide;
            if (!name.empty() && Utf8ToUtf16(name, wide))
                account.mCommunities.push_back(wide);
        }
        account.mTrustLevel = static_cast<uint16_t>(level);
        account.mChallenge = flag == "challenge";
        parsed.push_back(account);
    }
    for (const AuthAccount& account : parsed)
        AddAccount(account);
    return true;
}

bool AuthServer::FindAccount(const std::u16string& userName, AuthAccount& out) const
{
    std::lock_guard<std::mutex> lock(mAccountLock);
    auto it = mAccounts.find(userName);
    if (it == mAccounts.end())
        return false;
    out = it->second;
    return true;
}

uint32_t AuthServer::GetCommunityId(const std::u16string& community) const
{
    std::lock_guard<std::mutex> lock(mAccountLock);
    auto it = mCommunityIds.find(community);
    return it == mCommunityIds.end() ? 0 : it->second;
}

void AuthServer::SetLifetimes(uint32_t certSeconds, uint32_t cert2Seconds)
{
    mLifetime.store(certSeconds);
    mLifetime2.store(cert2Seconds);
}

void AuthServer::ResetCounters()
{
    mLogins.store(0);
    mPubKeyRequests.store(0);
    mChallenges.store(0);
    mRequests.store(0);
    mCounters.mAccepted.store(0);
    mCounters.mDropped.store(0);
    mCounters.mPeakHeld.store(0);
}

SmartPtr<ByteBuffer> AuthServer::StatusReply(uint16_t type, int16_t status) const
{
    WriteBuffer out;
    WriteHeader(out, type, static_cast<AuthServerFault>(mFault.load()) == AuthServerFault::WrongHeader);
    out.AppendShort(static_cast<uint16_t>(status));
    return out.ToByteBuffer(true);
}

SmartPtr<ByteBuffer> AuthServer::PubKeyReply()
{
    mPubKeyRequests.fetch_add(1);
    const AuthServerFault fault = static_cast<AuthServerFault>(mFault.load());
    if (fault == AuthServerFault::PubKeyRefused)
        return StatusReply(kPubKeyReply, WS_CommServ_Failure);
    SmartPtr<ByteBuffer> block =
        fault == AuthServerFault::ForeignBlock ? mAuthority->GetForeignPubKeyBlock() : mAuthority->GetPubKeyBlock();
    WriteBuffer out;
    WriteHeader(out, kPubKeyReply, fault == AuthServerFault::WrongHeader);
    out.AppendShort(0);
    out.AppendBuffer(block, 2);
    return out.ToByteBuffer(true);
}

SmartPtr<ByteBuffer> AuthServer::Seal(ConnState& state, const void* data, uint32_t length) const
{
    return state.mSessionKey.encrypt(data, length);
}

std::vector<SmartPtr<ByteBuffer>> AuthServer::HandleRequest(ConnState& state, const ByteBuffer* request, bool& close,
                                                            size_t openConnections)
{
    std::vector<SmartPtr<ByteBuffer>> replies;
    close = false;
    try
    {
        ReadBuffer reader(request);
        const uint8_t first = reader.ReadByte();
        const uint16_t service = reader.ReadShort();
        const uint16_t type = reader.ReadShort();
        if (first != 5 || service != ServiceType)
        {
            close = true;
            return replies;
        }
        if (type == kPubKeyRequest)
        {
            replies.push_back(openConnections > mMaxConnections.load() ? StatusReply(kPubKeyReply, WS_CommServ_Failure)
                                                                       : PubKeyReply());
        }
        else if (type == kLoginRequest)
        {
            SmartPtr<ByteBuffer> reply = HandleLogin(state, reader, openConnections);
            if (reply)
                replies.push_back(reply);
        }
        else if (type == kChallengeReply && state.mAwaitingChallengeReply)
        {
            state.mAwaitingChallengeReply = false;
            const uint16_t length = reader.ReadShort();
            const uint8_t* data = reader.ReadBytes(length);
            SmartPtr<ByteBuffer> plain = state.mSessionKey.decrypt(data, length);
            if (ByteBuffer::LengthOf(plain) < 1)
                replies.push_back(StatusReply(kLoginReply, WS_CommServ_InvalidParameters));
            else
                replies.push_back(Decide(state));
        }
        else
            close = true;
    }
    catch (const ReadBufferException&)
    {
        close = true;
    }
    return replies;
}

SmartPtr<ByteBuffer> AuthServer::HandleLogin(ConnState& state, ReadBuffer& reader, size_t openConnections)
{
    const AuthServerFault fault = static_cast<AuthServerFault>(mFault.load());
    state.mAwaitingChallengeReply = false;
    if (fault == AuthServerFault::Overloaded || openConnections > mMaxConnections.load())
        return StatusReply(kLoginReply, WS_CommServ_Failure);

    const uint16_t blockId = reader.ReadShort();
    const uint16_t keyLength = reader.ReadShort();
    const uint8_t* sealedKey = reader.ReadBytes(keyLength);
    const uint16_t loginLength = reader.ReadShort();
    const uint8_t* sealedLogin = reader.ReadBytes(loginLength);
    if (blockId != mAuthority->GetBlockId())
        return StatusReply(kLoginReply, WS_AuthServ_BadPubKeyBlock);
    const ElGamal signer = mAuthority->GetSigningPrivateKey();
    SmartPtr<ByteBuffer> key = signer.decrypt(sealedKey, keyLength);
    if (!key || !state.mSessionKey.setKey(key->GetData(), key->GetLength()))
        return StatusReply(kLoginReply, WS_AuthServ_BadPubKeyBlock);
    SmartPtr<ByteBuffer> login = state.mSessionKey.decrypt(sealedLogin, loginLength);
    if (!login)
        return StatusReply(kLoginReply, WS_AuthServ_BadPubKeyBlock);

    ReadBuffer plain(login);
    const uint8_t* prefix = plain.ReadBytes(2);
    if (std::memcmp(prefix, key->GetData(), 2) != 0 || plain.ReadShort() != blockId)
        return StatusReply(kLoginReply, WS_AuthServ_BadPubKeyBlock);
    plain.ReadLong();   // login flags
    std::u16string user, password, newPassword;
    plain.ReadWString(user, 2);
    plain.ReadWString(password, 2);
    plain.ReadWString(newPassword, 2);
    plain.ReadByte();
    std::vector<std::u16string> requested(plain.ReadByte());
    for (auto& community : requested)
        plain.ReadWString(community, 2);

    if (user.empty())
        return StatusReply(kLoginReply, WS_AuthServ_InvalidUserName);
    if (!FindAccount(user, state.mAccount))
        return StatusReply(kLoginReply, WS_AuthServ_UserNotFound);
    state.mPassword = password;
    state.mRequested = requested;
    state.mNewPassword = newPassword;

    // The challenge comes before the password is judged.
    if (state.mAccount.mChallenge || mChallengeAll.load())
    {
        mChallenges.fetch_add(1);
        uint8_t challenge[16];
        Randomizer random;
        random.fill(challenge, sizeof(challenge));
        const uint32_t length = fault == AuthServerFault::ShortChallenge ? 8 : 16;
        SmartPtr<ByteBuffer> sealed = Seal(state, challenge, length);
        WriteBuffer out;
        WriteHeader(out, kChallenge, fault == AuthServerFault::WrongHeader);
        out.AppendBuffer(sealed, 2);
        state.mAwaitingChallengeReply = true;
        return out.ToByteBuffer(true);
    }
    return Decide(state);
}

SmartPtr<ByteBuffer> AuthServer::Decide(ConnState& state)
{
    const AuthAccount& account = state.mAccount;
    if (account.mPassword != state.mPassword)
        return StatusReply(kLoginReply, WS_AuthServ_BadPassword);
    uint32_t communityId = account.mCommunities.empty() ? 0 : GetCommunityId(account.mCommunities.front());
    if (!state.mRequested.empty())
    {
        communityId = 0;
        for (const auto& community : state.mRequested)
        {
            if (GetCommunityId(community) == 0)
                return StatusReply(kLoginReply, WS_AuthServ_BadCommunity);
            for (const auto& own : account.mCommunities)
                if (own == community && communityId == 0)
                    communityId = GetCommunityId(community);
        }
        if (communityId == 0)
            return StatusReply(kLoginReply, WS_AuthServ_NotInCommunity);
    }
    state.mCommunityId = communityId;
    return LoginReply(state);
}

SmartPtr<ByteBuffer> AuthServer::LoginReply(ConnState& state)
{
    const AuthServerFault fault = static_cast<AuthServerFault>(mFault.load());
    IssueRequest request;
    request.mUserId = state.mAccount.mUserId;
    request.mUserName = state.mAccount.mUserName;
    request.mCommunityId = state.mCommunityId;
    request.mTrustLevel = state.mAccount.mTrustLevel;
    request.mLifetimeSeconds = mLifetime.load();
    request.mLifetime2Seconds = mLifetime2.load();
    request.mClockShift = mClockShift.load();
    IssuedCredentials credentials;
    const bool issued = fault == AuthServerFault::ForeignCertificate ? mAuthority->IssueForeign(request, credentials)
                                                                      : mAuthority->Issue(request, credentials);
    if (!issued)
        return StatusReply(kLoginReply, WS_CommServ_Failure);
    if (!state.mNewPassword.empty())
    {
        AuthAccount changed = state.mAccount;
        changed.mPassword = state.mNewPassword;
        AddAccount(changed);
    }
    mLogins.fetch_add(1);

    WriteBuffer out;
    WriteHeader(out, kLoginReply, fault == AuthServerFault::WrongHeader);
    out.AppendShort(0);
    const char welcome[] = "welcome";
    out.AppendByte(1);
    out.AppendShort(static_cast<uint16_t>(sizeof(welcome) - 1));
    out.AppendBytes(welcome, sizeof(welcome) - 1);
    const bool foreignBlock = fault == AuthServerFault::ForeignBlockItem;
    const bool withCert = fault != AuthServerFault::NoCertificates;
    const bool withCert2 = withCert && fault != AuthServerFault::MissingCertificate2;
    out.AppendByte(static_cast<uint8_t>((withCert ? 1 : 0) + (withCert2 ? 1 : 0) + (foreignBlock ? 1 : 0)));
    if (foreignBlock)
        AppendItem(out, 3, mAuthority->GetForeignPubKeyBlock());
    if (withCert)
        AppendItem(out, 1, credentials.mCertificate);
    if (withCert2)
        AppendItem(out, 6, credentials.mCertificate2);

    WriteBuffer secret;
    const bool withKey = fault != AuthServerFault::NoPrivateKey;
    secret.AppendByte(withKey ? 2 : 1);
    if (withKey)
    {
        if (fault == AuthServerFault::BadPrivateKey)
        {
            const uint8_t junk[] = {0x30, 0x03, 0x02, 0x01, 0x00};
            AppendItem(secret, 2, junk, sizeof(junk));
        }
        else
            AppendItem(secret, 2, credentials.mPrivateKey);
    }
    uint8_t confirm[2 + Blowfish::kMaxKeyLength] = {0x12, 0x34};
    const uint32_t keyLength = state.mSessionKey.getKeyLength();
    std::memcpy(confirm + 2, state.mSessionKey.getKey(), keyLength);
    if (fault == AuthServerFault::BadSecretConfirm)
        confirm[2] ^= 0xFF;
    AppendItem(secret, 4, confirm, keyLength + 2);
    SmartPtr<ByteBuffer> sealed = Seal(state, secret.GetData(), secret.GetLength());
    if (fault == AuthServerFault::BadSealedPart)
        out.AppendBytes(ByteBuffer::DataOf(sealed), ByteBuffer::LengthOf(sealed) - 3);
    else
        out.AppendBytes(ByteBuffer::DataOf(sealed), ByteBuffer::LengthOf(sealed));
    return out.ToByteBuffer(true);
}

WSStatus AuthServer::Start(uint16_t port)
{
    if (mRunning.load())
        return WS_Success;
    StartSockets();
    mImpl.reset(new Impl(*this));
    const WSStatus status = OpenListener(InetAddress(kServerLoopback, port), 128, mImpl->mListener);
    if (status != WS_Success)
    {
        mImpl.reset();
        StopSockets();
        return status;
    }
    mPort = mImpl->mListener->GetLocalPort();
    mImpl->mTable.reset(new ConnTable(mImpl->mListener, mLimits, mConnectionCap, 4, kMaxFrameLength - 1, mCounters));
    mStopRequested.store(false);
    mRunning.store(true);
    mThread = std::thread([this] { Run(); });
    return WS_Success;
}

void AuthServer::Stop()
{
    if (!mRunning.load())
        return;
    mStopRequested.store(true);
    if (mThread.joinable())
        mThread.join();
    mImpl->mTable->Close();
    mImpl.reset();
    mRunning.store(false);
    StopSockets();
}

void AuthServer::Run()
{
    while (!mStopRequested.load())
        mImpl->mTable->Pass(*mImpl, kPollMs);
}

void AuthServer::Impl::OnMessage(ServerConn& conn, const SmartPtr<ByteBuffer>& request)
{
    AuthConn& c = static_cast<AuthConn&>(conn);
    mOwner.mRequests.fetch_add(1);
    const AuthServerFault fault = static_cast<AuthServerFault>(mOwner.mFault.load());
    if (fault == AuthServerFault::Silent)
        return;
    if (fault == AuthServerFault::Close)
    {
        c.mDead = true;
        return;
    }
    std::vector<SmartPtr<ByteBuffer>> replies;
    bool close = false;
    if (fault == AuthServerFault::Garbage)
    {
        const uint8_t junk[] = {0xde, 0xad, 0xbe, 0xef, 0x01, 0x02, 0x03};
        replies.push_back(new ByteBuffer(junk, sizeof(junk)));
    }
    else
        replies = mOwner.HandleRequest(*c.mState, request.Get(), close, mTable->GetOpenCount());
    for (const SmartPtr<ByteBuffer>& reply : replies)
        mTable->QueueFrame(c, reply.Get());
    if (close)
        c.mCloseAfterSend = true;
}

} // namespace QORAPI
