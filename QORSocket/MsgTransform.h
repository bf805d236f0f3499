// MsgTransform: a step that rewrites every framed message passing through a
// socket (encryption hooks in here). A socket owns an ordered list of them:
// outgoing frames pass them first to last, incoming messages last to first.
//
// Thread safety: a transform belongs to one socket and is called only under
// that socket's lock.
#ifndef QORAPI_QORSOCKET_MSGTRANSFORM_H
#define QORAPI_QORSOCKET_MSGTRANSFORM_H

#include "common/ByteBuffer.h"
#include "common/WSStatus.h"

namespace QORAPI {

class MsgTransform
{
public:
    MsgTransform() = default;
    virtual ~MsgTransform() = default;

    MsgTransform(const MsgTransform&) = delete;
    MsgTransform& operator=(const MsgTransform&) = delete;

    // Each may replace the message; a status other than WS_Success stops the chain.
    virtual WSStatus SendTransform(SmartPtr<ByteBuffer>& /*message*/) { return WS_Success; }
    virtual WSStatus RecvTransform(SmartPtr<ByteBuffer>& /*message*/) { return WS_Success; }
};

} // namespace QORAPI

#endif
