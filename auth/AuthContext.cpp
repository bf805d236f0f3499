#include "auth/AuthContext.h"

#include "QORAPI.h"
#include "auth/GetCertOp.h"
#include "common/Completion.h"
#include "common/Endian.h"
#include "platform/FileSystem.h"
#include "platform/Tick.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace QORAPI {

// ---- LightGetCertOp ----

LightGetCertOp::LightGetCertOp() = default;

LightGetCertOp::~LightGetCertOp() = default;

SmartPtr<AuthPeerData> LightGetCertOp::GetPeerData() const
{
    ScopedLock lock(mCrit);
    return mPeerData;
}

void LightGetCertOp::SetPeerData(const SmartPtr<AuthPeerData>& peerData)
{
    ScopedLock lock(mCrit);
    mPeerData = peerData;
}

// ---- the process-wide verifier key ----

namespace {

struct VerifierKeyState
{
    std::mutex mLock;
    ElGamal mKey;
    bool mFileTried = false;

    VerifierKeyState()
    {
        SmartPtr<ByteBuffer> builtIn = AuthContext::GetBuiltInVerifierKey();
        mKey.setPublicKey(ByteBuffer::DataOf(builtIn), ByteBuffer::LengthOf(builtIn));
    }
};

VerifierKeyState& GetVerifierState()
{
    static VerifierKeyState* state = new VerifierKeyState;   // lives as long as the process
    return *state;
}

const char kKeyStoreFile[] = "_qorlogin.ks";
const char kVerifierKeyFile[] = "_qorkver.pub";

} // namespace

ElGamal AuthContext::GetVerifierKey()
{
    VerifierKeyState& state = GetVerifierState();
    std::lock_guard<std::mutex> lock(state.mLock);
    return state.mKey;
}

const ElGamal& AuthContext::GetVerifierKeyRef()
{
    return GetVerifierState().mKey;
}

bool AuthContext::LoadVerifierKeyFile()
{
    VerifierKeyState& state = GetVerifierState();
    std::lock_guard<std::mutex> lock(state.mLock);
    state.mFileTried = true;
    const std::string path = QORAPICore::GetFileDirectory() + kVerifierKeyFile;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    std::vector<uint8_t> content;
    uint8_t chunk[1024];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0 && content.size() < 64u * 1024u)
        content.insert(content.end(), chunk, chunk + got);
    std::fclose(file);
    ElGamal key;
    if (!key.setPublicKey(content.data(), static_cast<uint32_t>(content.size())))
        return false;
    state.mKey = key;
    return true;
}

void AuthContext::SetVerifierKey(const ElGamal& key)
{
    VerifierKeyState& state = GetVerifierState();
    std::lock_guard<std::mutex> lock(state.mLock);
    state.mKey = key;
    state.mFileTried = true;
}

void AuthContext::ResetVerifierKey()
{
    VerifierKeyState& state = GetVerifierState();
    std::lock_guard<std::mutex> lock(state.mLock);
    SmartPtr<ByteBuffer> builtIn = GetBuiltInVerifierKey();
    state.mKey.setPublicKey(ByteBuffer::DataOf(builtIn), ByteBuffer::LengthOf(builtIn));
    state.mFileTried = false;
}

// ---- construction ----

AuthContext::AuthContext()
{
    Init();
}

AuthContext::AuthContext(const std::u16string& userName, const std::u16string& communityName,
                         const std::u16string& password)
    : mUserName(userName), mPassword(password)
{
    Init();
    mCommunities[communityName];
}

void AuthContext::Init()
{
    mPruneCursor = mSessions.end();
    mKeyStorePath = QORAPICore::GetFileDirectory() + kKeyStoreFile;
    mPeerData = new AuthPeerData();
    mServerContext = new ServerContext();
    mLastRefreshStatus = WS_None;
    mAutoRefresh = false;
    bool tried;
    {
        VerifierKeyState& state = GetVerifierState();
        std::lock_guard<std::mutex> lock(state.mLock);
        tried = state.mFileTried;
    }
    if (!tried)
        LoadVerifierKeyFile();
}

AuthContext::~AuthContext() = default;

// ---- identity and login data ----

void AuthContext::SetUserName(const std::u16string& userName)
{
    ScopedLock lock(mCrit);
    mUserName = userName;
}

void AuthContext::SetPassword(const std::u16string& password)
{
    ScopedLock lock(mCrit);
    mPassword = password;
}

