#include "auth/ServerContext.h"

#include "platform/Tick.h"

#include <algorithm>
#include <atomic>
#include <random>

namespace QORAPI {

namespace {

// Each shuffle gets its own generator, seeded from the clock and a process-wide
// counter: contexts shuffled in the same second still get different orders,
// and the application's rand() sequence is left alone.
uint32_t NextShuffleSeed()
{
    static std::atomic<uint32_t> counter(0);
    return GetTimeSeconds() ^ (GetTickCount() << 8) ^ (counter.fetch_add(1) * 0x9E3779B9u);
}

} // namespace

ServerContext::ServerContext() : mShuffle(true), mShuffled(false)
{
}

ServerContext::~ServerContext() = default;

bool ServerContext::AddLocked(const InetAddress& address)
{
    if (!address.IsValid() || mIndex.count(address))
        return false;
    mIndex[address] = mAddresses.size();
    mAddresses.push_back(address);
    return true;
}

bool ServerContext::AddAddress(const InetAddress& address)
{
    ScopedLock lock(mCrit);
    return AddLocked(address);
}

bool ServerContext::RemoveAddress(const InetAddress& address)
{
    ScopedLock lock(mCrit);
    auto it = mIndex.find(address);
    if (it == mIndex.end())
        return false;
    mAddresses.erase(mAddresses.begin() + static_cast<std::ptrdiff_t>(it->second));
    RebuildIndex();
    return true;
}

void ServerContext::ClearAddresses()
{
    ScopedLock lock(mCrit);
    mAddresses.clear();
    mIndex.clear();
    mShuffle = true;
    mShuffled = false;
}

void ServerContext::NotifyFailed(const InetAddress& address)
{
    ScopedLock lock(mCrit);
    auto it = mIndex.find(address);
    if (it == mIndex.end())
        return;
    const size_t pos = it->second;
    const InetAddress moved = mAddresses[pos];
    mAddresses.erase(mAddresses.begin() + static_cast<std::ptrdiff_t>(pos));
    mAddresses.push_back(moved);
    RebuildIndex();
}

void ServerContext::CopyAddresses(InetAddressList& out)
{
    ScopedLock lock(mCrit);
    if (mShuffle && !mShuffled)
    {
        std::mt19937 rng(NextShuffleSeed());
        std::shuffle(mAddresses.begin(), mAddresses.end(), rng);
        RebuildIndex();
        mShuffled = true;
    }
    out = mAddresses;
}

size_t ServerContext::GetAddressCount() const
{
    ScopedLock lock(mCrit);
    return mAddresses.size();
}

bool ServerContext::AddAddressesFromDir(const DirEntityList& entities, const std::u16string& serviceName)
{
    ScopedLock lock(mCrit);
    bool added = false;
    for (const DirEntityPtr& entity : entities)
    {
        if (!entity || entity->IsDirectory())
            continue;
        if (!serviceName.empty() && entity->GetName() != serviceName)
            continue;
        if (AddLocked(entity->GetAddress()))
            added = true;
    }
    return added;
}

bool ServerContext::AddAddressesFromDirMap(const DirEntityMap& map, const std::u16string& path,
                                           const std::u16string& serviceName)
{
    auto it = map.find(path);
    if (it == map.end())
        return false;
    return AddAddressesFromDir(it->second, serviceName);
}

bool ServerContext::SetAddressesFromDir(const DirEntityList& entities, const std::u16string& serviceName)
{
    ScopedLock lock(mCrit);
    ClearAddresses();
    return AddAddressesFromDir(entities, serviceName);
}

void ServerContext::SetShuffle(bool shuffle)
{
    ScopedLock lock(mCrit);
    mShuffle = shuffle;
}

bool ServerContext::GetShuffle() const
{
    ScopedLock lock(mCrit);
    return mShuffle;
}

void ServerContext::RebuildIndex()
{
    mIndex.clear();
    for (size_t i = 0; i < mAddresses.size(); ++i)
        mIndex[mAddresses[i]] = i;
}

} // namespace QORAPI
