// MultiPingOp: pings many servers at once over one UDP socket, in batches of
// at most maxOutstanding, retries those that do not answer (up to maxTries
// pings each), and hands back every server in results, ordered by round-trip
// time (servers that never answered last), also as a ServerContext whose order
// is kept.
//
// Ping datagram: 3, 1, 5, a 4-byte little-endian identifier, 0. Reply: 3, 1, 6
// and the identifier. Identifiers come from the operation's own generator, so
// the application's rand() sequence is neither used nor disturbed. Replies
// from unknown senders, with a wrong header or identifier, or too short, are
// ignored. GetPingMessage and ProcessReply may be overridden to ping with
// other messages.
//
// Thread safety: fill the operation before a run and read the results after
// its end. In asynchronous mode the reply and batch-timer handlers run on the
// pump; the server lists are guarded by the operation's list lock.
#ifndef QORAPI_QORSOCKET_MULTIPINGOP_H
#define QORAPI_QORSOCKET_MULTIPINGOP_H

#include "QORSocket/BlockingSocket.h"
#include "QORSocket/InetAddress.h"
#include "auth/ServerContext.h"
#include "common/AsyncOp.h"
#include "common/CriticalSection.h"
#include "dir/DirEntity.h"

#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace QORAPI {

// One server of a MultiPingOp.
class MultiPingStruct : public RefCount
{
public:
    explicit MultiPingStruct(const InetAddress& addr, const SmartPtr<RefCount>& data = SmartPtr<RefCount>())
        : mAddr(addr), mPingTime(0xFFFFFFFFu), mTries(0), mSendTick(0), mPingId(0), mData(data)
    {
    }

    InetAddress mAddr;
    uint32_t mPingTime;         // milliseconds; 0xFFFFFFFF until a reply arrives
    int32_t mTries;             // pings sent without an answer
    uint32_t mSendTick;         // tick when the last ping was built
    uint32_t mPingId;           // identifier of the last ping
    SmartPtr<RefCount> mData;   // the directory entity the server came from, or none
};

typedef SmartPtr<MultiPingStruct> MultiPingStructPtr;
typedef std::vector<MultiPingStructPtr> MultiPingList;

class MultiPingOp : public AsyncOp
{
public:
    // Results of ProcessReply.
    enum { Reply_Ignore = 0, Reply_Done = 1, Reply_PingAgain = 2 };

    MultiPingOp();
    ~MultiPingOp() override;

    void AddServer(const InetAddress& address);
    // Every service entity (of the given name when nameFilter is not empty)
    // with a valid address; directories are skipped.
    void AddServersFromDir(const DirEntityList& entities, const std::u16string& nameFilter);
    void ClearServers();
    size_t GetPendingCount() const;

    // A new context with the addresses of results in their order (only those
    // that answered when onlyResponding), with shuffling switched off.
    SmartPtr<ServerContext> GetServerContext(bool onlyResponding) const;
    // Every server after the end of a run.
    const MultiPingList& GetResults() const { return mResults; }

    // Before a run. A maxOutstanding or maxTries of 0 counts as 1.
    void SetMaxOutstanding(uint16_t n) { mMaxOutstanding = n; }
    void SetMaxTries(uint8_t n) { mMaxTries = n; }
    void SetBatchTimeout(uint32_t ms) { mBatchTimeout = ms; }
    void SetRecvBufferSize(uint16_t n) { mRecvBufferSize = n; }
    void SetSortResults(bool sort) { mSortResults = sort; }
    uint16_t GetMaxOutstanding() const { return mMaxOutstanding; }
    uint8_t GetMaxTries() const { return mMaxTries; }
    uint32_t GetBatchTimeout() const { return mBatchTimeout; }
    uint16_t GetRecvBufferSize() const { return mRecvBufferSize; }
    bool GetSortResults() const { return mSortResults; }

protected:
    void RunHook() override;
    void CleanupHook() override;

    // Builds the datagram for server and sets its pingId and sendTick.
    virtual void GetPingMessage(SmartPtr<ByteBuffer>& message, MultiPingStruct& server);
    // Reply_Ignore, Reply_Done (sets pingTime) or Reply_PingAgain.
    virtual int32_t ProcessReply(MultiPingStruct& server, const SmartPtr<ByteBuffer>& reply);

    // A new identifier (0 to 32767) that differs from previous.
    uint32_t NextPingId(uint32_t previous);

private:
    void FillBatch();
    void EndBatch();
    void SendBatch();
    WSStatus BlockingBatch();
    bool HandleReply(WSStatus status, const SmartPtr<ByteBuffer>& bytes, const InetAddress& from);
    void OnReply(const SmartPtr<AsyncOp>& op);
    void OnBatchTimer(const SmartPtr<AsyncOp>& op);
    static void ReplyCallback(SmartPtr<AsyncOp> op, SmartPtr<RefCount> self);
    static void BatchTimerCallback(SmartPtr<AsyncOp> op, SmartPtr<RefCount> self);

    mutable CriticalSection mListCrit;      // guards the lists, socket and timer
    std::deque<MultiPingStructPtr> mPending;
    std::map<InetAddress, MultiPingStructPtr> mOutstanding;
    MultiPingList mResults;
    uint16_t mMaxOutstanding;
    uint8_t mMaxTries;
    uint32_t mBatchTimeout;
    uint16_t mRecvBufferSize;
    bool mSortResults;
    SmartPtr<BlockingSocket> mSocket;
    SmartPtr<AsyncOp> mBatchTimer;
    std::mt19937 mRandom;
};

typedef SmartPtr<MultiPingOp> MultiPingOpPtr;

} // namespace QORAPI

#endif