std::u16string AuthContext::GetUserName() const
{
    ScopedLock lock(mCrit);
    return mUserName;
}

std::u16string AuthContext::GetPassword() const
{
    ScopedLock lock(mCrit);
    return mPassword;
}

void AuthContext::SetKeyStorePath(const std::string& path)
{
    ScopedLock lock(mCrit);
    mKeyStorePath = path;
}

std::string AuthContext::GetKeyStorePath() const
{
    ScopedLock lock(mCrit);
    return mKeyStorePath;
}

void AuthContext::AddCommunity(const std::u16string& name)
{
    ScopedLock lock(mCrit);
    mCommunities[name];
}

void AuthContext::SetCommunity(const std::u16string& name)
{
    ScopedLock lock(mCrit);
    CommunityRecord record;
    auto it = mCommunities.find(name);
    if (it != mCommunities.end())
        record = it->second;
    mCommunities.clear();
    mCommunities[name] = record;
}

void AuthContext::RemoveCommunity(const std::u16string& name)
{
    ScopedLock lock(mCrit);
    mCommunities.erase(name);
}

void AuthContext::SetCommunityData(const std::u16string& name, const SmartPtr<ByteBuffer>& data)
{
    ScopedLock lock(mCrit);
    CommunityRecord& record = mCommunities[name];
    record.mData = data;
    record.mHasData = true;
}

std::vector<std::u16string> AuthContext::GetCommunities() const
{
    ScopedLock lock(mCrit);
    std::vector<std::u16string> names;
    for (const auto& entry : mCommunities)
        names.push_back(entry.first);
    return names;
}

void AuthContext::SetLoginDataItem(const std::u16string& name, const SmartPtr<ByteBuffer>& data)
{
    ScopedLock lock(mCrit);
    mLoginDataItems[name] = data;
}

void AuthContext::ClearLoginDataItems()
{
    ScopedLock lock(mCrit);
    mLoginDataItems.clear();
}

void AuthContext::SetLoginDataBuffer(const std::u16string& name, const SmartPtr<ByteBuffer>& buffer)
{
    ScopedLock lock(mCrit);
    mLoginDataBuffers[name] = buffer;
}

void AuthContext::ClearLoginDataBuffers()
{
    ScopedLock lock(mCrit);
    mLoginDataBuffers.clear();
}

void AuthContext::ClearLoginData()
{
    ScopedLock lock(mCrit);
    mLoginDataItems.clear();
    mLoginDataBuffers.clear();
}

void AuthContext::AddLoginAttribute(const std::u16string& name)
{
    ScopedLock lock(mCrit);
    mLoginAttributes[name] = std::u16string();
}

void AuthContext::SetLoginAttribute(const std::u16string& name, const std::u16string& value)
{
    ScopedLock lock(mCrit);
    mLoginAttributes[name] = value;
}

void AuthContext::ClearLoginAttributes()
{
    ScopedLock lock(mCrit);
    mLoginAttributes.clear();
}

// ---- servers ----

void AuthContext::SetServerContext(const SmartPtr<ServerContext>& context)
{
    ScopedLock lock(mCrit);
    mServerContext = context ? context : SmartPtr<ServerContext>(new ServerContext());
}

SmartPtr<ServerContext> AuthContext::GetServerContext() const
{
    ScopedLock lock(mCrit);
    return mServerContext;
}

bool AuthContext::AddAddress(const InetAddress& address)
{
    ScopedLock lock(mCrit);
    return mServerContext->AddAddress(address);
}

bool AuthContext::RemoveAddress(const InetAddress& address)
{
    ScopedLock lock(mCrit);
    return mServerContext->RemoveAddress(address);
}

void AuthContext::ClearAddresses()
{
    ScopedLock lock(mCrit);
    mServerContext->ClearAddresses();
}

bool AuthContext::AddAddressesFromDir(const DirEntityList& entities, const std::u16string& serviceName)
{
    ScopedLock lock(mCrit);
    return mServerContext->AddAddressesFromDir(entities, serviceName);
}

bool AuthContext::AddAddressesFromDirMap(const DirEntityMap& map, const std::u16string& path,
                                         const std::u16string& serviceName)
{
    ScopedLock lock(mCrit);
    return mServerContext->AddAddressesFromDirMap(map, path, serviceName);
}

// ---- credentials and renewal ----

SmartPtr<AuthPeerData> AuthContext::GetPeerData() const
{
    ScopedLock lock(mCrit);
    return mPeerData;
}

