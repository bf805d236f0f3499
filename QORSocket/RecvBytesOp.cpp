#include "QORSocket/RecvBytesOp.h"

#include "platform/FileTimes.h"

#include <algorithm>
#include <exception>

namespace QORAPI {

RecvBytesOp::RecvBytesOp(uint32_t count, const SmartPtr<AsyncSocket>& socket)
    : SocketOp(socket), mBuffer(0, false), mCount(count), mReceived(0), mFile(nullptr),
      mAppendFile(false), mOwnsFile(false), mFileTime(0), mChunkSize(1), mBytesSinceChunk(0)
{
    mWaitFor[SocketWait_Read] = true;
}

RecvBytesOp::~RecvBytesOp()
{
    if (mFile && mOwnsFile)
        std::fclose(mFile);
}

void RecvBytesOp::SetChunkCompletion(const CompletionPtr& completion, uint32_t chunkSize)
{
    mChunkCompletion = completion;
    // A chunk size of 0 would divide by zero below; it counts as 1.
    mChunkSize = chunkSize == 0 ? 1 : chunkSize;
}

WSStatus RecvBytesOp::Start()
{
    const WSStatus s = StartRecv();
    if (s != WS_Success)
        return s;
    return ContinueRecv();
}

WSStatus RecvBytesOp::Continue()
{
    return ContinueRecv();
}

WSStatus RecvBytesOp::StartRecv()
{
    mReceived = 0;
    mBytesSinceChunk = 0;
    mResult = nullptr;
    mBuffer.Reset();
    if (!mFile && !mFilePath.empty())
    {
        mFile = std::fopen(mFilePath.c_str(), mAppendFile ? "a+b" : "wb");
        if (!mFile)
            return WS_FailedToOpenFile;
        mOwnsFile = true;
    }
    if (mCount != 0 && !mFile)
    {
        try
        {
            mBuffer.Reserve(mCount);
        }
        catch (const std::exception&)
        {
            return WS_WSAENOBUFS;   // no room for the count asked for
        }
    }
    return WS_Success;
}

WSStatus RecvBytesOp::ContinueRecv()
{
    AsyncSocket& socket = *GetSocket();
    // Each pass tries first and waits only when the socket had nothing: the
    // wait's outcome is never looked at, so this is the same loop without a
    // poll in front of every ready read. A reply still owed by the peer is
    // waited for first (a blocking run's first read would come back empty);
    // an asynchronous run's wait is no wait at all.
    bool wait = socket.IsAwaitingReply();
    for (;;)
    {
        if (wait)
            socket.WaitForRead(TimeLeft());
        wait = true;
        uint32_t got = 0;
        WSStatus s;
        if (mCount != 0 && !mFile)
        {
            const uint32_t have = mBuffer.GetLength();
            s = socket.Recv(mBuffer.GetWritableData() + have, mCount - mReceived, &got);
            mBuffer.SetLength(have + got);
        }
        else
        {
            uint8_t scratch[1024];
            uint32_t want = sizeof(scratch);
            if (mCount != 0)
                want = std::min(want, mCount - mReceived);
            s = socket.Recv(scratch, want, &got);
            if (got > 0)
            {
                if (mFile)
                {
                    if (std::fwrite(scratch, 1, got, mFile) != got)
                        return CloseFile(WS_FailedToWriteToFile);
                }
                else
                {
                    try
                    {
                        mBuffer.AppendBytes(scratch, got);
                    }
                    catch (const std::exception&)
                    {
                        return WS_WSAENOBUFS;   // a stream longer than memory holds
                    }
                }
            }
        }
        mReceived += got;
        if (got > 0)
            Progress(got);

        if (mCount != 0 && mReceived == mCount)
            return Done(WS_Success);
        if (mCount == 0 && s == WS_AsyncSocket_Shutdown)
            return Done(WS_Success);
        if (s == WS_Success)
        {
            wait = false;
            continue;
        }
        if (s != WS_TimedOut)
            return s;
        if (TimeLeft() == 0)
            return WS_TimedOut;
    }
}

void RecvBytesOp::Progress(uint32_t n)
{
    if (!mChunkCompletion)
        return;
    mBytesSinceChunk += n;
    if (mBytesSinceChunk > mChunkSize)
    {
        SmartPtr<RecvChunkOp> chunk = new RecvChunkOp(SmartPtr<RecvBytesOp>(this));
        chunk->SetCompletion(mChunkCompletion);
        chunk->Run(IsAsync() ? OpMode_Async : OpMode_Block, 0);
        mBytesSinceChunk %= mChunkSize;
    }
}

WSStatus RecvBytesOp::Done(WSStatus status)
{
    if (mFile)
        return CloseFile(status);
    mResult = mBuffer.ToByteBuffer(true);
    return status;
}

WSStatus RecvBytesOp::CloseFile(WSStatus status)
{
    if (!mFile)
        return status;
    if (mOwnsFile)
    {
        if (std::fclose(mFile) != 0)
            status = WS_FailedToWriteToFile;
        mOwnsFile = false;
    }
    mFile = nullptr;
    if (mFileTime != 0 && !mFilePath.empty())
        SetFileTimes(mFilePath, mFileTime);
    return status;
}

void RecvBytesOp::CleanupHook()
{
    SocketOp::CleanupHook();
    CloseFile(GetStatus());
}

SmartPtr<SocketOp> RecvBytesOp::Duplicate()
{
    return SmartPtr<SocketOp>(new RecvBytesOp(mCount, GetSocket()));
}

} // namespace QORAPI
