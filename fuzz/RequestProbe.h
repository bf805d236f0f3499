// A request operation opened to the fuzz targets: a reply is handed to its
// handler as the request loop hands it, and one the handler cannot read ends
// as the loop records it, without the loop's fail-over to the next server.
#ifndef QORAPI_FUZZ_REQUESTPROBE_H
#define QORAPI_FUZZ_REQUESTPROBE_H

#include "common/ByteBuffer.h"
#include "common/ReadBuffer.h"
#include "common/WSStatus.h"

#include <string>

namespace QORAPI {

template <class Op>
class RequestProbe : public Op
{
public:
    using Op::Op;

    WSStatus Handle(const std::string& reply)
    {
        this->mReply = new ByteBuffer(reply.data(), static_cast<uint32_t>(reply.size()));
        try
        {
            return this->HandleReply();
        }
        catch (const ReadBufferException&)
        {
            return WS_ServerReq_UnpackFailure;   // as the request loop records it
        }
    }
};

} // namespace QORAPI

#endif
