#include "QORSocket/QueueSocket.h"

#include "QORSocket/CloseOp.h"

namespace QORAPI {

typedef std::lock_guard<std::recursive_mutex> Lock;
typedef ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>> SocketCompletion;

QueueSocket::QueueSocket(SocketType type) : AsyncSocket(type)
{
}

QueueSocket::~QueueSocket() = default;

SmartPtr<AsyncSocket> QueueSocket::Duplicate()
{
    return SmartPtr<AsyncSocket>(new QueueSocket(GetType()));
}

QueueSocket::CompletionPtr QueueSocket::MakeOpDoneCompletion()
{
    return CompletionPtr(new SocketCompletion(&QueueSocket::OpDoneCallback, SmartPtr<RefCount>(this)));
}

void QueueSocket::OpDoneCallback(SmartPtr<AsyncOp> op, SmartPtr<RefCount> socket)
{
    static_cast<QueueSocket*>(socket.Get())->OnOpDone(op);
}

void QueueSocket::CloseTimerCallback(SmartPtr<AsyncOp> op, SmartPtr<RefCount> socket)
{
    static_cast<QueueSocket*>(socket.Get())->OnCloseTimer(op);
}

void QueueSocket::QueueOp(const SmartPtr<SocketOp>& op, uint32_t timeout)
{
    if (!op)
        return;
    Lock lock(GetLock());
    op->SetSocket(SmartPtr<AsyncSocket>(this));
    op->SetTimeout(timeout);
    if (!op->GetCompletion())
        op->SetCompletion(mDefaultOpCompletion);
    mQueue.push_back(op);
    RunNextOp();
}

QueueSocket::CompletionPtr QueueSocket::GetDefaultOpCompletion() const
{
    Lock lock(GetLock());
    return mDefaultOpCompletion;
}

void QueueSocket::RunNextOp()
{
    Lock lock(GetLock());
    if (mCurrentOp || mQueue.empty())
        return;
    SmartPtr<SocketOp> op = mQueue.front();
    mQueue.pop_front();
    mCurrentOp = op;
    mCurrentOpCompletion = op->GetCompletion();
    op->SetCompletion(MakeOpDoneCompletion());
    op->SetSocket(SmartPtr<AsyncSocket>(this));
    op->RunAsync(op->GetTimeout());
}

void QueueSocket::SetRepeatOp(const SmartPtr<SocketOp>& op)
{
    Lock lock(GetLock());
    mRepeatOp = op;
    StartRepeatOp();
}

void QueueSocket::StartRepeatOp()
{
    Lock lock(GetLock());
    if (!mRepeatOp || mRepeatOp->IsPending())
        return;
    mRepeatOp->SetCompletion(MakeOpDoneCompletion());
    mRepeatOp->SetSocket(SmartPtr<AsyncSocket>(this));
    mRepeatOp->RunAsync(0xFFFFFFFFu);
}

void QueueSocket::SetDefaultOpCompletion(const CompletionPtr& completion)
{
    Lock lock(GetLock());
    mDefaultOpCompletion = completion;
}

void QueueSocket::SetRepeatOpCompletion(const CompletionPtr& completion)
{
    Lock lock(GetLock());
    mRepeatOpCompletion = completion;
}

void QueueSocket::SetClosedCompletion(const CompletionPtr& completion)
{
    Lock lock(GetLock());
    mClosedCompletion = completion;
}

void QueueSocket::StopOp(const SmartPtr<SocketOp>& op, const CompletionPtr& own, bool kill)
{
    // The operation keeps the socket's completion: a run that finished just
    // before, and whose delivery is under way, still reaches OnOpDone.
    mStopped.emplace_back(op, own);
    if (kill)
        op->Kill(true);
}

void QueueSocket::OnOpDone(const SmartPtr<AsyncOp>& op)
{
    std::unique_lock<std::recursive_mutex> lock(GetLock());
    for (auto it = mStopped.begin(); it != mStopped.end(); ++it)
    {
        if (static_cast<AsyncOp*>(it->first.Get()) != op.Get())
            continue;
        // Stopped by Close or CloseAfterQueue: the result goes to the
        // operation's own completion, which it keeps for later runs.
        CompletionPtr own = it->second;
        mStopped.erase(it);
        op->SetCompletion(own);
        lock.unlock();
        if (own)
            own->Complete(op);
        return;
    }
    const bool gone = (op->GetStatus() != WS_Success && GetType() == SocketType::Stream) || !IsValid();
    CompletionPtr toCall;
    CompletionPtr closed;
    if (mCurrentOp && op.Get() == static_cast<AsyncOp*>(mCurrentOp.Get()))
    {
        toCall = mCurrentOpCompletion;
        mCurrentOp = nullptr;
        mCurrentOpCompletion = nullptr;
        if (!gone)
            RunNextOp();
    }
    else if (mRepeatOp && op.Get() == static_cast<AsyncOp*>(mRepeatOp.Get()))
    {
        toCall = mRepeatOpCompletion;
        if (!gone)
        {
            mRepeatOp = mRepeatOp->Duplicate();
            StartRepeatOp();
        }
        else
        {
            mRepeatOp = nullptr;
        }
    }
    if (gone)
        closed = mClosedCompletion;
    lock.unlock();

    if (toCall)
        toCall->Complete(op);
    if (gone)
    {
        Close();
        if (closed)
        {
            SmartPtr<CloseOp> notice = new CloseOp(SmartPtr<AsyncSocket>(this));
            notice->SetCompletion(closed);
            notice->ForceFinish(op->GetStatus());
        }
    }
}

void QueueSocket::SetCloseTimer(uint32_t ms)
{
    Lock lock(GetLock());
    if (mCloseTimer)
    {
        SmartPtr<AsyncOp> old = mCloseTimer;
        mCloseTimer = nullptr;
        old->Kill(true);
    }
    if (ms != 0)
    {
        mCloseTimer = new AsyncOp();
        mCloseTimer->SetCompletion(
            CompletionPtr(new SocketCompletion(&QueueSocket::CloseTimerCallback, SmartPtr<RefCount>(this))));
        mCloseTimer->RunAsync(ms);
    }
}

void QueueSocket::OnCloseTimer(const SmartPtr<AsyncOp>& op)
{
    {
        Lock lock(GetLock());
        if (!mCloseTimer || op.Get() != mCloseTimer.Get() || op->GetStatus() != WS_TimedOut)
            return;
        mCloseTimer = nullptr;
    }
    Close();
}

void QueueSocket::CloseAfterQueue(uint32_t ms)
{
    Lock lock(GetLock());
    if (mRepeatOp)
    {
        // Stopping the repeating receive is not a failure of the connection:
        // it reports to its own completion only, so the socket stays open for
        // the operations queued before the close.
        SmartPtr<SocketOp> repeat = mRepeatOp;
        mRepeatOp = nullptr;
        StopOp(repeat, mRepeatOpCompletion, true);
    }
    QueueOp(SmartPtr<SocketOp>(new CloseOp()), 0xFFFFFFFFu);
    if (ms != 0xFFFFFFFFu)
        SetCloseTimer(ms);
}

void QueueSocket::KillOps()
{
    Lock lock(GetLock());
    if (mRepeatOp)
    {
        SmartPtr<SocketOp> repeat = mRepeatOp;
        mRepeatOp = nullptr;
        StopOp(repeat, mRepeatOpCompletion, true);
    }
    if (mCurrentOp)
    {
        SmartPtr<SocketOp> current = mCurrentOp;
        CompletionPtr own = mCurrentOpCompletion;
        mCurrentOp = nullptr;
        mCurrentOpCompletion = nullptr;
        // A queued close calls this through Close: it is not killed but ends
        // by itself with WS_Success, as a close always does.
        StopOp(current, own, !dynamic_cast<CloseOp*>(current.Get()));
    }
    // Operations that never started end with WS_Killed all the same.
    std::deque<SmartPtr<SocketOp>> queued;
    queued.swap(mQueue);
    for (auto& op : queued)
        op->ForceKill();
    if (mCloseTimer)
    {
        SmartPtr<AsyncOp> timer = mCloseTimer;
        mCloseTimer = nullptr;
        timer->Kill(true);
    }
}

void QueueSocket::ClearCompletions()
{
    Lock lock(GetLock());
    mDefaultOpCompletion = nullptr;
    mCurrentOpCompletion = nullptr;
    mRepeatOpCompletion = nullptr;
    mClosedCompletion = nullptr;
}

SmartPtr<SocketOp> QueueSocket::GetCurrentOp() const
{
    Lock lock(GetLock());
    return mCurrentOp;
}

SmartPtr<SocketOp> QueueSocket::GetRepeatOp() const
{
    Lock lock(GetLock());
    return mRepeatOp;
}

size_t QueueSocket::GetQueueLength() const
{
    Lock lock(GetLock());
    return mQueue.size();
}

} // namespace QORAPI
