// SendBytesOp: sends every byte of a buffer on a stream socket. The cursor's
// position tells how much went out, also after a time-out.
//
// Thread safety: as every SocketOp; one run at a time.
#ifndef QORAPI_QORSOCKET_SENDBYTESOP_H
#define QORAPI_QORSOCKET_SENDBYTESOP_H

#include "QORSocket/SocketOp.h"
#include "common/ReadBuffer.h"

namespace QORAPI {

class SendBytesOp : public SocketOp
{
public:
    SendBytesOp(const SmartPtr<ByteBuffer>& bytes, const SmartPtr<AsyncSocket>& socket = SmartPtr<AsyncSocket>());

    void SetBytes(const SmartPtr<ByteBuffer>& bytes) { mBytes = bytes; }
    const SmartPtr<ByteBuffer>& GetBytes() const { return mBytes; }
    uint32_t GetSentCount() const { return mCursor.GetPos(); }

    WSStatus Start() override;      // rewinds, then Continue
    WSStatus Continue() override;

protected:
    void Rewind();

    ReadBuffer mCursor;             // position = bytes already sent
    SmartPtr<ByteBuffer> mBytes;
};

} // namespace QORAPI

#endif
