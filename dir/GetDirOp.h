// GetDirOp: lists one directory of the directory service. The listing request
// (path, get flags, data object types) and its results live in one
// GetEntityRequest; a long listing arrives in several replies, all collected
// before the operation ends.
//
// Thread safety: as every operation (AsyncOp); fill the request before the
// run and read it after the end.
#ifndef QORAPI_DIR_GETDIROP_H
#define QORAPI_DIR_GETDIROP_H

#include "auth/ServerRequestOp.h"
#include "dir/GetEntityRequest.h"

namespace QORAPI {

class GetDirOp : public ServerRequestOp
{
public:
    explicit GetDirOp(const SmartPtr<ServerContext>& context);
    explicit GetDirOp(const InetAddress& address);
    ~GetDirOp() override;

    const SmartPtr<GetEntityRequest>& GetRequest() const { return mGetRequest; }
    void SetRequest(const SmartPtr<GetEntityRequest>& request);
    void SetPath(const std::u16string& path) { mGetRequest->SetPath(path); }
    void SetGetFlags(uint32_t flags) { mGetRequest->SetGetFlags(flags); }
    void AddDataObjectType(const std::string& type) { mGetRequest->AddDataObjectType(type); }
    // Results.
    const DirEntityList& GetEntities() const { return mGetRequest->GetEntities(); }
    const DirEntityMap& GetDirMap() { return mGetRequest->GetDirMap(); }

protected:
    WSStatus BuildRequest() override;
    WSStatus HandleReply() override;
    void ResetForServer() override;

private:
    SmartPtr<GetEntityRequest> mGetRequest;
};

typedef SmartPtr<GetDirOp> GetDirOpPtr;

} // namespace QORAPI

#endif
