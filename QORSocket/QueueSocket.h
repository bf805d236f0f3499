// QueueSocket: an AsyncSocket that runs the socket operations given to it one
// at a time in order, can keep one receive running over and over, reports
// through a completion when it finds the connection gone, and can close
// gracefully behind its queued operations.
//
// Thread safety: every call takes the socket's lock; completions are called
// without it. On a stream socket any failure of the current or repeating
// operation (WS_TimedOut and WS_Killed included) closes the connection.
//
// Every operation given to the socket reports exactly once per run. Close
// (KillOps) kills the current and the repeating operation; each still reports
// through the socket, which passes its result on to the operation's own
// completion, also when the operation finished by itself just before. Queued
// operations that have not started end with WS_Killed.
#ifndef QORAPI_QORSOCKET_QUEUESOCKET_H
#define QORAPI_QORSOCKET_QUEUESOCKET_H

#include "QORSocket/AsyncSocket.h"
#include "QORSocket/SocketOp.h"
#include "common/Completion.h"

#include <deque>
#include <utility>
#include <vector>

namespace QORAPI {

class QueueSocket : public AsyncSocket
{
public:
    typedef SmartPtr<CompletionBase<SmartPtr<AsyncOp>>> CompletionPtr;

    explicit QueueSocket(SocketType type = SocketType::Stream);
    ~QueueSocket() override;

    void KillOps() override;
    void ClearCompletions() override;
    SmartPtr<AsyncSocket> Duplicate() override;

    // Appends op (its socket becomes this one, its timeout is set) and runs
    // it once every operation queued before it has ended.
    void QueueOp(const SmartPtr<SocketOp>& op, uint32_t timeout = 0xFFFFFFFFu);
    // Runs op without a time limit, and a Duplicate of it after every run.
    void SetRepeatOp(const SmartPtr<SocketOp>& op);

    void SetDefaultOpCompletion(const CompletionPtr& completion);
    void SetRepeatOpCompletion(const CompletionPtr& completion);
    virtual void SetClosedCompletion(const CompletionPtr& completion);

    // Closes the socket after ms unless the timer is set again (0 cancels).
    void SetCloseTimer(uint32_t ms);
    // Closes once the queued operations have ended, or after ms at the latest
    // (0xFFFFFFFF: no deadline). The repeating operation is stopped first.
    void CloseAfterQueue(uint32_t ms);

    SmartPtr<SocketOp> GetCurrentOp() const;
    SmartPtr<SocketOp> GetRepeatOp() const;
    size_t GetQueueLength() const;

protected:
    CompletionPtr GetDefaultOpCompletion() const;

private:
    void RunNextOp();
    void StartRepeatOp();
    void OnOpDone(const SmartPtr<AsyncOp>& op);
    void OnCloseTimer(const SmartPtr<AsyncOp>& op);
    CompletionPtr MakeOpDoneCompletion();
    // Kills op (unless told not to) and notes that its run reports to own
    // alone; called under the lock.
    void StopOp(const SmartPtr<SocketOp>& op, const CompletionPtr& own, bool kill);
    static void OpDoneCallback(SmartPtr<AsyncOp> op, SmartPtr<RefCount> socket);
    static void CloseTimerCallback(SmartPtr<AsyncOp> op, SmartPtr<RefCount> socket);

    // All guarded by the socket's lock.
    CompletionPtr mDefaultOpCompletion;
    CompletionPtr mCurrentOpCompletion;
    CompletionPtr mRepeatOpCompletion;
    CompletionPtr mClosedCompletion;
    SmartPtr<SocketOp> mRepeatOp;
    SmartPtr<SocketOp> mCurrentOp;
    SmartPtr<AsyncOp> mCloseTimer;
    std::deque<SmartPtr<SocketOp>> mQueue;
    // Operations stopped while running, whose run has not reported yet, each
    // with the completion that the report goes to.
    std::vector<std::pair<SmartPtr<SocketOp>, CompletionPtr>> mStopped;
};

typedef SmartPtr<QueueSocket> QueueSocketPtr;

} // namespace QORAPI

#endif
