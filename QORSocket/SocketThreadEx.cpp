#include "QORSocket/SocketThreadEx.h"

namespace QORAPI {

namespace {
const int16_t kKindEvents[3] = {SOCK_POLL_READ, SOCK_POLL_WRITE, SOCK_POLL_EXCEPT};

// Set while this thread works through a pass of Pump: removals made there
// need no wake-up, the set is rebuilt before the next wait anyway.
thread_local bool tInPumpPass = false;
}

SocketThreadEx::SocketThreadEx() : mPolling(false), mWakePending(false)
{
    StartSockets();
    mWakeSocket = new AsyncSocket(SocketType::Datagram);
    if (mWakeSocket->Bind(0, false) == WS_Success)
        mWakeSocket->Connect(InetAddress(0x7F000001u, mWakeSocket->GetLocalPort()));
    for (int k = 0; k < 3; ++k)
    {
        mHandles[k].Reserve(64);
        mOpList[k].Reserve(64);
    }
    mHandles[SocketWait_Read].Append(mWakeSocket->GetHandle());
    mOpList[SocketWait_Read].Append(nullptr);
    ResetPollSet();
}

SocketThreadEx::~SocketThreadEx()
{
    PurgeOps();
    StopSockets();
}

uint32_t SocketThreadEx::ThreadProc()
{
    while (!IsStopRequested())
        Pump(1000);
    return 0;
}

void SocketThreadEx::Signal()
{
    // One wake-up datagram per wait is enough: further signals before the
    // thread drains it would only cost a system call each.
    if (mWakePending.exchange(true))
        return;
    const uint8_t wake = 0x01;
    if (mWakeSocket->Send(&wake, 1) != WS_Success)
        mWakePending = false;
}

void SocketThreadEx::DrainWakeSocket()
{
    // Cleared first: a signal from here on sends anew, and what it announces
    // is in the lists before the next poll set is built from them.
    mWakePending = false;
    uint8_t scratch[16];
    while (mWakeSocket->Recv(scratch, sizeof(scratch)) == WS_Success)
    {
    }
}

void SocketThreadEx::AddOp(const SmartPtr<SocketOp>& op)
{
    if (!op)
        return;
    ScopedLock lock(mCrit);
    const SOCKET h = op->GetSocket() ? op->GetSocket()->GetHandle() : INVALID_SOCKET;
    if (h == INVALID_SOCKET)
    {
        // Nothing to wait on: the attempt fails at once (closed socket).
        op->TryOp();
        return;
    }
    for (int k = 0; k < 3; ++k)
    {
        if (!op->mWaitFor[k])
            continue;
        SmartPtr<SocketOp>& slot = Record(h).ops[k];
        if (slot == op)
            continue;   // already waiting for this kind
        SmartPtr<SocketOp> old = slot;
        slot = op;
        if (old)
        {
            old->Kill(true);
            RemoveFromLists(old.Get(), k);
        }
        op->mThreadIndex[k] = static_cast<int32_t>(mHandles[k].Size());
        mHandles[k].Append(h);
        mOpList[k].Append(op.Get());
        AddPollKind(h, k);
    }
    op->mInSocketThread = true;
    WakeIfPolling();
}

void SocketThreadEx::RemoveOp(const SmartPtr<SocketOp>& op)
{
    if (!op)
        return;
    ScopedLock lock(mCrit);
    RemoveFromLists(op.Get(), -1);
}

SocketThreadEx::FdRecord& SocketThreadEx::Record(SOCKET h)
{
    const size_t fd = static_cast<size_t>(h);
    if (fd >= mFds.size())
        mFds.resize(fd + 1 > mFds.size() * 2 ? fd + 1 : mFds.size() * 2);
    return mFds[fd];
}

void SocketThreadEx::EraseMapEntry(int kind, SOCKET h, SocketOp* op)
{
    FdRecord* rec = FindRecord(h);
    if (rec && rec->ops[kind] == op)
        rec->ops[kind].Reset();
}

std::vector<SmartPtr<SocketOp>> SocketThreadEx::CollectOps(int kind) const
{
    std::vector<SmartPtr<SocketOp>> ops;
    for (const FdRecord& rec : mFds)
        if (rec.ops[kind])
            ops.push_back(rec.ops[kind]);
    return ops;
}

void SocketThreadEx::RemoveFromLists(SocketOp* op, int sparedKind)
{
    ScopedLock lock(mCrit);
    // Keeps op alive while its map entries go.
    SmartPtr<SocketOp> keep(op);
    for (int k = 0; k < 3; ++k)
    {
        const int32_t i = op->mThreadIndex[k];
        if (!op->mWaitFor[k] || i < 0)
            continue;
        const uint32_t index = static_cast<uint32_t>(i);
        if (index >= mHandles[k].Size() || mOpList[k][index] != op)
        {
            op->mThreadIndex[k] = -1;
            continue;
        }
        if (k != sparedKind)
            EraseMapEntry(k, mHandles[k][index], op);
        RemovePollKind(mHandles[k][index], k);
        const uint32_t last = mHandles[k].Size() - 1;
        if (index != last)
        {
            mHandles[k][index] = mHandles[k][last];
            mOpList[k][index] = mOpList[k][last];
            if (mOpList[k][index])
                mOpList[k][index]->mThreadIndex[k] = i;
        }
        mHandles[k].DropLast();
        mOpList[k].DropLast();
        op->mThreadIndex[k] = -1;
    }
    op->mInSocketThread = false;
    if (!tInPumpPass)
        WakeIfPolling();
}

void SocketThreadEx::AddPollKind(SOCKET h, int kind)
{
    if (h < 0)
        return;
    FdRecord& rec = Record(h);
    int32_t slot = rec.pollSlot;
    if (slot < 0)
    {
        slot = static_cast<int32_t>(mPollFds.size());
        mPollFds.push_back({h, 0, 0});
        mPollKinds.push_back(0);
        rec.pollSlot = slot;
    }
    mPollFds[slot].events = static_cast<int16_t>(mPollFds[slot].events | kKindEvents[kind]);
    mPollKinds[slot] = static_cast<uint8_t>(mPollKinds[slot] | (1u << kind));
}

void SocketThreadEx::RemovePollKind(SOCKET h, int kind)
{
    FdRecord* rec = FindRecord(h);
    if (!rec)
        return;
    const int32_t slot = rec->pollSlot;
    if (slot <= 0)
        return;   // not listed, or the wake socket, which stays
    const uint8_t kinds = static_cast<uint8_t>(mPollKinds[slot] & ~(1u << kind));
    mPollKinds[slot] = kinds;
    int16_t events = 0;
    for (int k = 0; k < 3; ++k)
        if (kinds & (1u << k))
            events = static_cast<int16_t>(events | kKindEvents[k]);
    mPollFds[slot].events = events;
    if (kinds != 0)
        return;
    // Nothing waits on h any more: the last entry takes its place.
    const size_t last = mPollFds.size() - 1;
    if (static_cast<size_t>(slot) != last)
    {
        mPollFds[slot] = mPollFds[last];
        mPollKinds[slot] = mPollKinds[last];
        mFds[static_cast<size_t>(mPollFds[slot].fd)].pollSlot = slot;
    }
    mPollFds.pop_back();
    mPollKinds.pop_back();
    rec->pollSlot = -1;
}

void SocketThreadEx::ResetPollSet()
{
    for (const SockPollFd& entry : mPollFds)
        if (FdRecord* rec = FindRecord(entry.fd))
            rec->pollSlot = -1;
    mPollFds.clear();
    mPollKinds.clear();
    const SOCKET wake = mWakeSocket->GetHandle();
    mPollFds.push_back({wake, SOCK_POLL_READ, 0});
    mPollKinds.push_back(0);
    if (wake >= 0)
        Record(wake).pollSlot = 0;
}

void SocketThreadEx::WakeIfPolling()
{
    // Lists change only under mCrit, and the poll set is built under it: a
    // change made before the build is in the set, one made after it finds
    // mPolling set and wakes the wait.
    if (mPolling.load())
        Signal();
}

namespace {
struct PassFlag
{
    PassFlag() { tInPumpPass = true; }
    ~PassFlag() { tInPumpPass = false; }
};
}

void SocketThreadEx::Pump(uint32_t ms)
{
    {
        ScopedLock lock(mCrit);
        mPollSet.assign(mPollFds.begin(), mPollFds.end());
        mPolling = true;
    }

    const int32_t n = SockPoll(mPollSet.data(), static_cast<uint32_t>(mPollSet.size()), ms);
    mPolling = false;
    if (n == 0)
        return;
    if (n < 0)
    {
        PumpAfterFailedPoll(ms);
        return;
    }

    {
        ScopedLock lock(mCrit);
        PassFlag pass;
        // poll counted the entries it marked: the walk ends at the last one.
        int32_t left = n;
        for (const SockPollFd& entry : mPollSet)
        {
            if (entry.revents == 0)
                continue;
            for (int k = 0; k < 3; ++k)
            {
                // Only the kinds this entry was polled for; failures wake them all.
                if ((entry.events & kKindEvents[k]) == 0 ||
                    (entry.revents & (kKindEvents[k] | SOCK_POLL_FAILED)) == 0)
                    continue;
                // The record is looked up afresh for every kind: an attempt
                // may add operations and so move the table.
                FdRecord* rec = FindRecord(entry.fd);
                if (!rec || !rec->ops[k])
                    continue;   // the wake socket, or an operation gone meanwhile
                SmartPtr<SocketOp> op = rec->ops[k];
                if (op->TryOp())
                    RemoveFromLists(op.Get(), -1);
            }
            if (--left == 0)
                break;
        }
    }

    DrainWakeSocket();
}

void SocketThreadEx::PumpAfterFailedPoll(uint32_t ms)
{
    {
        ScopedLock lock(mCrit);
        PassFlag pass;
        // The wait failed: try every operation once, which ends those whose
        // sockets were closed meanwhile.
        for (int k = 0; k < 3; ++k)
        {
            const std::vector<SmartPtr<SocketOp>> ops = CollectOps(k);
            for (auto& op : ops)
            {
                if (op->mThreadIndex[k] >= 0 && op->TryOp())
                    RemoveFromLists(op.Get(), -1);
            }
        }
        mPolling = true;
    }
    // A failure that lasts (more descriptors listed than the process may
    // have) would turn the thread loop into a busy loop: pause as the simple
    // socket thread does, on the wake socket alone so that changes still cut
    // the pause short, or on nothing when even that cannot be polled.
    const uint32_t pause = ms < kFailedPollPauseMs ? ms : kFailedPollPauseMs;
    if (pause > 0)
    {
        SockPollFd wake = {mWakeSocket->GetHandle(), SOCK_POLL_READ, 0};
        if (SockPoll(&wake, 1, pause) < 0)
            SockPoll(nullptr, 0, pause);
    }
    mPolling = false;
    DrainWakeSocket();
}

void SocketThreadEx::PurgeOps()
{
    ScopedLock lock(mCrit);
    for (int k = 0; k < 3; ++k)
    {
        const std::vector<SmartPtr<SocketOp>> ops = CollectOps(k);
        for (FdRecord& rec : mFds)
            rec.ops[k].Reset();
        for (auto& entry : ops)
        {
            SocketOp* op = entry.Get();
            if (op->mInSocketThread)
            {
                op->mInSocketThread = false;
                op->Kill(true);
            }
            op->mThreadIndex[k] = -1;
        }
        if (k != SocketWait_Read)
        {
            mHandles[k].Resize(0);
            mOpList[k].Resize(0);
        }
    }
    mHandles[SocketWait_Read].Resize(1);
    mOpList[SocketWait_Read].Resize(1);
    ResetPollSet();
}

uint32_t SocketThreadEx::GetListSize(int kind) const
{
    ScopedLock lock(const_cast<CriticalSection&>(mCrit));
    return mHandles[kind].Size();
}

SocketOp* SocketThreadEx::GetListOp(int kind, uint32_t index) const
{
    ScopedLock lock(const_cast<CriticalSection&>(mCrit));
    return index < mOpList[kind].Size() ? mOpList[kind][index] : nullptr;
}

uint32_t SocketThreadEx::GetPollSetSize() const
{
    ScopedLock lock(const_cast<CriticalSection&>(mCrit));
    return static_cast<uint32_t>(mPollFds.size());
}

} // namespace QORAPI