void AuthContext::SetPeerData(const SmartPtr<AuthPeerData>& peerData)
{
    ScopedLock lock(mCrit);
    mPeerData = peerData ? peerData : SmartPtr<AuthPeerData>(new AuthPeerData());
    mSessions.clear();
    mPruneCursor = mSessions.end();
}

bool AuthContext::IsCert2Expired(int32_t seconds) const
{
    ScopedLock lock(mCrit);
    return mPeerData->IsCert2Expired(seconds);
}

WSStatus AuthContext::Refresh(uint32_t timeoutMs)
{
    SmartPtr<GetCertOp> op = new GetCertOp(this);
    op->Run(OpMode_Block, timeoutMs);
    const WSStatus status = op->GetStatus();
    ScopedLock lock(mCrit);
    mLastRefreshStatus = status;
    if (status == WS_Success)
        Reschedule(false);
    return status;
}

WSStatus AuthContext::RefreshAsync(const SmartPtr<LightGetCertOp>& waiter, uint32_t timeoutMs)
{
    ScopedLock lock(mCrit);
    CancelTimer();
    if (waiter)
    {
        mWaiters.push_back(waiter);
        waiter->RunAsTimer(timeoutMs);
    }
    if (mCurrentRefresh)
        return WS_Pending;
    SmartPtr<GetCertOp> op = new GetCertOp(this);
    op->SetCompletion(new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<AuthContext>>(&AuthContext::OnRenewalDone, this));
    mCurrentRefresh = op;
    mLastRefreshStatus = op->RunAsync(RefreshAsyncTimeoutMs);
    return mLastRefreshStatus;
}

void AuthContext::CancelRefresh()
{
    SmartPtr<GetCertOp> current;
    {
        ScopedLock lock(mCrit);
        current = mCurrentRefresh;
        CancelTimer();
    }
    if (current)
        current->Kill(true);
}

void AuthContext::SetAutoRefresh(bool autoRefresh)
{
    ScopedLock lock(mCrit);
    mAutoRefresh = autoRefresh;
    Reschedule(false);
}

bool AuthContext::GetAutoRefresh() const
{
    ScopedLock lock(mCrit);
    return mAutoRefresh;
}

WSStatus AuthContext::GetLastRefreshStatus() const
{
    ScopedLock lock(mCrit);
    return mLastRefreshStatus;
}

SmartPtr<AsyncOp> AuthContext::GetRefreshTimer() const
{
    ScopedLock lock(mCrit);
    return mRefreshTimer;
}

SmartPtr<GetCertOp> AuthContext::GetCurrentRefresh() const
{
    ScopedLock lock(mCrit);
    return mCurrentRefresh;
}

void AuthContext::CancelTimer()
{
    if (!mRefreshTimer)
        return;
    SmartPtr<AsyncOp> timer = mRefreshTimer;
    mRefreshTimer = nullptr;
    timer->Kill(true);
}

void AuthContext::Reschedule(bool force)
{
    CancelTimer();
    if (!mAutoRefresh)
        return;
    uint32_t delay = RenewDefaultDelaySeconds;
    bool schedule = force;
    if (mPeerData->IsValid())
    {
        const int64_t left = static_cast<int64_t>(mPeerData->GetSecondsUntilExpiry()) - RenewAheadSeconds;
        delay = left < RenewMinDelaySeconds ? RenewMinDelaySeconds : static_cast<uint32_t>(left);
        schedule = true;
    }
    if (!schedule)
        return;
    SmartPtr<AsyncOp> timer = new AsyncOp();
    timer->SetCompletion(new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<AuthContext>>(&AuthContext::OnTimerFired, this));
    mRefreshTimer = timer;
    const uint64_t ms = static_cast<uint64_t>(delay) * 1000u;
    timer->RunAsTimer(ms >= InfiniteMs ? InfiniteMs - 1 : static_cast<uint32_t>(ms));
}

void AuthContext::OnTimerFired(SmartPtr<AsyncOp> op, SmartPtr<AuthContext> context)
{
    ScopedLock lock(context->mCrit);
    if (context->mRefreshTimer.Get() != op.Get())
        return;
    context->mRefreshTimer = nullptr;
    if (op->GetStatus() != WS_Killed && !op->IsKilled())
        context->RefreshAsync(nullptr, InfiniteMs);
}

