// Fuzz target of the local directory server's request parsing: a sequence of
// requests handled in order by one engine holding a small tree, so that a
// request may work on what an earlier one added.
// Properties: every reply is a directory reply (status, single entity or
// entity list) within the frame limit that the client's parser for its type
// reads without an unpack failure; a reply set that ends the connection ends
// the sequence.
//
// Input: requests of a 2-byte little-endian length each, then the request
// (common header first, no frame length).
#include "DirOpCatalog.h"
#include "FuzzUtil.h"

#include "QORSocket/RecvMsgOp.h"
#include "dir/DirMessage.h"
#include "dir/DirReply.h"
#include "service/DirServerEngine.h"

using namespace QORAPI;

namespace {

void CheckReply(const SmartPtr<ByteBuffer>& reply)
{
    FUZZ_CHECK(reply && reply->GetLength() >= 7);
    FUZZ_CHECK(reply->GetLength() + 4 < kMaxFrameLength);
    const uint8_t* d = reply->GetData();
    FUZZ_CHECK(d[0] == 5 && d[1] == DirServiceType && d[2] == 0 && d[4] == 0);
    WSStatus status = WS_None;
    switch (d[3])
    {
    case DirMsg_StatusReply:
        status = UnpackStatusReply(reply.Get());
        break;
    case DirMsg_EntityReply:
    {
        DirEntityPtr entity;
        status = UnpackSingleEntityReply(reply.Get(), entity);
        break;
    }
    case DirMsg_EntityListReply:
    {
        DirEntityList list;
        status = UnpackEntityListReply(reply.Get(), list);
        break;
    }
    default:
        FUZZ_CHECK(!"reply of an unknown type");
    }
    FUZZ_CHECK(status != WS_ServerReq_UnpackFailure && status != WS_ServerReq_InvalidReplyHeader);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 200000)
        return 0;
    DirServerEngine engine;
    uint32_t now = 1700000000;
    engine.SetClock([&now] { return now; });
    DirCatalog::SeedCatalogTree(engine, 6);
    const SmartPtr<ByteBuffer> peer = DirCatalog::Text(DirCatalog::Address6(40000));
    for (const std::string& request : FuzzUtil::SplitLengthPrefixed(data, size))
    {
        const SmartPtr<ByteBuffer> req = new ByteBuffer(request.data(), static_cast<uint32_t>(request.size()));
        const DirServerReplies replies = engine.HandleRequest(req.Get(), peer.Get());
        for (const SmartPtr<ByteBuffer>& reply : replies.mReplies)
            CheckReply(reply);
        if (replies.mClose)
            break;
        now += 100;   // lifespans run out over a long sequence
    }
    return 0;
}
