// GetServiceOp: fetches one service entity, named by its directory, name and
// (optionally) network address, with the fields chosen by the get flags and
// the data objects of the chosen types.
//
// Thread safety: as every operation (AsyncOp); set its members before the run
// and read the entity after the end.
#ifndef QORAPI_DIR_GETSERVICEOP_H
#define QORAPI_DIR_GETSERVICEOP_H

#include "auth/ServerRequestOp.h"
#include "dir/DirEntityIdentity.h"
#include "dir/GetEntityRequest.h"

namespace QORAPI {

class GetServiceOp : public ServerRequestOp
{
public:
    explicit GetServiceOp(const SmartPtr<ServerContext>& context);
    explicit GetServiceOp(const InetAddress& address);
    ~GetServiceOp() override;

    void SetGetFlags(uint32_t flags) { mGetFlags = flags; }
    void SetPath(const std::u16string& path) { mIdentity.mPath = path; }
    void SetName(const std::u16string& name) { mIdentity.mName = name; }
    void SetNetAddress(const SmartPtr<ByteBuffer>& address) { mIdentity.mNetAddress = address; }
    void SetNetAddress(const InetAddress& address) { mIdentity.mNetAddress = NetAddressOf(address); }
    void AddDataObjectType(const std::string& type) { mTypes.insert(type); }
    // Result: the service (null unless the run succeeded).
    const DirEntityPtr& GetEntity() const { return mEntity; }

protected:
    WSStatus BuildRequest() override;
    WSStatus HandleReply() override;
    void ResetForServer() override;

private:
    uint32_t mGetFlags;
    DirEntityIdentity mIdentity;
    DirDataObjectTypeSet mTypes;
    DirEntityPtr mEntity;
};

typedef SmartPtr<GetServiceOp> GetServiceOpPtr;

} // namespace QORAPI

#endif