void AuthContext::OnRenewalDone(SmartPtr<AsyncOp> op, SmartPtr<AuthContext> context)
{
    std::vector<SmartPtr<LightGetCertOp>> waiters;
    SmartPtr<AuthPeerData> peerData;
    WSStatus status;
    {
        ScopedLock lock(context->mCrit);
        if (context->mCurrentRefresh.Get() != op.Get())
            return;
        waiters.swap(context->mWaiters);
        peerData = context->mCurrentRefresh->GetNewPeerData();
        context->mCurrentRefresh = nullptr;
        status = op->GetStatus();
        context->mLastRefreshStatus = status;
        // A renewal killed by CancelRefresh (or shutdown) arms no new timer.
        if (status != WS_Killed)
            context->Reschedule(true);
    }
    // Waiters complete outside the context's lock: their completions may call
    // back into the context from other threads.
    for (const auto& waiter : waiters)
    {
        waiter->SetPeerData(peerData);
        waiter->Finish(status);
    }
}

// ---- sessions ----

void AuthContext::StoreSession(const InetAddress& address, const SmartPtr<AuthSession>& session)
{
    if (!session)
        return;
    ScopedLock lock(mCrit);
    const uint32_t now = GetTimeSeconds();
    SessionEntry& entry = mSessions[address];
    entry.mTime = now;
    entry.mSessions.push_back(session);

    if (mPruneCursor == mSessions.end())
        mPruneCursor = mSessions.begin();
    for (int looked = 0; looked < 5 && !mSessions.empty(); ++looked)
    {
        if (mPruneCursor == mSessions.end())
            mPruneCursor = mSessions.begin();
        if (now - mPruneCursor->second.mTime > SessionMaxAgeSeconds)
            mPruneCursor = mSessions.erase(mPruneCursor);
        else
            ++mPruneCursor;
    }
}

SmartPtr<AuthSession> AuthContext::TakeSession(const InetAddress& address)
{
    ScopedLock lock(mCrit);
    auto it = mSessions.find(address);
    if (it == mSessions.end())
        return nullptr;
    const uint32_t now = GetTimeSeconds();
    it->second.mTime = now;
    auto& queue = it->second.mSessions;
    while (!queue.empty())
    {
        SmartPtr<AuthSession> session = queue.front();
        queue.pop_front();
        if (now - session->GetLastUseTime() < SessionMaxAgeSeconds)
            return session;
    }
    return nullptr;
}

size_t AuthContext::GetSessionCount(const InetAddress& address) const
{
    ScopedLock lock(mCrit);
    auto it = mSessions.find(address);
    return it == mSessions.end() ? 0 : it->second.mSessions.size();
}

void AuthContext::ClearSessions()
{
    ScopedLock lock(mCrit);
    mSessions.clear();
    mPruneCursor = mSessions.end();
}

// ---- key store ----

bool AuthContext::LoadKeyStore()
{
    ScopedLock lock(mCrit);
    mLoginKeys.clear();
    std::vector<uint8_t> content;
    if (!ReadWholeFile(mKeyStorePath, content, 1 + 255 * 12 + 1024))
        return false;
    if (content.empty())
        return true;
    const size_t count = content[0];
    size_t pos = 1;
    for (size_t i = 0; i < count && pos + 12 <= content.size(); ++i, pos += 12)
    {
        LoginKey key;
        key.mExpiry = static_cast<int32_t>(LoadLE32(&content[pos]));
        std::memcpy(key.mKey, &content[pos + 4], 8);
        mLoginKeys.push_back(key);
    }
    return true;
}

bool AuthContext::SaveKeyStore()
{
    ScopedLock lock(mCrit);
    // The count is one byte: the oldest committed entries give way first.
    while (mLoginKeys.size() > MaxLoginKeys)
    {
        auto victim = mLoginKeys.end();
        for (auto it = mLoginKeys.begin(); it != mLoginKeys.end(); ++it)
            if (it->mExpiry != 0)
                victim = it;
        if (victim == mLoginKeys.end())
            victim = std::prev(mLoginKeys.end());
        mLoginKeys.erase(victim);
    }
    std::vector<uint8_t> content;
    content.reserve(1 + mLoginKeys.size() * 12);
    content.push_back(static_cast<uint8_t>(mLoginKeys.size()));
    for (const LoginKey& key : mLoginKeys)
    {
        uint8_t expiry[4];
        StoreLE32(expiry, static_cast<uint32_t>(key.mExpiry));
        content.insert(content.end(), expiry, expiry + 4);
        content.insert(content.end(), key.mKey, key.mKey + 8);
    }
    return WriteFileAtomic(mKeyStorePath, content.data(), content.size());
}

