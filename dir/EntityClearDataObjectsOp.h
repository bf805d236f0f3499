// EntityClearDataObjectsOp: removes the data objects of the given types from a
// directory or a service (an empty set asks for all of them).
//
// Thread safety: as every operation (AsyncOp); set its members before the
// run and read its results after the end.
#ifndef QORAPI_DIR_ENTITYCLEARDATAOBJECTSOP_H
#define QORAPI_DIR_ENTITYCLEARDATAOBJECTSOP_H

#include "auth/ServerRequestOp.h"
#include "dir/DirEntityIdentity.h"
#include "dir/GetEntityRequest.h"

#include <cstdint>
#include <string>

namespace QORAPI {

class EntityClearDataObjectsOp : public ServerRequestOp
{
public:
    EntityClearDataObjectsOp(const SmartPtr<ServerContext>& context, bool isService);
    EntityClearDataObjectsOp(const InetAddress& address, bool isService);
    ~EntityClearDataObjectsOp() override;

    // The entity: a directory's own path, or a service's directory, name and address.
    void SetPath(const std::u16string& path) { mIdentity.mPath = path; }
    void SetName(const std::u16string& name) { mIdentity.mName = name; }
    void SetNetAddress(const SmartPtr<ByteBuffer>& address) { mIdentity.mNetAddress = address; }
    void SetNetAddress(const InetAddress& address) { mIdentity.mNetAddress = NetAddressOf(address); }
    const DirEntityIdentity& GetIdentity() const { return mIdentity; }
    bool IsService() const { return mIsService; }
    void AddDataObjectType(const std::string& type) { mTypes.insert(type); }
    void SetDataObjectTypes(const DirDataObjectTypeSet& types) { mTypes = types; }

protected:
    WSStatus BuildRequest() override;
    WSStatus HandleReply() override;

private:
    bool mIsService;
    DirEntityIdentity mIdentity;
    DirDataObjectTypeSet mTypes;
};

typedef SmartPtr<EntityClearDataObjectsOp> EntityClearDataObjectsOpPtr;

} // namespace QORAPI

#endif
