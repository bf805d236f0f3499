#include "auth/AuthContext.h"

#include "platform/Tick.h"

namespace QORAPI {

AuthContext::AuthContext() : mPruneCursor(mSessions.end())
{
}

AuthContext::~AuthContext() = default;

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

} // namespace QORAPI