void AuthContext::AddPendingLoginKey(const void* sixteenBytes)
{
    ScopedLock lock(mCrit);
    LoginKey key;
    std::memcpy(key.mKey, sixteenBytes, 8);
    mLoginKeys.push_front(key);
    SaveKeyStore();
}

void AuthContext::RemovePendingLoginKey(const void* sixteenBytes)
{
    ScopedLock lock(mCrit);
    for (auto it = mLoginKeys.begin(); it != mLoginKeys.end(); ++it)
    {
        if (it->mExpiry == 0 && std::memcmp(it->mKey, sixteenBytes, 8) == 0)
        {
            mLoginKeys.erase(it);
            SaveKeyStore();
            return;
        }
    }
}

void AuthContext::CommitLoginKeys(uint32_t issueTime, uint32_t lifespan)
{
    ScopedLock lock(mCrit);
    if (mLoginKeys.empty())
        return;
    for (auto it = mLoginKeys.begin(); it != mLoginKeys.end();)
    {
        if (it->mExpiry != 0 && static_cast<uint32_t>(it->mExpiry) <= issueTime)
        {
            it = mLoginKeys.erase(it);
            continue;
        }
        if (it->mExpiry == 0)
            it->mExpiry = static_cast<int32_t>(issueTime + lifespan + RenewAheadSeconds);
        ++it;
    }
    while (mLoginKeys.size() > MaxLoginKeys)
        mLoginKeys.pop_back();
    SaveKeyStore();
}

AuthContext::LoginKeyList AuthContext::GetLoginKeys() const
{
    ScopedLock lock(mCrit);
    return mLoginKeys;
}

// ---- login data ----

namespace {

void AppendEntry(WriteBuffer& out, uint8_t type, const WriteBuffer& body)
{
    out.AppendByte(type);
    out.AppendShort(static_cast<uint16_t>(body.GetLength()));
    out.AppendBytes(body.GetData(), body.GetLength());
}

} // namespace

void AuthContext::WriteLoginData(WriteBuffer& out) const
{
    ScopedLock lock(mCrit);
    out.AppendByte(0);
    out.AppendByte(static_cast<uint8_t>(mCommunities.size()));
    for (const auto& community : mCommunities)
        out.AppendWString(community.first, 2);
    const uint32_t countPos = out.GetLength();
    out.AppendShort(0);
    uint16_t count = 0;

    for (const auto& community : mCommunities)
    {
        if (!community.second.mHasData)
            continue;
        WriteBuffer body;
        body.AppendWString(community.first, 2);
        body.AppendBytes(ByteBuffer::DataOf(community.second.mData), ByteBuffer::LengthOf(community.second.mData));
        AppendEntry(out, 1, body);
        ++count;
    }
    for (const auto& item : mLoginDataItems)
    {
        if (!item.second)
            continue;
        WriteBuffer body;
        body.AppendWString(item.first, 2);
        body.AppendLong(0);
        body.AppendBytes(item.second->GetData(), item.second->GetLength());
        AppendEntry(out, 7, body);
        ++count;
    }
    for (const auto& buffer : mLoginDataBuffers)
    {
        if (!buffer.second)
            continue;
        WriteBuffer body;
        body.AppendWString(buffer.first, 2);
        body.AppendLong(0);
        body.AppendBytes(buffer.second->GetData(), buffer.second->GetLength());
        AppendEntry(out, 8, body);
        ++count;
    }
    if (!mLoginKeys.empty())
    {
        WriteBuffer body;
        body.AppendByte(static_cast<uint8_t>(mLoginKeys.size()));
        for (const LoginKey& key : mLoginKeys)
            body.AppendBytes(key.mKey, 8);
        AppendEntry(out, 6, body);
        ++count;
    }
    for (const auto& attribute : mLoginAttributes)
    {
        WriteBuffer name;
        name.AppendWString(attribute.first, 2);
        AppendEntry(out, 4, name);
        ++count;
        if (!attribute.second.empty())
        {
            WriteBuffer body;
            body.AppendWString(attribute.first, 2);
            body.AppendWString(attribute.second, 2);
            AppendEntry(out, 3, body);
            ++count;
        }
    }
    out.SetShort(countPos, count);
}

} // namespace QORAPI
