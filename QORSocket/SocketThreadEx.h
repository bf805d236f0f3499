// SocketThreadEx: the socket thread that waits in one poll on the sockets of
// all its operations and tries each operation whose socket became ready. A
// datagram socket connected to itself on the loop-back address wakes it when
// its set of operations changes. Not bound by FD_SETSIZE.
//
// The poll set holds one entry per descriptor, with the events of every kind
// of readiness waited for on it, so it never has more entries than there are
// open descriptors. The operation waiting for each kind on a descriptor and
// the descriptor's poll entry are found in one record of a table indexed by
// descriptor, so a ready descriptor costs no search and adding or removing an
// operation no allocation, however many sockets are waited on. A poll that fails all the same (the descriptor limit was
// lowered, memory ran out) falls back to trying every operation once and then
// pauses for at most kFailedPollPauseMs: it never spins.
//
// Thread safety: AddOp, RemoveOp and Pump may be called from any thread; they
// take the thread's lock (released around the wait). Lock order: thread
// lock, then socket lock. PurgeOps runs only when nothing pumps any more.
#ifndef QORAPI_QORSOCKET_SOCKETTHREADEX_H
#define QORAPI_QORSOCKET_SOCKETTHREADEX_H

#include "QORSocket/AsyncSocket.h"
#include "QORSocket/SocketOp.h"
#include "QORSocket/SocketThread.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace QORAPI {

class SocketThreadEx : public SocketThread
{
public:
    SocketThreadEx();
    ~SocketThreadEx() override;

    void Signal() override;
    void AddOp(const SmartPtr<SocketOp>& op) override;
    void RemoveOp(const SmartPtr<SocketOp>& op) override;
    void Pump(uint32_t ms) override;
    void PurgeOps() override;

    // Entries of the lists of one readiness kind (the read lists count the
    // wake socket), for tests and statistics.
    uint32_t GetListSize(int kind) const;
    SocketOp* GetListOp(int kind, uint32_t index) const;
    // Entries of the poll set (one per descriptor, the wake socket included).
    uint32_t GetPollSetSize() const;

    // Longest pause after a failed poll, in milliseconds.
    static const uint32_t kFailedPollPauseMs = 20;

protected:
    uint32_t ThreadProc() override;

private:
    // A growable array: room for 64 entries at first, doubled when full.
    template <class T>
    class GrowArray
    {
    public:
        GrowArray() : mData(nullptr), mSize(0), mCapacity(0) {}
        ~GrowArray() { std::free(mData); }
        GrowArray(const GrowArray&) = delete;
        GrowArray& operator=(const GrowArray&) = delete;

        void Reserve(uint32_t n)
        {
            if (n <= mCapacity)
                return;
            T* data = static_cast<T*>(std::realloc(mData, sizeof(T) * n));
            if (!data)
                std::abort();
            mData = data;
            mCapacity = n;
        }
        void Append(T value)
        {
            if (mSize == mCapacity)
                Reserve(mCapacity * 2 < 32 ? 32 : mCapacity * 2);
            mData[mSize++] = value;
        }
        void DropLast() { --mSize; }
        void Resize(uint32_t n) { mSize = n; }
        T& operator[](uint32_t i) { return mData[i]; }
        const T& operator[](uint32_t i) const { return mData[i]; }
        uint32_t Size() const { return mSize; }
        uint32_t Capacity() const { return mCapacity; }

    private:
        T* mData;
        uint32_t mSize;
        uint32_t mCapacity;
    };

    // What waits on one descriptor: the operation of each kind and the index
    // of the descriptor's poll entry (-1: none).
    struct FdRecord
    {
        SmartPtr<SocketOp> ops[3];
        int32_t pollSlot = -1;
    };

    // The record of h, the table grown to hold it; h must not be negative.
    FdRecord& Record(SOCKET h);
    // The record of h when the table holds one, else null.
    FdRecord* FindRecord(SOCKET h)
    {
        return h >= 0 && static_cast<size_t>(h) < mFds.size() ? &mFds[static_cast<size_t>(h)] : nullptr;
    }
    // The operations waiting for kind k, in descriptor order.
    std::vector<SmartPtr<SocketOp>> CollectOps(int kind) const;

    void RemoveFromLists(SocketOp* op, int sparedKind);
    void WakeIfPolling();
    void EraseMapEntry(int kind, SOCKET h, SocketOp* op);
    // Keep the poll set in step with the lists: kind k waited for on h or not.
    void AddPollKind(SOCKET h, int kind);
    void RemovePollKind(SOCKET h, int kind);
    void ResetPollSet();
    void PumpAfterFailedPoll(uint32_t ms);
    void DrainWakeSocket();

    // Guarded by mCrit.
    std::vector<FdRecord> mFds;   // indexed by descriptor
    GrowArray<SOCKET> mHandles[3];
    GrowArray<SocketOp*> mOpList[3];
    // One poll entry per descriptor ([0] is the wake socket) and the kinds
    // (bit 1 << k) each entry stands for.
    std::vector<SockPollFd> mPollFds;
    std::vector<uint8_t> mPollKinds;
    // The copy of mPollFds that poll works on; used by the pumping thread only.
    std::vector<SockPollFd> mPollSet;
    SmartPtr<AsyncSocket> mWakeSocket;
    std::atomic<bool> mPolling;     // set under mCrit once the poll set is built
    std::atomic<bool> mWakePending; // a wake-up datagram is on its way and not drained yet
};

} // namespace QORAPI

#endif
