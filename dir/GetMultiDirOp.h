// GetMultiDirOp: lists several directories with one request. The replies come
// request by request; each listing's result stays in its GetEntityRequest. The
// operation ends with WS_Success when every listing succeeded,
// WS_DirServ_MultiGetFailedAllRequests when all failed and
// WS_DirServ_MultiGetPartialFailure otherwise.
//
// Thread safety: as every operation (AsyncOp); add the requests before the run
// and read them after the end.
#ifndef QORAPI_DIR_GETMULTIDIROP_H
#define QORAPI_DIR_GETMULTIDIROP_H

#include "auth/ServerRequestOp.h"
#include "dir/GetEntityRequest.h"

#include <vector>

namespace QORAPI {

typedef std::vector<SmartPtr<GetEntityRequest>> GetEntityRequestList;

class GetMultiDirOp : public ServerRequestOp
{
public:
    explicit GetMultiDirOp(const SmartPtr<ServerContext>& context);
    explicit GetMultiDirOp(const InetAddress& address);
    ~GetMultiDirOp() override;

    // At most 255 requests can travel in one message.
    void AddRequest(const SmartPtr<GetEntityRequest>& request) { mRequests.push_back(request); }
    SmartPtr<GetEntityRequest> AddRequest(const std::u16string& path, uint32_t getFlags = DirGetFlags_Default);
    const GetEntityRequestList& GetRequests() const { return mRequests; }
    // Listings that failed in the last attempt.
    uint32_t GetFailedCount() const { return mFailedCount; }

protected:
    WSStatus BuildRequest() override;
    WSStatus HandleReply() override;
    void ResetForServer() override;

private:
    GetEntityRequestList mRequests;
    size_t mCursor;
    uint32_t mFailedCount;
};

typedef SmartPtr<GetMultiDirOp> GetMultiDirOpPtr;

} // namespace QORAPI

#endif
