// RecvBytesOp: receives a given number of bytes, or every byte until the peer
// closes (count 0), into memory or into a file, with optional progress
// notifications every chunkSize bytes (RecvChunkOp).
//
// Thread safety: as every SocketOp; one run at a time. The file settings are
// set before a run.
#ifndef QORAPI_QORSOCKET_RECVBYTESOP_H
#define QORAPI_QORSOCKET_RECVBYTESOP_H

#include "QORSocket/SocketOp.h"
#include "common/WriteBuffer.h"

#include <cstdio>
#include <string>

namespace QORAPI {

class RecvBytesOp : public SocketOp
{
public:
    typedef SmartPtr<CompletionBase<SmartPtr<AsyncOp>>> CompletionPtr;

    explicit RecvBytesOp(uint32_t count = 0, const SmartPtr<AsyncSocket>& socket = SmartPtr<AsyncSocket>());
    ~RecvBytesOp() override;

    const SmartPtr<ByteBuffer>& GetBytes() const { return mResult; }
    uint32_t GetCount() const { return mCount; }
    void SetCount(uint32_t count) { mCount = count; }
    uint32_t GetReceived() const { return mReceived; }
    uint32_t GetBytesSinceChunk() const { return mBytesSinceChunk; }

    // Receive into a file: one the caller opened (not closed by the operation)
    // or one the operation opens at path ("a+b" to append, else "wb").
    void SetFile(FILE* file) { mFile = file; mOwnsFile = false; }
    void SetFilePath(const std::string& path, bool append = false) { mFilePath = path; mAppendFile = append; }
    // When not 0, the file's access and modification times after closing.
    void SetFileTime(uint32_t seconds) { mFileTime = seconds; }
    // Progress: completion called after more than chunkSize bytes (0 counts as 1).
    void SetChunkCompletion(const CompletionPtr& completion, uint32_t chunkSize);

    WSStatus Start() override;
    WSStatus Continue() override;
    SmartPtr<SocketOp> Duplicate() override;

protected:
    void CleanupHook() override;

    // The receive itself, shared with the framed receive: StartRecv resets
    // the counters and reserves the buffer; ContinueRecv loops as Continue.
    WSStatus StartRecv();
    WSStatus ContinueRecv();

    WriteBuffer mBuffer;
    SmartPtr<ByteBuffer> mResult;
    uint32_t mCount;
    uint32_t mReceived;

private:
    WSStatus Done(WSStatus status);
    WSStatus CloseFile(WSStatus status);
    void Progress(uint32_t n);

    FILE* mFile;
    std::string mFilePath;
    bool mAppendFile;
    bool mOwnsFile;
    uint32_t mFileTime;
    CompletionPtr mChunkCompletion;
    uint32_t mChunkSize;
    uint32_t mBytesSinceChunk;
};

// Progress notification of a RecvBytesOp: finishes at once with WS_Success so
// that its completion runs where completions run (the pump in asynchronous
// mode) and can read the receive's progress.
class RecvChunkOp : public AsyncOp
{
public:
    explicit RecvChunkOp(const SmartPtr<RecvBytesOp>& recvOp) : mRecvOp(recvOp) {}

    const SmartPtr<RecvBytesOp>& GetRecvOp() const { return mRecvOp; }

protected:
    void RunHook() override { Finish(WS_Success); }

private:
    SmartPtr<RecvBytesOp> mRecvOp;
};

} // namespace QORAPI

#endif
